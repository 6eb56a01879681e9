#include "core/FileLock.hpp"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <utility>

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

// The files this process holds locks on, by device and inode.
std::mutex heldMutex;
std::multiset<std::pair<dev_t, ino_t>> held;

std::pair<dev_t, ino_t> identityOf(int fd)
{
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        return {0, 0};
    return {status.st_dev, status.st_ino};
}

} // namespace

FileLock::FileLock(FileDescriptor fd) : descriptor(std::move(fd))
{
    std::lock_guard const guard(heldMutex);
    held.insert(identityOf(descriptor.get()));
}

FileLock::~FileLock()
{
    release();
}

FileLock::FileLock(FileLock&& other) noexcept : descriptor(std::move(other.descriptor)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept
{
    if (this != &other) {
        release();
        descriptor = std::move(other.descriptor);
    }
    return *this;
}

void FileLock::release()
{
    if (!descriptor.isOpen())
        return;
    {
        std::lock_guard const guard(heldMutex);
        auto const it = held.find(identityOf(descriptor.get()));
        if (it != held.end())
            held.erase(it);
    }
    descriptor.reset();
}

bool FileLock::heldInThisProcess(std::string const& path)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return false;
    std::lock_guard const guard(heldMutex);
    return held.count({status.st_dev, status.st_ino}) != 0;
}

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
