#pragma once

#include "core/Package.hpp"
#include "core/PackageTopologicalSorter.hpp"
#include "core/PkgConfig.hpp"
#include "vdpk/PkgQueries.hpp"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace argh {
class parser;
}

namespace Vandrel {
class FileLock;
}

namespace Vandrel::Linux {

class PackageManager;
class PackageFetcher;

// The front end of vdpk: options, configuration, and the list, install and
// uninstall commands.
class PkgCli {
  public:
    PkgCli();
    ~PkgCli();
    PkgCli(PkgCli const&) = delete;
    PkgCli& operator=(PkgCli const&) = delete;

    int run(int argc, char const* const* argv);

    void parseArgs(int argc, char const* const* argv);
    bool helpRequested() const;
    void printHelp() const;
    std::string resolveConfigPath() const;
    void loadConfig();
    void configurePackageManager(PackageManager& manager) const;
    void dispatch();
    void listInstalledPackages(PackageManager const& manager) const;

    void install(PackageManager& manager);
    std::filesystem::path requestedPackagePath(PackageFetcher const& fetcher) const;
    Package loadPackageFromArchive(std::filesystem::path const& archive) const;
    // The package of an archive: from the fetcher's index entry when it
    // chose the archive from an index (not downloaded yet), else its manifest.
    Package packageOf(std::filesystem::path const& archive, PackageFetcher const& fetcher) const;
    std::vector<PackageTopologicalSorterTarget> packagesToInstall(std::filesystem::path const& archive,
                                                                  PackageManager const& manager,
                                                                  PackageFetcher const& fetcher) const;
    bool confirmDependencyInstall(std::vector<PackageTopologicalSorterTarget> const& targets) const;
    void installPackageSet(std::vector<PackageTopologicalSorterTarget> const& targets,
                           PackageManager& manager) const;

    void uninstall(PackageManager& manager);
    bool confirmDependencyDelete(std::vector<std::string> const& names) const;

  private:
    std::string firstPositional() const;
    // The one read-only query asked for, if any; refuses two of them, or one
    // together with install or uninstall.
    std::optional<PkgQueries::Query> requestedQuery() const;
    // The value of "--name=value", else the first positional argument, if any.
    std::optional<std::string> queryArgument(PkgQueries::Query query) const;
    // Whether the command changes the install root or its database.
    bool changesInstallRoot() const;
    // The exclusive lock of the install root, taken by every command that
    // changes it, so that concurrent runs take turns.

    // Kept out of this header: see PkgCli.cpp.
    std::unique_ptr<argh::parser> parser;
    PkgConfig config;
};

} // namespace Vandrel::Linux
