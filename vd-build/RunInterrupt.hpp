#pragma once

#include <atomic>
#include <chrono>

namespace Vandrel::Linux::RunInterrupt {

// While one lives, SIGINT, SIGTERM and SIGHUP do not end the program: the
// signal is recorded, the build running in its sandbox is stopped by the
// shell runner that watches it, and the run ends at the next check with the
// error of throwIfInterrupted, so that the build filesystem is torn down as
// after a failed step. A signal ignored when the program started stays
// ignored. The handlers in place before are put back at the end.
class Catcher {
  public:
    Catcher();
    ~Catcher();
    Catcher(Catcher const&) = delete;
    Catcher& operator=(Catcher const&) = delete;
};

// The number of the first signal caught, 0 before one arrived; the shell
// runner's ShellConfig::interrupt points here.
std::atomic<int> const& received();

// "The run was interrupted by SIGTERM" (or the signal caught), when one was.
void throwIfInterrupted();

// Waits for the given time, checking for a signal as it goes; throws as
// throwIfInterrupted as soon as one has arrived.
void sleepFor(std::chrono::milliseconds duration);

} // namespace Vandrel::Linux::RunInterrupt
