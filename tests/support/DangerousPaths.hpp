#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace Vandrel::Test {

// One spelling of a directory a build filesystem must never be.
struct DangerousSpelling {
    std::string given;            // the work directory as written
    std::string shown;            // as the refusal shows it (blanks trimmed)
    std::filesystem::path target; // the directory it names
};

// The entries of share/vd-build/dangerous-paths, the list vd-build and the
// build filesystem commands read.
std::vector<std::string> dangerousPathList();

// The one table the program's check, the commands' check and the command line
// are tested with: every entry of the list as written, then other spellings
// of some (a trailing slash, doubled slashes, "." and "..", blanks around,
// relative climbs, empty) and links made in linkDir to / and /usr.
std::vector<DangerousSpelling> dangerousSpellings(std::filesystem::path const& linkDir);

} // namespace Vandrel::Test
