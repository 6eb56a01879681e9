#include "vd-build/PkgBuildCli.hpp"

#include "core/PackageManager.hpp"
#include "core/Shell.hpp"
#include "core/ShellQuote.hpp"
#include "core/VersionUtils.hpp"
#include "core/WorkingDirectoryGuard.hpp"
#include "vd-build/BuildFilesystem.hpp"
#include "vd-build/PackageBuilder.hpp"
#include "vd-build/RunInterrupt.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace Vandrel::Linux {

namespace fs = std::filesystem;

void PkgBuildCli::buildAll()
{
    buildWithManagedBuildFs([this](PackageBuilder& builder) {
        WorkingDirectoryGuard startDir(fs::current_path());
        auto const dirs = packageSourceDirectoriesToBuild();
        printBuildAllReport(dirs.size());
        if (!dirs.empty()) {
            std::cerr << "Start in 5 seconds" << std::endl;
            RunInterrupt::sleepFor(std::chrono::seconds(5));
            for (auto const& dir : dirs) {
                WorkingDirectoryGuard inSourceDir(dir);
                buildCurrentPackage(builder);
                inSourceDir.restore();
            }
        }
        startDir.restore();
    });
}

void PkgBuildCli::buildSingle()
{
    buildWithManagedBuildFs([this](PackageBuilder& builder) {
        WorkingDirectoryGuard startDir(fs::current_path());
        buildCurrentPackage(builder);
        startDir.restore();
    });
}

void PkgBuildCli::buildWithManagedBuildFs(BuildStep const& step)
{
    // From here on a signal ends the run through the teardown below.
    RunInterrupt::Catcher const catcher;
    bool const existing = existingBuildFsRequested();
    std::string const configDir = resolveConfigPath();
    bool const keep = keepBuildFsRequested();
    PackageBuilder builder(pkgConfig, buildConfig);
    builder.keepDist = keepDistRequested();
    // Refused before anything is prepared that could not be built in.
    PackageBuilder::checkChrootRoot(builder.buildConfig.workDir);

    if (!existing)
        prepareBuildFs();
    builder.mountBuildFs(configDir);
    try {
        RunInterrupt::throwIfInterrupted();
        step(builder);
    } catch (...) {
        // A teardown failure leaves the build filesystem in an unknown state;
        // that is the error the user must see, so it replaces the build's.
        if (!keep)
            tearDownBuildFs(builder, configDir);
        throw;
    }
    if (!keep)
        tearDownBuildFs(builder, configDir);
    // A signal that came during the last steps still fails the run.
    RunInterrupt::throwIfInterrupted();
}

void PkgBuildCli::buildCurrentPackage(PackageBuilder& builder) const
{
    Package package;
    package.load("package.yml");
    builder.build(package);
}

std::vector<fs::path> PkgBuildCli::packageSourceDirectories() const
{
    fs::path const root = buildConfig.packageSources;
    if (!fs::exists(root))
        throw std::runtime_error("Package sources directory does not exist: '" + root.string() + "'");
    if (!fs::is_directory(root))
        throw std::runtime_error("Package sources path is not a directory: '" + root.string() + "'");

    std::vector<fs::path> dirs;
    for (auto const& entry : fs::recursive_directory_iterator(root)) {
        if (entry.path().filename() == "package.yml" && entry.is_regular_file())
            dirs.push_back(entry.path().parent_path());
    }
    // Path order compares component by component: a/b sorts before a-b.
    std::sort(dirs.begin(), dirs.end());
    return dirs;
}

std::vector<fs::path> PkgBuildCli::packageSourceDirectoriesToBuild() const
{
    PkgConfig config = pkgConfig;
    config.database = buildConfig.pkgDatabasePath;
    PackageManager manager(config, false);
    manager.setInstallPrefix(buildConfig.workDir);

    std::vector<fs::path> result;
    for (auto const& dir : packageSourceDirectories()) {
        Package package;
        package.load((dir / "package.yml").string());
        // Every source is checked before the first build starts.
        PackageBuilder::checkSourceIdentity(package, dir);
        if (packageNeedsBuild(package, manager))
            result.push_back(dir);
    }
    return result;
}

bool PkgBuildCli::packageNeedsBuild(Package const& package, PackageManager const& manager)
{
    auto const installed = manager.installedVersion(package.name);
    return !installed || VersionUtils::compareVersions(*installed, package.version) < 0;
}

std::string PkgBuildCli::validateWorkDir(std::string const& directory) const
{
    if (dangerousPaths.empty())
        dangerousPaths = BuildFilesystem::loadDangerousPaths(fs::absolute(pkgConfig.shareDir));
    return BuildFilesystem::validateWorkDir(directory, dangerousPaths);
}

void PkgBuildCli::prepareBuildFs()
{
    std::string const workDir = validateWorkDir(buildConfig.workDir);
    std::string const configDir = resolveConfigPath();
    PackageBuilder builder(pkgConfig, buildConfig);

    bool const wasMounted = builder.isBuildFsMounted();
    if (wasMounted)
        builder.unmountBuildFs(configDir);
    BuildFilesystem::runCommand(builder.toolBinDir, "prepare-build-fs", {buildConfig.template_, workDir},
                                true);
    if (wasMounted)
        builder.mountBuildFs(configDir);
}

void PkgBuildCli::cleanBuildFs()
{
    std::string const workDir = validateWorkDir(buildConfig.workDir);
    PackageBuilder const builder(pkgConfig, buildConfig);
    BuildFilesystem::runCommand(builder.toolBinDir, "clean-build-fs", {workDir});
}

void PkgBuildCli::tearDownBuildFs(PackageBuilder& builder, std::string const& configDir)
{
    builder.unmountBuildFs(configDir);
    cleanBuildFs();
}

void PkgBuildCli::printBuildAllReport(std::size_t count)
{
    std::cerr << "Build report ["
              << "R1"
              << "]: " << count << " package(s) will be built" << std::endl;
}

} // namespace Vandrel::Linux
