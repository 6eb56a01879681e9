#include "tests/support/Paths.hpp"

namespace Vandrel::Test {

std::filesystem::path sourceDir()
{
    return VANDREL_SOURCE_DIR;
}

std::filesystem::path shareDir()
{
    return sourceDir() / "share";
}

std::filesystem::path binDir()
{
    return VANDREL_BIN_DIR;
}

std::filesystem::path buildDir()
{
    return VANDREL_BUILD_DIR;
}

std::filesystem::path cmakeCommand()
{
    return VANDREL_CMAKE_COMMAND;
}

std::filesystem::path programPath(std::string const& name)
{
    return binDir() / name;
}

} // namespace Vandrel::Test
