#include "vd-build/PackageBuilder.hpp"

#include "vd-build/BuildFilesystem.hpp"
#include "vd-build/BuildSandbox.hpp"
#include "vd-build/RunInterrupt.hpp"

#include "core/Shell.hpp"

#include <fmt/format.h>

#include <system_error>

namespace Vandrel::Linux {

namespace fs = std::filesystem;

bool PackageBuilder::isMountPoint(fs::path const& path)
{
    return BuildFilesystem::isMountPoint(path);
}

bool PackageBuilder::isMountPoint(fs::path const& path, fs::path const& mountTable)
{
    return BuildFilesystem::isMountPoint(path, mountTable);
}

bool PackageBuilder::hasMountedRuntimeFilesystems(fs::path const& root)
{
    return BuildFilesystem::hasMountedRuntimeFilesystems(root);
}

bool PackageBuilder::hasMountedRuntimeFilesystems(fs::path const& root, fs::path const& mountTable)
{
    return BuildFilesystem::hasMountedRuntimeFilesystems(root, mountTable);
}

bool PackageBuilder::isBuildFsMounted() const
{
    return hasMountedRuntimeFilesystems(buildConfig.workDir);
}

void PackageBuilder::mountBuildFs(std::string const& configDir)
{
    std::string const root = BuildConfig::load(configDir).workDir;
    if (hasMountedRuntimeFilesystems(root))
        return;
    BuildFilesystem::runCommand(toolBinDir, "mount-build-chroot", {root});
}

void PackageBuilder::unmountBuildFs(std::string const& configDir)
{
    BuildFilesystem::runCommand(toolBinDir, "umount-build-chroot", {BuildConfig::load(configDir).workDir});
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
        // The root first: its refusal is the error a user can act on.
        BuildSandbox::checkRoot(buildConfig.workDir);
        BuildSandbox const sandbox(buildConfig.workDir, buildConfig.allowNetwork, BuildSandbox::initPath());
        config.shell = sandbox.commandLine({"bash", "--noediting"});
        if (buildConfig.buildTimeout)
            config.timeout = *buildConfig.buildTimeout;
    } else {
        config.shell = "/usr/bin/fakeroot";
    }
    return config;
}

} // namespace Vandrel::Linux
