#pragma once

#include "core/Package.hpp"

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace Vandrel::Linux {

// One package to process and where it comes from (an archive file or a
// package source directory, as the caller decides).
struct PackageTopologicalSorterTarget {
    Package package;
    std::filesystem::path path;
};

struct PackageTopologicalSorterConfig {
    // True when the package needs no processing; empty skips nothing.
    std::function<bool(Package const&, bool isRoot)> shouldSkip;
    // Loads the named dependency of the given target, or throws.
    std::function<PackageTopologicalSorterTarget(PackageTopologicalSorterTarget const&, std::string const&)>
        resolveDependency;
};

// Orders a package and its dependencies so that every package comes after
// the ones it depends on; the root comes last unless it is skipped.
class PackageTopologicalSorter {
  public:
    explicit PackageTopologicalSorter(PackageTopologicalSorterConfig config);

    // Throws "E1: dependency cycle detected while resolving '{}'" on a cycle;
    // errors of the callbacks pass through.
    std::vector<PackageTopologicalSorterTarget> sort(Package const& root,
                                                     std::filesystem::path const& rootPath) const;

    // "os/name/version/arch": identifies a package during a sort.
    static std::string packageKey(Package const& package);

  private:
    void appendTargets(PackageTopologicalSorterTarget const& target, bool isRoot,
                       std::vector<std::string>& inProgress, std::vector<std::string>& done,
                       std::vector<PackageTopologicalSorterTarget>& out) const;

    PackageTopologicalSorterConfig config;
};

} // namespace Vandrel::Linux
