#include "tests/support/LockHolder.hpp"

#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace Vandrel::Test {

LockHolder::LockHolder(std::string const& path)
{
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        // Only system calls between fork and _exit: the test may have threads.
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0 || flock(fd, LOCK_EX) != 0)
            _exit(1);
        char const byte = 'L';
        if (write(ready[1], &byte, 1) != 1)
            _exit(1);
        for (;;)
            pause();
    }
    close(ready[1]);
    char byte = 0;
    ssize_t n;
    while ((n = read(ready[0], &byte, 1)) < 0 && errno == EINTR) {
    }
    close(ready[0]);
    if (n != 1) {
        kill();
        throw std::runtime_error("lock holder could not lock " + path);
    }
}

LockHolder::~LockHolder()
{
    kill();
}

void LockHolder::kill()
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
}

} // namespace Vandrel::Test
