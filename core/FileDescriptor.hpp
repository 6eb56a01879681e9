#pragma once

#include <unistd.h>
#include <utility>

namespace Vandrel {

// Sole owner of one file descriptor: closes it when destroyed or reset, and
// moves but never copies, so a descriptor is closed exactly once.
class FileDescriptor {
  public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : descriptor(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : descriptor(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    FileDescriptor(FileDescriptor const&) = delete;
    FileDescriptor& operator=(FileDescriptor const&) = delete;

    int get() const { return descriptor; }
    bool isOpen() const { return descriptor >= 0; }
    explicit operator bool() const { return isOpen(); }
    int release() { return std::exchange(descriptor, -1); }
    void reset(int fd = -1)
    {
        if (descriptor >= 0)
            ::close(descriptor);
        descriptor = fd;
    }

  private:
    int descriptor = -1;
};

} // namespace Vandrel
