#include "core/FileLock.hpp"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <system_error>

namespace Vandrel {

namespace {

FileDescriptor openLockFile(std::string const& path)
{
    FileDescriptor fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd)
        throw std::filesystem::filesystem_error("cannot open lock file", path,
                                                std::error_code(errno, std::generic_category()));
    return fd;
}

// LOCK_NB first: true when taken, false when another process holds it.
bool tryLock(FileDescriptor const& fd, std::string const& path)
{
    while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK)
            return false;
        if (errno != EINTR)
            throw std::filesystem::filesystem_error("cannot lock", path,
                                                    std::error_code(errno, std::generic_category()));
    }
    return true;
}

} // namespace

FileLock FileLock::acquire(std::string const& path, std::function<void()> const& onWait)
{
    FileDescriptor fd = openLockFile(path);
    if (tryLock(fd, path))
        return FileLock(std::move(fd));
    if (onWait)
        onWait();
    while (::flock(fd.get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            throw std::filesystem::filesystem_error("cannot lock", path,
                                                    std::error_code(errno, std::generic_category()));
    }
    return FileLock(std::move(fd));
}

FileLock FileLock::tryAcquire(std::string const& path)
{
    FileDescriptor fd = openLockFile(path);
    if (tryLock(fd, path))
        return FileLock(std::move(fd));
    return FileLock();
}

} // namespace Vandrel
