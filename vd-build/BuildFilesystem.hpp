#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace Vandrel::Linux {

// The safety checks of the build filesystem's root: the directories it must
// never be come from one list, "vd-build/dangerous-paths" in the share
// directory, which the build filesystem commands read as well.
class BuildFilesystem {
  public:
    // The list's entries, in file order. A list that cannot be read, or holds
    // nothing, is an error: without it no root could be checked.
    static std::vector<std::string> loadDangerousPaths(std::filesystem::path const& shareDir);

    // Whether the directory is one of them, however it is spelt: its
    // lexically normalised form ("/usr/", "//usr", "/usr/." are /usr) and,
    // when it exists, its resolved form (a link to /) are both checked. An
    // empty directory always is.
    static bool isDangerousPath(std::string const& directory, std::vector<std::string> const& dangerous);

    // The directory with blanks, tabs, carriage returns and newlines trimmed
    // from both ends, or the error "Refusing to operate on dangerous path: '{}'".
    static std::string validateWorkDir(std::string const& directory,
                                       std::vector<std::string> const& dangerous);
};

} // namespace Vandrel::Linux
