#pragma once

#include "core/FileLock.hpp"
#include "core/Package.hpp"
#include "core/PkgConfig.hpp"
#include "vd-build/BuildConfig.hpp"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace argh {
class parser;
}

namespace Vandrel::Linux {

class PackageBuilder;
class PackageManager;

// The front end of vd-build: options, configuration, the mount actions and
// the build runs with the lifecycle of the build filesystem around them.
class PkgBuildCli {
  public:
    using BuildStep = std::function<void(PackageBuilder&)>;

    PkgBuildCli();
    ~PkgBuildCli();
    PkgBuildCli(PkgBuildCli const&) = delete;
    PkgBuildCli& operator=(PkgBuildCli const&) = delete;

    int run(int argc, char const* const* argv);

    void parseArgs(int argc, char const* const* argv);
    bool helpRequested() const;
    void printHelp() const;
    std::string resolveConfigPath() const;
    void loadConfigs();
    void dispatch();
    // --index-repository: rebuilds the repository's index from its archives.
    void indexRepository();
    bool keepBuildFsRequested() const;
    bool keepDistRequested() const;
    bool existingBuildFsRequested() const;
    bool shouldTearDownBuildFs() const;

    // --- build runs ---

    void buildAll();
    void buildSingle();
    void buildWithManagedBuildFs(BuildStep const& step);
    void buildCurrentPackage(PackageBuilder& builder) const;
    std::vector<std::filesystem::path> packageSourceDirectories() const;
    std::vector<std::filesystem::path> packageSourceDirectoriesToBuild() const;
    static bool packageNeedsBuild(Package const& package, PackageManager const& manager);
    // The work directory trimmed, or the refusal of a dangerous one.
    std::string validateWorkDir(std::string const& directory) const;
    void prepareBuildFs();
    void cleanBuildFs();
    void tearDownBuildFs(PackageBuilder& builder, std::string const& configDir);
    static void printBuildAllReport(std::size_t count);

    // The lock file of a build filesystem: beside its root, never inside it,
    // so preparing or cleaning the root cannot remove it.
    static std::filesystem::path lockFilePath(std::string const& workDir);
    // Holds the build filesystem for this run; a second run fails at once.
    FileLock acquireRunLock() const;

  private:
    std::unique_ptr<argh::parser> parser;
    // Read once from the share directory, at the first check.
    mutable std::vector<std::string> dangerousPaths;
    PkgConfig pkgConfig;
    BuildConfig buildConfig;
};

} // namespace Vandrel::Linux
