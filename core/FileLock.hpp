#pragma once

#include "core/FileDescriptor.hpp"

#include <functional>
#include <string>

namespace Vandrel {

// An exclusive advisory lock (flock) on a lock file, created when missing.
// The kernel drops it when the descriptor is closed, also when the process
// dies, so a crashed run never leaves a stale lock behind.
class FileLock {
  public:
    // Blocks until the lock is free; onWait runs once, before blocking, when
    // another process holds it.
    static FileLock acquire(std::string const& path, std::function<void()> const& onWait = {});
    // Returns an unlocked object at once when another process holds the lock.
    static FileLock tryAcquire(std::string const& path);

    // Whether a FileLock of this process holds the lock on that file now. A
    // second flock by the same process would wait for itself.
    static bool heldInThisProcess(std::string const& path);

    FileLock() = default;
    ~FileLock();
    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    bool isLocked() const { return descriptor.isOpen(); }
    explicit operator bool() const { return isLocked(); }
    void release();

  private:
    explicit FileLock(FileDescriptor fd);
    FileDescriptor descriptor;
};

} // namespace Vandrel
