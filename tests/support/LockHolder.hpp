#pragma once

#include <string>
#include <sys/types.h>

namespace Vandrel::Test {

// Another process that holds an exclusive flock on a file (created when
// missing) until it is killed with SIGKILL, as a run that crashes while it
// holds the lock would be. The constructor returns once the lock is held.
class LockHolder {
  public:
    explicit LockHolder(std::string const& path);
    ~LockHolder();
    LockHolder(LockHolder const&) = delete;
    LockHolder& operator=(LockHolder const&) = delete;

    // SIGKILLs the holder and reaps it; the kernel then drops its lock.
    void kill();
    bool alive() const { return pid > 0; }

  private:
    pid_t pid = -1;
};

} // namespace Vandrel::Test
