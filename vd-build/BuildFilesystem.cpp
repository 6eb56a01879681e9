#include "vd-build/BuildFilesystem.hpp"

#include "core/Shell.hpp"
#include "core/ShellQuote.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace Vandrel::Linux {

namespace fs = std::filesystem;

std::string escapeMountInfoPath(fs::path const& path)
{
    std::error_code ec;
    fs::path resolved = fs::weakly_canonical(path, ec);
    if (ec)
        resolved = path.lexically_normal();
    std::string text = resolved.string();
    // The table never writes a trailing separator, so "/a/b/" must match "/a/b".
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();

    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '\t':
            escaped += "\\011";
            break;
        case '\n':
            escaped += "\\012";
            break;
        case ' ':
            escaped += "\\040";
            break;
        case '\\':
            escaped += "\\134";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

bool BuildFilesystem::isMountPoint(fs::path const& path, fs::path const& mountTable)
{
    std::ifstream table(mountTable);
    if (!table)
        return false;
    std::string const target = escapeMountInfoPath(path);
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string field;
        int count = 0;
        while (count < 5 && fields >> field)
            ++count;
        if (count == 5 && field == target)
            return true;
    }
    return false;
}

bool BuildFilesystem::hasMountedRuntimeFilesystems(fs::path const& root, fs::path const& mountTable)
{
    std::error_code ec;
    auto const null = fs::status(root / "dev" / "null", ec);
    // A "dev" holding real device nodes serves as well as a mounted one.
    bool const devices = (!ec && fs::is_character_file(null)) || isMountPoint(root / "dev", mountTable);
    if (!devices)
        return false;
    for (char const* sub : {"dev/pts", "proc", "sys"}) {
        if (!isMountPoint(root / sub, mountTable))
            return false;
    }
    return isMountPoint(root / "run", mountTable);
}

void BuildFilesystem::runCommand(fs::path const& toolBinDir, char const* name,
                                 std::vector<std::string> const& args, bool verbose)
{
    // Every word quoted: a root with blanks or shell characters stays one argument.
    std::string command = shellQuote((toolBinDir / name).string());
    for (auto const& arg : args)
        command += " " + shellQuote(arg);
    ShellConfig config;
    config.verbose = verbose;
    ShellResult const result = [&] {
        Shell shell(command, config);
        return shell.result().get();
    }();
    if (result.exitCode != 0)
        throw std::runtime_error(fmt::format("{} failed with exit code {}", name, result.exitCode));
}

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
