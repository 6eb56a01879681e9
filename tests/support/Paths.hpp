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
// The build directory the tests run from (what `cmake --install` installs from).
std::filesystem::path buildDir();
// The cmake program that configured that build directory.
std::filesystem::path cmakeCommand();
// Full path of a built program, e.g. programPath("vdpk").
std::filesystem::path programPath(std::string const& name);

} // namespace Vandrel::Test
