#pragma once

#include "core/FileDescriptor.hpp"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <istream>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

namespace Vandrel {

using ShellTimePoint = std::chrono::time_point<std::chrono::system_clock, std::chrono::nanoseconds>;

// How one command is run. Every field has a usable default.
struct ShellConfig {
    std::optional<std::chrono::nanoseconds> timeout; // wall-clock limit; empty: none
    std::string shell = "/bin/bash";                 // interpreter, split into words at whitespace
    bool verbose = false;                            // echo interpreter, command and output to stderr
    bool mergeStderr = true;                         // child's stderr shares the stdout pipe and log
    bool commandViaStdin = true;                     // otherwise passed as "-c" <command>
    std::string outputDir;                           // log directory; empty: system temp directory
    std::string stdoutFile;                          // empty: "stdout-" + random number
    std::string stderrFile;                          // empty: "stderr-" + random number
    // When set, the run is stopped as on a time-out as soon as the value it
    // points to is not 0 (a signal handler may set it).
    std::atomic<int> const* interrupt = nullptr;
};

// The outcome of one finished run; a non-zero exit code is for the caller to judge.
struct ShellResult {
    ShellResult(int exitCode, ShellTimePoint startTime, ShellTimePoint endTime, std::string stdoutPath,
                std::string stderrPath);

    int exitCode;
    ShellTimePoint startTime;
    ShellTimePoint endTime;
    std::string stdoutPath;
    std::string stderrPath;
};

// "[exitCode:0, elapsedTime: 3 s]", a newline, then a flush.
std::ostream& operator<<(std::ostream& out, ShellResult const& result);

// Runs one command in a child interpreter, logging its output line by line, and
// delivers the outcome through result(). The child is watched by a thread that
// holds a pointer to this object, hence neither copyable nor movable.
class Shell {
  public:
    // Both ends of one pipe.
    struct Pipe {
        FileDescriptor readEnd;
        FileDescriptor writeEnd;
    };

    Shell(std::string const& command, ShellConfig const& config);
    ~Shell();
    Shell(Shell const&) = delete;
    Shell& operator=(Shell const&) = delete;

    // Take the result once with get(): it rethrows "Shell command timed out",
    // "Shell command interrupted",
    // "Process killed by signal: {}" or "Abnormal child termination".
    std::future<ShellResult>& result() { return monitorFuture; }

    // Run time so far, or of the whole run once it has ended.
    std::chrono::nanoseconds getElapsedTime() const;

  private:
    void initConfig(ShellConfig const& given);
    static std::string generateRandomName(std::string const& prefix);
    void openOutputFiles();
    static Pipe createPipe();
    [[noreturn]] void setupChildProcess(int stdinFd, int stdoutFd, int stderrFd, char* const* argv) const;
    static std::vector<std::string> splitShellCommand(std::string const& text);
    void initStreams();
    ShellResult monitor();
    std::pair<bool, bool> pollStreams(bool stdoutDone, bool stderrDone);
    bool readLine(std::istream& in, std::ofstream& log, std::string const& prefix) const;
    void checkTimeout();
    ShellResult collectChildStatus(int status);
    void killAndCleanup();
    void cleanupPipes();
    void setEndTime();

    ShellConfig config;
    int childPid = -1;
    // The read ends of the child's output pipes; the stdio streams read
    // through duplicates of them.
    FileDescriptor stdoutRead;
    FileDescriptor stderrRead;
    std::FILE* stdoutPipe = nullptr;
    std::FILE* stderrPipe = nullptr;
    std::future<ShellResult> monitorFuture;
    std::unique_ptr<std::streambuf> stdoutBuf;
    std::unique_ptr<std::streambuf> stderrBuf;
    std::unique_ptr<std::istream> stdoutStream;
    std::unique_ptr<std::istream> stderrStream;
    std::string stdoutPath;
    std::ofstream stdoutLog;
    std::string stderrPath;
    std::ofstream stderrLog;
    std::optional<ShellTimePoint> startTime;
    std::optional<ShellTimePoint> endTime;
    mutable std::mutex timeMutex;
    // The time limit is measured on the steady clock so that clock changes cannot stretch it.
    std::chrono::steady_clock::time_point monitorStart;
};

} // namespace Vandrel
