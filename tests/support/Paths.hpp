#pragma once

#include <filesystem>
#include <string>

namespace Vandrel::Test {

// The repository's source tree.
std::filesystem::path sourceDir();
// The repository's share/ tree, used as shareDir by tests.
std::filesystem::path shareDir();
// Where the build leaves the programs (build/bin).
std::filesystem::path binDir();
// Full path of a built program, e.g. programPath("vdpk").
std::filesystem::path programPath(std::string const& name);

} // namespace Vandrel::Test
