#include "core/TempDir.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace Vandrel {

namespace fs = std::filesystem;

namespace {

// Gives the owner full access to dir and every directory below it, so that a
// subdirectory made read-only does not keep its entries from being removed.
void makeWritable(fs::path const& dir) noexcept
{
    std::error_code ec;
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ec);
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        if (it->symlink_status(typeError).type() == fs::file_type::directory)
            makeWritable(it->path());
    }
}

constexpr std::string_view characters = "abcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::size_t randomLength = 10;

void removeTree(fs::path const& dir) noexcept
{
    std::error_code ec;
    fs::remove_all(dir, ec);
    if (!ec)
        return;
    makeWritable(dir);
    fs::remove_all(dir, ec);
}

} // namespace

TempDir::TempDir(std::string_view prefix)
{
    static std::mt19937 generator{std::random_device{"default"}()};
    static std::mutex generatorMutex; // makes construction on several threads safe
    std::uniform_int_distribution<std::size_t> pick(0, characters.size() - 1);

    fs::path const base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name(prefix);
        {
            std::lock_guard lock(generatorMutex);
            for (std::size_t i = 0; i < randomLength; ++i)
                name += characters[pick(generator)];
        }
        // Made and locked under a hidden name, then renamed: under its own
        // name the directory is never seen unlocked.
        fs::path const hidden = base / ("." + name);
        fs::path const candidate = base / name;
        std::error_code ec;
        if (!fs::create_directory(hidden, ec)) {
            // Only a name already taken (by a directory or anything else) is worth another try.
            if (ec && ec != std::errc::file_exists)
                throw fs::filesystem_error("cannot create directory", hidden, ec);
            continue;
        }
        int const fd = ::open(hidden.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0 ||
            ::renameat2(AT_FDCWD, hidden.c_str(), AT_FDCWD, candidate.c_str(), RENAME_NOREPLACE) != 0) {
            int const error = errno;
            if (fd >= 0)
                ::close(fd);
            removeTree(hidden);
            if (error == EEXIST)
                continue;
            throw fs::filesystem_error("cannot create directory", candidate,
                                       std::error_code(error, std::generic_category()));
        }
        dirPath = candidate;
        lockFd = fd;
        return;
    }
    throw std::runtime_error("Failed to create temporary directory");
}

TempDir::~TempDir()
{
    // Must never throw: failures are left alone after one retry.
    removeTree(dirPath);
    if (lockFd >= 0)
        ::close(lockFd);
}

int TempDir::removeAbandoned(std::string_view prefix)
{
    std::error_code ec;
    fs::path const base = fs::temp_directory_path(ec);
    if (ec)
        return 0;
    int removed = 0;
    for (fs::directory_iterator it(base, ec), end; !ec && it != end; it.increment(ec)) {
        std::string const name = it->path().filename().string();
        if (name.size() != prefix.size() + randomLength || name.compare(0, prefix.size(), prefix) != 0 ||
            name.find_first_not_of(characters, prefix.size()) != std::string::npos)
            continue;
        int const fd = ::open(it->path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat status {};
        // Only this user's own directories, and only when nobody holds them.
        bool const abandoned =
            ::fstat(fd, &status) == 0 && status.st_uid == ::geteuid() && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (abandoned) {
            removeTree(it->path());
            ++removed;
        }
        ::close(fd);
    }
    return removed;
}

} // namespace Vandrel
