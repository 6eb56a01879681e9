#include "tests/support/Run.hpp"

#include "core/FileDescriptor.hpp"

#include "tests/support/Paths.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <signal.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace Vandrel::Test {

namespace {

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
    // Read and write ends of the child's standard input, output and error.
    Vandrel::FileDescriptor inRead, inWrite, outRead, outWrite, errRead, errWrite;
    for (auto [readEnd, writeEnd] :
         {std::pair{&inRead, &inWrite}, std::pair{&outRead, &outWrite}, std::pair{&errRead, &errWrite}}) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        readEnd->reset(fds[0]);
        writeEnd->reset(fds[1]);
    }

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
            dup2(inRead.get(), 0);
        } else {
            int devNull = open("/dev/null", O_RDONLY);
            dup2(devNull, 0);
        }
        dup2(outWrite.get(), 1);
        dup2(errWrite.get(), 2);
        if (!options.workDir.empty() && chdir(options.workDir.c_str()) != 0)
            _exit(126);
        execve(argStrings[0].c_str(), argv.data(), envp.data());
        _exit(127);
    }
    inRead.reset();
    outWrite.reset();
    errWrite.reset();

    // Feed standard input and drain both outputs together so that neither side
    // can block the other on a full pipe.
    std::string input = options.input.value_or("");
    size_t written = 0;
    Vandrel::FileDescriptor& in = inWrite;
    if (input.empty())
        in.reset();
    else
        fcntl(in.get(), F_SETFL, O_NONBLOCK);
    signal(SIGPIPE, SIG_IGN);

    RunResult result;
    char buffer[65536];
    while (outRead || errRead) {
        pollfd fds[3];
        int n = 0;
        int outIdx = -1, errIdx = -1, inIdx = -1;
        if (outRead) {
            fds[n] = {outRead.get(), POLLIN, 0};
            outIdx = n++;
        }
        if (errRead) {
            fds[n] = {errRead.get(), POLLIN, 0};
            errIdx = n++;
        }
        if (in) {
            fds[n] = {in.get(), POLLOUT, 0};
            inIdx = n++;
        }
        if (poll(fds, n, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (inIdx >= 0 && fds[inIdx].revents) {
            ssize_t w = write(in.get(), input.data() + written, input.size() - written);
            if (w > 0)
                written += static_cast<size_t>(w);
            if (w < 0 && errno != EAGAIN)
                in.reset();
            if (written == input.size())
                in.reset();
        }
        auto drain = [&](int idx, Vandrel::FileDescriptor& fd, std::string& sink) {
            if (idx < 0 || fds[idx].revents == 0)
                return;
            ssize_t r = read(fd.get(), buffer, sizeof buffer);
            if (r > 0)
                sink.append(buffer, static_cast<size_t>(r));
            else if (r == 0 || errno != EINTR)
                fd.reset();
        };
        drain(outIdx, outRead, result.out);
        drain(errIdx, errRead, result.err);
    }
    in.reset();

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

std::string errorOutput(std::string const& message)
{
    return "Error: " + message + "\nUse --help for help.\n";
}

std::string errorPart(std::string const& err)
{
    auto const at = err.rfind("Error: ");
    return at == std::string::npos ? err : err.substr(at);
}

std::vector<std::string> processesMentioning(std::string const& text)
{
    std::vector<std::string> found;
    std::error_code ec;
    for (auto const& entry : std::filesystem::directory_iterator("/proc", ec)) {
        std::string const pid = entry.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream in(entry.path() / "cmdline", std::ios::binary);
        std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
        if (cmdline.find(text) != std::string::npos)
            found.push_back(pid + ": " + cmdline);
    }
    return found;
}

} // namespace Vandrel::Test
