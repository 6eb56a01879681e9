#include "tests/support/Tree.hpp"

#include "tests/support/Sandbox.hpp"

#include <fmt/format.h>

#include <sys/stat.h>

namespace Vandrel::Test {

namespace fs = std::filesystem;

namespace {

// Long contents are abbreviated in a difference so that it stays readable.
std::string shortened(std::string const& description)
{
    constexpr std::size_t limit = 80;
    if (description.size() <= limit)
        return description;
    return fmt::format("{}... ({} bytes)", description.substr(0, limit), description.size());
}

} // namespace

TreeSnapshot snapshotTree(fs::path const& dir)
{
    TreeSnapshot entries;
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(dir, ec)))
        return entries;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        struct stat st {};
        if (::lstat(it->path().c_str(), &st) != 0)
            continue;
        char const* type = S_ISREG(st.st_mode)   ? "file"
                           : S_ISDIR(st.st_mode) ? "dir"
                           : S_ISLNK(st.st_mode) ? "link"
                                                 : "special";
        std::string description =
            fmt::format("{} {:o} {}:{} n{}", type, st.st_mode & 07777, st.st_uid, st.st_gid, st.st_nlink);
        if (S_ISLNK(st.st_mode))
            description += " -> " + fs::read_symlink(it->path(), ec).string();
        else if (S_ISREG(st.st_mode))
            description += " " + readFile(it->path());
        entries[it->path().lexically_relative(dir).string()] = description;
    }
    return entries;
}

std::vector<std::string> treePaths(fs::path const& dir)
{
    std::vector<std::string> paths;
    for (auto const& entry : snapshotTree(dir))
        paths.push_back(entry.first);
    return paths;
}

std::string treeDifference(TreeSnapshot const& before, TreeSnapshot const& after)
{
    std::string out;
    for (auto const& [path, description] : before) {
        auto found = after.find(path);
        if (found == after.end())
            out += fmt::format("removed: {}\n", path);
        else if (found->second != description)
            out += fmt::format("changed: {}: {} => {}\n", path, shortened(description),
                               shortened(found->second));
    }
    for (auto const& [path, description] : after)
        if (!before.count(path))
            out += fmt::format("added: {}: {}\n", path, shortened(description));
    return out;
}

} // namespace Vandrel::Test
