#include "tests/support/Run.hpp"

#include "tests/support/Paths.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace Vandrel::Test {

namespace {

void closeFd(int& fd)
{
    if (fd >= 0)
        close(fd);
    fd = -1;
}

std::vector<std::string> buildEnvironment(RunOptions const& options)
{
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        auto eq = entry.find('=');
        if (eq != std::string::npos)
            vars[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    if (!options.env.count("VDPK_CONFIG"))
        vars.erase("VDPK_CONFIG");
    for (auto const& [name, value] : options.env) {
        if (value)
            vars[name] = *value;
        else
            vars.erase(name);
    }
    std::vector<std::string> out;
    for (auto const& [name, value] : vars)
        out.push_back(name + "=" + value);
    return out;
}

} // namespace

RunResult runProgram(std::filesystem::path const& program, std::vector<std::string> const& args,
                     RunOptions const& options)
{
    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");

    std::vector<std::string> argStrings;
    argStrings.push_back(program.string());
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStrings)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings = buildEnvironment(options);
    std::vector<char*> envp;
    for (auto& e : envStrings)
        envp.push_back(e.data());
    envp.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (options.input) {
            dup2(inPipe[0], 0);
        } else {
            int devNull = open("/dev/null", O_RDONLY);
            dup2(devNull, 0);
        }
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        if (!options.workDir.empty() && chdir(options.workDir.c_str()) != 0)
            _exit(126);
        execve(argStrings[0].c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);

    // Feed standard input and drain both outputs together so that neither side
    // can block the other on a full pipe.
    std::string input = options.input.value_or("");
    size_t written = 0;
    int inFd = inPipe[1];
    if (input.empty())
        closeFd(inFd);
    else
        fcntl(inFd, F_SETFL, O_NONBLOCK);
    signal(SIGPIPE, SIG_IGN);

    RunResult result;
    int outFd = outPipe[0], errFd = errPipe[0];
    char buffer[65536];
    while (outFd >= 0 || errFd >= 0) {
        pollfd fds[3];
        int n = 0;
        int outIdx = -1, errIdx = -1, inIdx = -1;
        if (outFd >= 0) { fds[n] = {outFd, POLLIN, 0}; outIdx = n++; }
        if (errFd >= 0) { fds[n] = {errFd, POLLIN, 0}; errIdx = n++; }
        if (inFd >= 0) { fds[n] = {inFd, POLLOUT, 0}; inIdx = n++; }
        if (poll(fds, n, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (inIdx >= 0 && fds[inIdx].revents) {
            ssize_t w = write(inFd, input.data() + written, input.size() - written);
            if (w > 0)
                written += static_cast<size_t>(w);
            if (w < 0 && errno != EAGAIN)
                closeFd(inFd);
            if (written == input.size())
                closeFd(inFd);
        }
        auto drain = [&](int idx, int& fd, std::string& sink) {
            if (idx < 0 || fds[idx].revents == 0)
                return;
            ssize_t r = read(fd, buffer, sizeof buffer);
            if (r > 0)
                sink.append(buffer, static_cast<size_t>(r));
            else if (r == 0 || errno != EINTR)
                closeFd(fd);
        };
        drain(outIdx, outFd, result.out);
        drain(errIdx, errFd, result.err);
    }
    closeFd(inFd);

    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

RunResult runVdpk(std::vector<std::string> const& args, RunOptions const& options)
{
    return runProgram(programPath("vdpk"), args, options);
}

RunResult runShell(std::string const& command)
{
    return runProgram("/bin/sh", {"-c", command});
}

} // namespace Vandrel::Test
