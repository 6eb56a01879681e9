#pragma once

#include "core/Package.hpp"
#include "core/PackageTopologicalSorter.hpp"
#include "core/PkgConfig.hpp"

// argh asserts that no argument is empty, but an empty argument is an ordinary
// positional (an empty package name must reach its own error message), and the
// library copes with it once the assertion is out of the way.
#pragma push_macro("NDEBUG")
#ifndef NDEBUG
#define NDEBUG
#endif
#include <argh.h>
#pragma pop_macro("NDEBUG")

#include <filesystem>
#include <string>
#include <vector>

namespace Vandrel::Linux {

class PackageManager;
class PackageFetcher;

// The front end of vdpk: options, configuration, and the list, install and
// uninstall commands.
class PkgCli {
public:
    PkgCli() = default;
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

    argh::parser parser;
    PkgConfig config;
};

} // namespace Vandrel::Linux
