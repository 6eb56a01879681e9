#include "vd-build/BuildFilesystem.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <system_error>

namespace Vandrel::Linux {

namespace fs = std::filesystem;

std::vector<std::string> BuildFilesystem::loadDangerousPaths(fs::path const& shareDir)
{
    fs::path const file = shareDir / "vd-build" / "dangerous-paths";
    std::ifstream in(file);
    if (!in)
        throw std::runtime_error(fmt::format("Cannot read the list of dangerous paths: '{}'", file.string()));
    std::vector<std::string> paths;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.front() != '#')
            paths.push_back(line);
    }
    if (in.bad() || paths.empty())
        throw std::runtime_error(fmt::format("The list of dangerous paths is empty: '{}'", file.string()));
    return paths;
}

namespace {

bool isListed(std::string text, std::vector<std::string> const& dangerous)
{
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return std::find(dangerous.begin(), dangerous.end(), text) != dangerous.end();
}

} // namespace

bool BuildFilesystem::isDangerousPath(std::string const& directory, std::vector<std::string> const& dangerous)
{
    if (directory.empty())
        return true;
    if (isListed(fs::absolute(directory).lexically_normal().string(), dangerous))
        return true;
    std::error_code ec;
    fs::path const resolved = fs::canonical(directory, ec);
    return !ec && isListed(resolved.string(), dangerous);
}

std::string BuildFilesystem::validateWorkDir(std::string const& directory,
                                             std::vector<std::string> const& dangerous)
{
    constexpr char const* blanks = " \t\r\n";
    auto const first = directory.find_first_not_of(blanks);
    std::string const trimmed = first == std::string::npos
                                    ? std::string()
                                    : directory.substr(first, directory.find_last_not_of(blanks) - first + 1);
    if (isDangerousPath(trimmed, dangerous))
        throw std::runtime_error("Refusing to operate on dangerous path: '" + trimmed + "'");
    return trimmed;
}

} // namespace Vandrel::Linux
