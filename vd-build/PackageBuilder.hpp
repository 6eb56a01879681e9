#pragma once

#include "core/Package.hpp"
#include "core/PackageTopologicalSorter.hpp"
#include "core/PkgConfig.hpp"
#include "core/Signature.hpp"
#include "core/TreeCopy.hpp"
#include "vd-build/BuildConfig.hpp"
#include "vd-build/BuildFilesystem.hpp"

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_set>

namespace Vandrel {
struct ShellConfig;
}

namespace Vandrel::Linux {

// Fixed names of the builder's working area inside the build filesystem.
namespace HardCfg {
extern std::filesystem::path const chrootBuildHome; // "pkg-build"
extern std::filesystem::path const buildSubdir;     // "build"
extern std::filesystem::path const packageSubDir;   // "dist"
} // namespace HardCfg

// Environment variables through which a build script learns its directories.
namespace ScriptVariableNames {
inline constexpr char const* buildDir = "VDPK_PACKAGE_BUILD_DIR";
inline constexpr char const* distDir = "VDPK_PACKAGE_BUILD_DIST_DIR";
} // namespace ScriptVariableNames

// Builds packages in the chroot of the build filesystem, packs them, installs
// them into the build filesystem and deploys them into the package repository.
// It changes the process's working directory and environment while it works,
// so only one builder may work in a process at a time.
class PackageBuilder {
  public:
    PackageBuilder(PkgConfig const& pkgConfig, BuildConfig const& buildConfig);

    std::filesystem::path getBuildHomeDir() const;

    // --- build filesystem mounts ---

    // Forwarded to BuildFilesystem, which reads the mount table.
    static constexpr char const* mountTablePath = BuildFilesystem::mountTablePath;
    static bool isMountPoint(std::filesystem::path const& path);
    static bool isMountPoint(std::filesystem::path const& path, std::filesystem::path const& mountTable);
    static bool hasMountedRuntimeFilesystems(std::filesystem::path const& root);
    static bool hasMountedRuntimeFilesystems(std::filesystem::path const& root,
                                             std::filesystem::path const& mountTable);
    bool isBuildFsMounted() const;
    void mountBuildFs(std::string const& configDir);
    void unmountBuildFs(std::string const& configDir);
    // The chroot interpreter line is split at whitespace, so a root holding
    // whitespace cannot be passed as one word; this refuses such a root.
    static void checkChrootRoot(std::filesystem::path const& root);
    ShellConfig createShellConfig(bool inChroot) const;

    // --- the build ---

    void build(Package const& root);
    // A source below a directory "os/OS/NAME" must declare that os and name.
    static void checkSourceIdentity(Package const& package, std::filesystem::path const& directory);
    void buildSinglePackage(PackageTopologicalSorterTarget const& target);
    void cleanBuildArtifacts(Package const& package);
    void compile(Package const& package);
    std::map<std::string, std::string> createScriptVariables() const;
    static void setEnvironmentVariables(std::map<std::string, std::string> const& variables);
    void prepareBuildDir() const;
    static void copyFiles(std::filesystem::path const& from, std::filesystem::path const& to);
    void createPackageFile(Package const& package);
    static std::string packageFileName(Package const& package);
    void installPackageIntoBuildFs(Package const& package) const;
    void deployPackageToRepo(Package const& package);
    void cleanPackageDistDir() const;
    static void printPackageBuildFailureReport(std::string const& text);

    PkgConfig pkgConfig;
    BuildConfig buildConfig;
    std::filesystem::path buildHome;
    std::filesystem::path buildDir;
    std::filesystem::path toolBinDir;
    std::unordered_set<std::string> builtPackages;
    bool keepDist = false;
    // The pause before each package is packed; the program keeps the default.
    std::chrono::milliseconds packDelay{5000};

  private:
    // Loads the configured signing key once, before anything is built, so a
    // missing passphrase fails the run before a package is installed into
    // the build filesystem without being deployed.
    void loadSigningKey();
    std::shared_ptr<Signature::SecretKey const> signingKey;
    PkgConfig buildFsPkgConfig() const;
};

} // namespace Vandrel::Linux
