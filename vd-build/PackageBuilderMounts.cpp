#include "vd-build/PackageBuilder.hpp"

#include "vd-build/BuildSandbox.hpp"
#include "vd-build/RunInterrupt.hpp"

#include "core/Shell.hpp"
#include "core/ShellQuote.hpp"

#include <fmt/format.h>

#include <fstream>
#include <sstream>
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

bool PackageBuilder::isMountPoint(fs::path const& path)
{
    return isMountPoint(path, mountTablePath);
}

bool PackageBuilder::isMountPoint(fs::path const& path, fs::path const& mountTable)
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

bool PackageBuilder::hasMountedRuntimeFilesystems(fs::path const& root)
{
    return hasMountedRuntimeFilesystems(root, mountTablePath);
}

bool PackageBuilder::hasMountedRuntimeFilesystems(fs::path const& root, fs::path const& mountTable)
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

bool PackageBuilder::isBuildFsMounted() const
{
    return hasMountedRuntimeFilesystems(buildConfig.workDir);
}

void PackageBuilder::runToolCommand(char const* name, std::string const& root) const
{
    // Both words quoted: a root with blanks or shell characters stays one argument.
    std::string const command = shellQuote((toolBinDir / name).string()) + " " + shellQuote(root);
    ShellResult const result = [&] {
        Shell shell(command, ShellConfig{});
        return shell.result().get();
    }();
    if (result.exitCode != 0)
        throw std::runtime_error(fmt::format("{} failed with exit code {}", name, result.exitCode));
}

void PackageBuilder::mountBuildFs(std::string const& configDir)
{
    std::string const root = BuildConfig::load(configDir).workDir;
    if (hasMountedRuntimeFilesystems(root))
        return;
    runToolCommand("mount-build-chroot", root);
}

void PackageBuilder::unmountBuildFs(std::string const& configDir)
{
    runToolCommand("umount-build-chroot", BuildConfig::load(configDir).workDir);
}

void PackageBuilder::checkChrootRoot(fs::path const& root)
{
    BuildSandbox::checkRoot(root);
}

ShellConfig PackageBuilder::createShellConfig(bool inChroot) const
{
    ShellConfig config;
    config.verbose = true;
    config.mergeStderr = true;
    config.commandViaStdin = true;
    // A signal to the program stops what runs for a package, so that the
    // build filesystem can be torn down at once.
    config.interrupt = &RunInterrupt::received();
    if (inChroot) {
        config.shell =
            BuildSandbox(buildConfig.workDir, buildConfig.allowNetwork).commandLine({"bash", "--noediting"});
        if (buildConfig.buildTimeout)
            config.timeout = *buildConfig.buildTimeout;
    } else {
        config.shell = "/usr/bin/fakeroot";
    }
    return config;
}

} // namespace Vandrel::Linux
