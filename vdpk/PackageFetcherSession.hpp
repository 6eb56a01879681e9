#pragma once

// What one PackageFetcher keeps between its calls; shared by its sources only.
#include "vdpk/PackageFetcher.hpp"

#include <fmt/format.h>

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace Vandrel::Linux {

// A name that becomes one component of a cache path: a package, version or
// OS directory name. "." and ".." would move the path, "/" would add levels.
inline bool isSinglePathComponent(std::string const& text)
{
    return !text.empty() && text != "." && text != ".." && text.find('/') == std::string::npos &&
           text.find('\0') == std::string::npos;
}

inline void requirePackageName(std::string const& name)
{
    if (name.empty())
        throw std::runtime_error("Package name cannot be empty");
    if (!isSinglePathComponent(name))
        throw std::runtime_error(fmt::format("Invalid package name '{}'", name));
}

struct PackageFetcher::Session {
    explicit Session(Limits limits) : http(limits) {}

    HttpSession http;
    // Listings already read, by the URL they were asked for.
    std::map<std::string, std::vector<RepoEntry>> listings;
    // Set once the server has redirected a directory to its form with a
    // trailing slash: later directories are asked for in that form at once.
    bool directoriesEndInSlash = false;
    // Where the last text request was redirected to, if anywhere.
    std::string redirectedTo;
    // The index, once asked for; empty inside when the repository has none.
    std::optional<std::optional<RepositoryIndex>> index;
    // Entries handed out by indexEntry, by the cache path of their archive.
    std::map<std::filesystem::path, RepositoryIndexEntry const*> planned;
};

} // namespace Vandrel::Linux
