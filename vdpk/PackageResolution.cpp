#include "vdpk/PackageFetcher.hpp"

#include "vdpk/PackageFetcherSession.hpp"

#include "core/VersionUtils.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>

// How the fetcher chooses the archive of a name: from the repository's index
// when it has one, else from its directory listings.
namespace Vandrel::Linux {

namespace fs = std::filesystem;

std::string PackageFetcher::resolveLatestVersion(std::string const& packageUrl) const
{
    std::vector<std::string> versions;
    for (auto const& entry : listDirectory(packageUrl))
        if (entry.isDirectory)
            versions.push_back(entry.name);
    if (versions.empty())
        throw std::runtime_error(fmt::format("No package versions found at '{}'", packageUrl));

    // Every other name is compared, so each of two or more is checked as a version.
    std::string newest = versions.front();
    for (std::size_t i = 1; i < versions.size(); ++i)
        if (VersionUtils::compareVersions(versions[i], newest) > 0)
            newest = versions[i];
    // A lone version directory is taken unchecked, but it still becomes a
    // component of the cache path.
    if (!isSinglePathComponent(newest))
        throw std::runtime_error(
            fmt::format("Invalid package version '{}' found at '{}'", newest, packageUrl));
    return newest;
}

fs::path PackageFetcher::resolveInsideOsDirectory(std::string const& osDir, std::string const& name) const
{
    requirePackageName(name);
    if (!osDir.empty() && !isSinglePathComponent(osDir))
        throw std::runtime_error(fmt::format("Invalid repository OS directory '{}'", osDir));
    std::string const rel = osDir.empty() ? name : osDir + "/" + name;
    std::string const version = resolveLatestVersion(joinUrl(config.pkgRepoUrl, rel));
    return fs::path(rel) / version / packageFileName(name, version);
}

fs::path PackageFetcher::resolveInBaseDirectory(std::string const& name) const
{
    for (auto const& entry : listDirectory(trimTrailingSlash(config.pkgRepoUrl)))
        if (entry.isDirectory && entry.name == name)
            return resolveInsideOsDirectory("", name);
    return {};
}

fs::path PackageFetcher::resolvePackageRelativePath(std::string const& name) const
{
    requirePackageName(name);
    fs::path inBase = resolveInBaseDirectory(name);
    if (!inBase.empty())
        return inBase;

    std::vector<std::string> scanned;
    std::vector<std::string> found;
    for (auto const& os : listDirectory(trimTrailingSlash(config.pkgRepoUrl))) {
        // An OS directory becomes a component of the cache path: a link like
        // "../../x/" or "./" names no directory of the repository and would
        // lead outside the cache, so it is not one.
        if (!os.isDirectory || !isSinglePathComponent(os.name))
            continue;
        // Listings may link a directory twice (icon and name); it is still one.
        if (std::find(scanned.begin(), scanned.end(), os.name) != scanned.end())
            continue;
        scanned.push_back(os.name);
        for (auto const& entry : listDirectory(joinUrl(config.pkgRepoUrl, os.name))) {
            if (entry.isDirectory && entry.name == name) {
                found.push_back(os.name);
                break;
            }
        }
    }
    if (found.size() > 1)
        throw std::runtime_error(
            fmt::format("Package '{}' was found in multiple repository OS directories", name));
    if (found.empty())
        throw std::runtime_error(
            fmt::format("Package '{}' was not found in repository '{}'", name, config.pkgRepoUrl));
    return resolveInsideOsDirectory(found.front(), name);
}

void PackageFetcher::checkPackageName(std::string const& name)
{
    requirePackageName(name);
}

RepositoryIndexEntry const& PackageFetcher::indexEntry(std::string const& name) const
{
    requirePackageName(name);
    RepositoryIndex const* index = repositoryIndex();
    RepositoryIndexEntry const* entry = index ? index->newest(name) : nullptr;
    if (!entry)
        throw std::runtime_error(
            fmt::format("Package '{}' was not found in repository '{}'", name, config.pkgRepoUrl));
    session->planned[cachePath(entry->path)] = entry;
    return *entry;
}

RepositoryIndexEntry const* PackageFetcher::indexEntryAt(fs::path const& path) const
{
    auto const known = session->planned.find(path);
    return known == session->planned.end() ? nullptr : known->second;
}

} // namespace Vandrel::Linux
