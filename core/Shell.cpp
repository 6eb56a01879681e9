#include "core/Shell.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <ctime>
#include <ext/stdio_filebuf.h>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <poll.h>
#include <random>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace Vandrel {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

ShellTimePoint now()
{
    return std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now());
}

// A stdio stream over a duplicate of fd; the descriptor itself stays with its owner.
std::FILE* openStream(FileDescriptor const& fd)
{
    FileDescriptor copy(fcntl(fd.get(), F_DUPFD_CLOEXEC, 3));
    std::FILE* const stream = copy ? fdopen(copy.get(), "r") : nullptr;
    if (stream != nullptr)
        copy.release();
    return stream;
}

// Hands the command to the child. A child that exits without reading it makes
// the write fail with EPIPE and raises SIGPIPE, which would end the whole
// program. That signal goes to the writing thread only, so it is blocked here
// just for the write and the one our write raised is consumed; the program's
// own signal dispositions stay untouched. Writes again after an interruption
// so the child never runs a truncated command.
void writeToChild(int fd, std::string const& text) noexcept
{
    sigset_t pipeSignal, oldMask, pending;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &oldMask);
    sigpending(&pending);
    bool const alreadyPending = sigismember(&pending, SIGPIPE) == 1;

    bool broken = false;
    for (std::size_t written = 0; written < text.size();) {
        ssize_t const n = write(fd, text.data() + written, text.size() - written);
        if (n >= 0) {
            written += static_cast<std::size_t>(n);
        } else if (errno != EINTR) {
            broken = errno == EPIPE;
            break;
        }
    }
    if (broken && !alreadyPending) {
        timespec const noWait{0, 0};
        while (sigtimedwait(&pipeSignal, nullptr, &noWait) == -1 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
}

} // namespace

ShellResult::ShellResult(int exitCode, ShellTimePoint startTime, ShellTimePoint endTime,
                         std::string stdoutPath, std::string stderrPath)
    : exitCode(exitCode), startTime(startTime), endTime(endTime), stdoutPath(std::move(stdoutPath)),
      stderrPath(std::move(stderrPath))
{
}

std::ostream& operator<<(std::ostream& out, ShellResult const& result)
{
    auto const elapsed = (result.endTime - result.startTime).count();
    out << "[exitCode:" << result.exitCode << ", elapsedTime: ";
    if (elapsed < 1'000'000)
        out << elapsed << " ns";
    else if (elapsed < 1'000'000'000)
        out << elapsed / 1'000'000 << " ms";
    else
        out << elapsed / 1'000'000'000 << " s";
    return out << "]" << std::endl;
}

Shell::Shell(std::string const& command, ShellConfig const& givenConfig)
{
    initConfig(givenConfig);
    openOutputFiles();
    Pipe outPipe = createPipe();
    Pipe errPipe = createPipe();
    Pipe inPipe = createPipe();

    // Everything the child needs is prepared before the fork: in the child of a
    // multi-threaded program only async-signal-safe calls are allowed.
    std::vector<std::string> args = splitShellCommand(config.shell);
    if (!config.commandViaStdin && !command.empty()) {
        args.emplace_back("-c");
        args.push_back(command);
    }
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::string const input = config.commandViaStdin ? command + "\n" : std::string();

    childPid = fork();
    if (childPid < 0) {
        childPid = -1;
        throw std::runtime_error("fork() failed!");
    }
    if (childPid == 0) {
        // Only async-signal-safe calls here; the child never returns, so no
        // destructor closes these twice.
        close(outPipe.readEnd.get());
        close(errPipe.readEnd.get());
        close(inPipe.writeEnd.get());
        int const childStderr = config.mergeStderr ? outPipe.writeEnd.get() : errPipe.writeEnd.get();
        setupChildProcess(inPipe.readEnd.get(), outPipe.writeEnd.get(), childStderr, argv.data());
    }

    try {
        stdoutRead = std::move(outPipe.readEnd);
        outPipe.writeEnd.reset();
        if (!config.mergeStderr)
            stderrRead = std::move(errPipe.readEnd);
        errPipe = {};
        inPipe.readEnd.reset();

        if (config.verbose)
            std::cerr << config.shell << '\n' << command << '\n' << std::flush;
        if (!config.commandViaStdin)
            inPipe.writeEnd.reset();

        initStreams();
        monitorFuture = std::async(std::launch::async, &Shell::monitor, this);
    } catch (...) {
        killAndCleanup();
        throw;
    }

    // The monitor drains the output before the command is written: a child that
    // writes much before it has read a long command would otherwise block on a
    // full output pipe while we block on its full input pipe.
    if (config.commandViaStdin) {
        writeToChild(inPipe.writeEnd.get(), input);
        inPipe.writeEnd.reset();
    }
}

Shell::~Shell()
{
    if (monitorFuture.valid())
        monitorFuture.wait();
    cleanupPipes();
    stdoutLog.close();
    stderrLog.close();
}

std::chrono::nanoseconds Shell::getElapsedTime() const
{
    std::lock_guard lock(timeMutex);
    if (!startTime)
        return 0ns;
    return (endTime ? *endTime : now()) - *startTime;
}

void Shell::initConfig(ShellConfig const& given)
{
    config = given;
    if (config.outputDir.empty())
        config.outputDir = fs::temp_directory_path().string();
    if (config.stdoutFile.empty())
        config.stdoutFile = generateRandomName("stdout-");
    if (config.stderrFile.empty())
        config.stderrFile = generateRandomName("stderr-");
}

std::string Shell::generateRandomName(std::string const& prefix)
{
    // Shells may be constructed on several threads at once; the generator is not thread-safe.
    static std::mutex generatorMutex;
    static std::mt19937 generator{std::random_device{}()};
    static std::uniform_int_distribution<std::uint64_t> distribution;
    std::lock_guard lock(generatorMutex);
    return prefix + std::to_string(distribution(generator));
}

void Shell::openOutputFiles()
{
    fs::create_directories(config.outputDir);
    stdoutPath = (fs::path(config.outputDir) / config.stdoutFile).string();
    stderrPath = (fs::path(config.outputDir) / config.stderrFile).string();
    stdoutLog.open(stdoutPath, std::ios::out | std::ios::trunc);
    if (!stdoutLog.is_open())
        throw std::runtime_error(fmt::format("Failed to open stdout file: {}", stdoutPath));
    stderrLog.open(stderrPath, std::ios::out | std::ios::trunc);
    if (!stderrLog.is_open())
        throw std::runtime_error(fmt::format("Failed to open stderr file: {}", stderrPath));
}

Shell::Pipe Shell::createPipe()
{
    // Close-on-exec, so that children started meanwhile by other threads do not
    // inherit our ends and keep the pipes open; dup2 clears the flag on 0, 1 and 2.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe() failed!");
    return Pipe{FileDescriptor(fds[0]), FileDescriptor(fds[1])};
}

void Shell::setupChildProcess(int stdinFd, int stdoutFd, int stderrFd, char* const* argv) const
{
    setsid();
    // Lift the descriptors above 2 first, so that no dup2 overwrites one still to
    // be copied and none stays in place with its close-on-exec flag.
    int fds[3] = {stdinFd, stdoutFd, stderrFd};
    for (int& fd : fds) {
        if (fd >= 0 && fd <= 2)
            fd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    }
    for (int target = 0; target < 3; ++target) {
        if (dup2(fds[target], target) != target)
            _exit(127);
    }
    for (int fd : {stdinFd, stdoutFd, stderrFd, fds[0], fds[1], fds[2]}) {
        if (fd > 2)
            close(fd);
    }
    if (argv[0] != nullptr)
        execvp(argv[0], argv);
    _exit(127);
}

std::vector<std::string> Shell::splitShellCommand(std::string const& text)
{
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

void Shell::initStreams()
{
    stdoutPipe = openStream(stdoutRead);
    if (stdoutPipe == nullptr)
        throw std::runtime_error("fdopen() failed for stdout!");
    stdoutBuf = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(stdoutPipe, std::ios::in);
    stdoutStream = std::make_unique<std::istream>(stdoutBuf.get());
    if (config.mergeStderr)
        return;
    stderrPipe = openStream(stderrRead);
    if (stderrPipe == nullptr)
        throw std::runtime_error("fdopen() failed for stderr!");
    stderrBuf = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(stderrPipe, std::ios::in);
    stderrStream = std::make_unique<std::istream>(stderrBuf.get());
}

ShellResult Shell::monitor()
{
    try {
        {
            std::lock_guard lock(timeMutex);
            startTime = now();
        }
        monitorStart = std::chrono::steady_clock::now();
        bool stdoutDone = false;
        bool stderrDone = config.mergeStderr;
        bool exited = false;
        int status = -1; // stays -1 (neither exited nor signalled) if the child is lost
        std::string const stdoutPrefix = config.mergeStderr ? "" : ":";
        for (;;) {
            if (!exited) {
                int waitStatus = 0;
                pid_t const reaped = waitpid(childPid, &waitStatus, WNOHANG);
                if (reaped == childPid) {
                    exited = true;
                    status = waitStatus;
                    childPid = -1; // reaped: the id may now belong to another process
                } else if (reaped < 0 && errno != EINTR) {
                    exited = true; // reaped elsewhere: nothing left to wait for
                    childPid = -1;
                }
            }
            checkTimeout();
            auto const [stdoutReady, stderrReady] = pollStreams(stdoutDone, stderrDone);
            if (stdoutReady && !readLine(*stdoutStream, stdoutLog, stdoutPrefix))
                stdoutDone = true;
            if (stderrReady && !readLine(*stderrStream, stderrLog, "!"))
                stderrDone = true;
            if (stdoutDone && stderrDone && exited)
                return collectChildStatus(status);
        }
    } catch (...) {
        if (childPid != -1 || stdoutRead || stderrRead)
            killAndCleanup();
        throw;
    }
}

std::pair<bool, bool> Shell::pollStreams(bool stdoutDone, bool stderrDone)
{
    auto wait = std::chrono::milliseconds(100);
    if (config.timeout) {
        auto const left = monitorStart + *config.timeout - std::chrono::steady_clock::now();
        wait = std::clamp(std::chrono::duration_cast<std::chrono::milliseconds>(left), 0ms, wait);
    }
    if (stdoutDone && stderrDone) {
        // Output is finished but the child still runs: wait a little rather than spin.
        std::this_thread::sleep_for(std::min(wait, 1ms));
        return {false, false};
    }

    // Lines already read into a stream's buffer are not seen by poll.
    bool stdoutReady = !stdoutDone && stdoutStream->rdbuf()->in_avail() > 0;
    bool stderrReady = !stderrDone && stderrStream->rdbuf()->in_avail() > 0;
    if (stdoutReady || stderrReady)
        wait = 0ms;

    pollfd fds[2];
    nfds_t count = 0;
    if (!stdoutDone)
        fds[count++] = pollfd{stdoutRead.get(), POLLIN, 0};
    if (!stderrDone)
        fds[count++] = pollfd{stderrRead.get(), POLLIN, 0};
    poll(fds, count, static_cast<int>(wait.count()));

    // Errors count as ready too: the read then fails and ends the stream.
    constexpr short readyEvents = POLLIN | POLLHUP | POLLERR | POLLNVAL;
    nfds_t index = 0;
    if (!stdoutDone)
        stdoutReady = stdoutReady || (fds[index++].revents & readyEvents) != 0;
    if (!stderrDone)
        stderrReady = stderrReady || (fds[index].revents & readyEvents) != 0;
    return {stdoutReady, stderrReady};
}

bool Shell::readLine(std::istream& in, std::ofstream& log, std::string const& prefix) const
{
    std::string line;
    if (!std::getline(in, line))
        return false;
    if (config.verbose)
        std::cerr << prefix + line + "\n" << std::flush;
    if (log.is_open())
        log << line << '\n' << std::flush;
    return true;
}

void Shell::checkTimeout()
{
    if (config.interrupt != nullptr && config.interrupt->load() != 0) {
        killAndCleanup();
        throw std::runtime_error("Shell command interrupted");
    }
    if (!config.timeout || std::chrono::steady_clock::now() - monitorStart < *config.timeout)
        return;
    killAndCleanup();
    throw std::runtime_error("Shell command timed out");
}

ShellResult Shell::collectChildStatus(int status)
{
    cleanupPipes();
    setEndTime();
    childPid = -1;
    if (WIFSIGNALED(status))
        throw std::runtime_error(fmt::format("Process killed by signal: {}", WTERMSIG(status)));
    if (!WIFEXITED(status))
        throw std::runtime_error("Abnormal child termination");
    std::lock_guard lock(timeMutex);
    return ShellResult(WEXITSTATUS(status), *startTime, *endTime, stdoutPath, stderrPath);
}

void Shell::killAndCleanup()
{
    // Only a child not yet reaped is signalled: a reaped one's id may be reused.
    bool const running = childPid != -1;
    if (running)
        kill(childPid, SIGKILL);
    cleanupPipes();
    setEndTime();
    if (running) {
        while (waitpid(childPid, nullptr, 0) == -1 && errno == EINTR) {
        }
        childPid = -1;
    }
}

void Shell::cleanupPipes()
{
    stdoutStream.reset();
    stderrStream.reset();
    stdoutBuf.reset(); // the stdio buffers leave their streams open
    stderrBuf.reset();
    if (stdoutPipe != nullptr) {
        std::fclose(stdoutPipe);
        stdoutPipe = nullptr;
    }
    if (stderrPipe != nullptr) {
        std::fclose(stderrPipe);
        stderrPipe = nullptr;
    }
    stdoutRead.reset();
    stderrRead.reset();
}

void Shell::setEndTime()
{
    std::lock_guard lock(timeMutex);
    endTime = now();
}

} // namespace Vandrel
