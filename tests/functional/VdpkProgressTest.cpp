// Download progress of the built vdpk: shown on one redrawn line when standard
// error is a terminal, absent when it is a pipe.
#include "tests/support/Paths.hpp"
#include "tests/support/VdpkSandbox.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

namespace Vandrel::Test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

struct TerminalRun {
    int status = -1;
    std::string output; // standard output and error, as the terminal got them
};

// Runs a program on a new pseudo-terminal and collects what it writes there.
TerminalRun runOnTerminal(fs::path const& program, std::vector<std::string> const& args,
                          fs::path const& workDir, fs::path const& tempDir)
{
    std::vector<char*> argv;
    std::string programText = program.string();
    argv.push_back(programText.data());
    std::vector<std::string> copies = args;
    for (auto& arg : copies)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    int master = -1;
    pid_t const pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid < 0)
        throw std::runtime_error("forkpty failed");
    if (pid == 0) {
        ::unsetenv("VDPK_CONFIG");
        ::setenv("TMPDIR", tempDir.c_str(), 1);
        if (::chdir(workDir.c_str()) == 0)
            ::execv(argv[0], argv.data());
        ::_exit(127);
    }

    TerminalRun run;
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    char buffer[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd ready{master, POLLIN, 0};
        if (::poll(&ready, 1, 1000) <= 0)
            continue;
        ssize_t const got = ::read(master, buffer, sizeof buffer);
        if (got <= 0)
            break; // EIO once the program and its children have closed the terminal
        run.output.append(buffer, static_cast<size_t>(got));
    }
    if (std::chrono::steady_clock::now() >= deadline)
        ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(master);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

class VdpkProgress : public ::testing::Test {
  protected:
    VdpkProgress() : archive(box.publish("core", "app", "1")) { box.serve(); }

    VdpkSandbox box;
    fs::path archive;
};

TEST_F(VdpkProgress, TerminalShowsTheArchiveAndItsSizeOnOneRedrawnLine)
{
    TerminalRun const run = runOnTerminal(
        binDir() / "vdpk",
        {"--install", "app", "--config", box.configDir().string(), "--prefix", box.prefix().string()},
        box.root(), box.tmpDir());
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(box.installedVersion("app"), "1\n");

    // The archive is a few hundred bytes, so the final count is exact; the
    // line starts with a carriage return and is ended before anything else
    // (the terminal turns the newline into "\r\n").
    auto const size = fs::file_size(archive);
    ASSERT_LT(size, 1024u);
    std::string const finalLine = "\rapp-1-x64.vdpk.tar.bz2  " + std::to_string(size) + " B";
    EXPECT_THAT(run.output, HasSubstr(finalLine));
    auto const at = run.output.rfind(finalLine);
    ASSERT_NE(at, std::string::npos);
    auto const end = run.output.find("\r\n", at + 1);
    ASSERT_NE(end, std::string::npos);
    EXPECT_THAT(run.output.substr(at + finalLine.size(), end - at - finalLine.size()),
                ::testing::MatchesRegex("  [0-9.]+ (B|KiB|MiB|GiB)/s *"));
    // Listings are not downloads: every redraw is of the archive's line.
    int redraws = 0;
    int archiveLines = 0;
    for (std::size_t i = 0; i < run.output.size(); ++i) {
        if (run.output[i] != '\r' || (i + 1 < run.output.size() && run.output[i + 1] == '\n'))
            continue;
        ++redraws;
        archiveLines += run.output.compare(i + 1, 22, "app-1-x64.vdpk.tar.bz2") == 0;
    }
    EXPECT_GE(redraws, 1);
    EXPECT_EQ(archiveLines, redraws) << run.output;
}

TEST_F(VdpkProgress, PipeGetsNoProgressOutput)
{
    RunResult const r = box.vdpk({"--install", "app"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, Not(HasSubstr("\r")));
    EXPECT_THAT(r.err, Not(HasSubstr("app-1-x64.vdpk.tar.bz2  ")));
    EXPECT_EQ(box.installedVersion("app"), "1\n");
}

} // namespace
} // namespace Vandrel::Test
