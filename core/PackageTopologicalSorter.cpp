#include "core/PackageTopologicalSorter.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace Vandrel::Linux {

namespace {

bool contains(std::vector<std::string> const& keys, std::string const& key)
{
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

} // namespace

PackageTopologicalSorter::PackageTopologicalSorter(PackageTopologicalSorterConfig config)
    : config(std::move(config))
{
}

std::vector<PackageTopologicalSorterTarget>
PackageTopologicalSorter::sort(Package const& root, std::filesystem::path const& rootPath) const
{
    std::vector<std::string> inProgress;
    std::vector<std::string> done;
    std::vector<PackageTopologicalSorterTarget> out;
    appendTargets(PackageTopologicalSorterTarget{root, rootPath}, true, inProgress, done, out);
    return out;
}

std::string PackageTopologicalSorter::packageKey(Package const& package)
{
    return fmt::format("{}/{}/{}/{}", package.os, package.name, package.version,
                       Package::archToString(package.arch));
}

void PackageTopologicalSorter::appendTargets(PackageTopologicalSorterTarget const& target, bool isRoot,
                                             std::vector<std::string>& inProgress,
                                             std::vector<std::string>& done,
                                             std::vector<PackageTopologicalSorterTarget>& out) const
{
    std::string const key = packageKey(target.package);
    if (contains(done, key))
        return;
    // Skipping comes first: a cycle through a package that needs no work is
    // no obstacle.
    if (config.shouldSkip && config.shouldSkip(target.package, isRoot)) {
        done.push_back(key);
        return;
    }
    if (contains(inProgress, key))
        throw std::runtime_error(
            fmt::format("{}: dependency cycle detected while resolving '{}'", "E1", target.package.name));

    inProgress.push_back(key);
    // Sorted names make the order independent of how the manifest lists them.
    std::vector<std::string> names = target.package.depends;
    std::sort(names.begin(), names.end());
    for (std::string const& name : names)
        appendTargets(config.resolveDependency(target, name), false, inProgress, done, out);
    inProgress.pop_back();
    done.push_back(key);
    out.push_back(target);
}

} // namespace Vandrel::Linux
