#include "core/Shell.hpp"

#include "tests/support/Errors.hpp"
#include "tests/support/Sandbox.hpp"
#include "tests/support/ScopedEnv.hpp"

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace Vandrel;
using namespace Vandrel::Test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testing::HasSubstr;
using testing::MatchesRegex;

namespace {

// Every run logs below a test-owned TMPDIR, so nothing is left in the real one.
class ShellTest : public testing::Test {
  protected:
    Sandbox sandbox;
    SandboxTmpDir tmpdir{sandbox};
    fs::path tmp = tmpdir.path();

    static ShellResult run(std::string const& command, ShellConfig const& config = {})
    {
        Shell shell(command, config);
        return shell.result().get();
    }
    static ShellConfig viaDashC(std::string shell)
    {
        ShellConfig config;
        config.shell = std::move(shell);
        config.commandViaStdin = false;
        return config;
    }
};

class ShellExitStatus : public ShellTest {};
class ShellCommandPassing : public ShellTest {};
class ShellOutput : public ShellTest {};
class ShellTimeLimit : public ShellTest {};
class ShellLogFiles : public ShellTest {};

} // namespace

TEST_F(ShellExitStatus, NonZeroExitIsAResultNotAnError)
{
    EXPECT_EQ(run("exit 3").exitCode, 3);
    EXPECT_EQ(run("true").exitCode, 0);
}

TEST_F(ShellExitStatus, InterpreterThatCannotRunGives127)
{
    ShellConfig config;
    for (std::string shell : {"/nonexistent/interpreter --flag", "", " \t\n "}) {
        config.shell = shell;
        EXPECT_EQ(run("echo never", config).exitCode, 127) << "shell: '" << shell << "'";
    }
}

TEST_F(ShellExitStatus, DeathBySignalIsReported)
{
    EXPECT_EQ(messageOf([] { run("kill -9 $$"); }), "Process killed by signal: 9");
}

TEST_F(ShellCommandPassing, CommandArrivesOnStdinFollowedByOneNewline)
{
    ShellConfig config;
    config.shell = "cat";
    auto result = run("echo 'a  b' \"$HOME\"; exit 7", config);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(readFile(result.stdoutPath), "echo 'a  b' \"$HOME\"; exit 7\n");
}

TEST_F(ShellCommandPassing, DashCPassesCommandAsOneArgumentAndLeavesStdinEmpty)
{
    EXPECT_EQ(readFile(run("echo 'x  y'; ls", viaDashC("printf <%s>\\n")).stdoutPath),
              "<-c>\n<echo 'x  y'; ls>\n");
    EXPECT_EQ(readFile(run("cat; echo end", viaDashC("/bin/bash")).stdoutPath), "end\n");
}

TEST_F(ShellCommandPassing, EmptyCommandWithoutStdinAddsNoDashC)
{
    EXPECT_EQ(readFile(run("", viaDashC("printf <%s>\\n")).stdoutPath), "<>\n");
    EXPECT_EQ(run("", viaDashC("cat")).exitCode, 0);
}

TEST_F(ShellCommandPassing, ShellWordsBecomeLeadingArgumentsWithQuotesAsOrdinaryCharacters)
{
    auto fourWords = run("make all", viaDashC("  printf\t<%s>\\n   /build/root \n --noediting "));
    EXPECT_EQ(readFile(fourWords.stdoutPath), "</build/root>\n<--noediting>\n<-c>\n<make all>\n");
    auto quoted = run("", viaDashC("printf <%s>\\n 'a b' \"c\""));
    EXPECT_EQ(readFile(quoted.stdoutPath), "<'a>\n<b'>\n<\"c\">\n");
}

TEST_F(ShellCommandPassing, ChildLeadsItsOwnSessionWithoutTerminal)
{
    // Fields of /proc/PID/stat: pid, comm, state, ppid, pgrp, session, tty.
    auto result = run("set -- $(cat /proc/$$/stat); [ $1 = $5 ] && [ $1 = $6 ] && [ $7 = 0 ] && echo alone");
    EXPECT_EQ(readFile(result.stdoutPath), "alone\n");
}

TEST_F(ShellCommandPassing, LongCommandDoesNotDeadlockWithMuchOutput)
{
    // bash reads the rest of the command only after the first line has written
    // more than a pipe holds.
    std::string command =
        "head -c 300000 /dev/zero | tr '\\0' x; echo\n#" + std::string(200000, 'y') + "\necho done";
    auto result = run(command);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(readFile(result.stdoutPath), std::string(300000, 'x') + "\ndone\n");
}

TEST_F(ShellCommandPassing, ChildThatNeverReadsItsCommandEndsNormally)
{
    ShellConfig config;
    config.shell = "true";
    EXPECT_EQ(run(std::string(1 << 20, 'x'), config).exitCode, 0); // no SIGPIPE for us, no hang
}

TEST_F(ShellOutput, MergedStreamsKeepChildOrderAndEchoWithoutPrefix)
{
    ShellConfig config;
    config.verbose = true;
    std::string const command = "echo out1; echo err1 >&2; echo out2";
    Vandrel::Test::CapturedStderr captured;
    auto result = run(command, config);
    EXPECT_EQ(captured.text(), "/bin/bash\n" + command + "\nout1\nerr1\nout2\n");
    EXPECT_EQ(readFile(result.stdoutPath), "out1\nerr1\nout2\n");
    EXPECT_TRUE(fs::exists(result.stderrPath));
    EXPECT_EQ(fs::file_size(result.stderrPath), 0u);
}

TEST_F(ShellOutput, SeparateStreamsEchoWithPrefixesAndLogPlainLines)
{
    ShellConfig config;
    config.verbose = true;
    config.mergeStderr = false;
    std::string const command = "echo out1; echo err1 >&2; echo out2";
    Vandrel::Test::CapturedStderr captured;
    auto result = run(command, config);
    std::string const echoed = captured.text();
    EXPECT_EQ(echoed.rfind("/bin/bash\n" + command + "\n", 0), 0u) << echoed;
    EXPECT_THAT(echoed, HasSubstr(":out1\n"));
    EXPECT_THAT(echoed, HasSubstr("!err1\n"));
    EXPECT_LT(echoed.find(":out1\n"), echoed.find(":out2\n"));
    EXPECT_EQ(readFile(result.stdoutPath), "out1\nout2\n");
    EXPECT_EQ(readFile(result.stderrPath), "err1\n");
}

TEST_F(ShellOutput, QuietRunEchoesNothingAndLogsLastLineWithoutNewline)
{
    ShellConfig config;
    config.mergeStderr = false;
    Vandrel::Test::CapturedStderr captured;
    auto result = run("printf 'a\\nlast'; printf 'e' >&2", config);
    EXPECT_EQ(captured.text(), "");
    EXPECT_EQ(readFile(result.stdoutPath), "a\nlast\n");
    EXPECT_EQ(readFile(result.stderrPath), "e\n");
}

TEST_F(ShellOutput, DestroyingTheShellWaitsForTheRun)
{
    ShellConfig config;
    config.outputDir = (sandbox.root() / "logs").string();
    config.stdoutFile = "out.log";
    {
        Shell shell("sleep 0.3; echo done", config);
    }
    EXPECT_EQ(readFile(sandbox.root() / "logs" / "out.log"), "done\n");
}

TEST_F(ShellTimeLimit, TimeoutKillsAndReapsTheChild)
{
    ShellConfig config;
    config.timeout = 1s;
    config.stdoutFile = "out.log";
    fs::path const pidFile = sandbox.root() / "pid";
    auto const started = std::chrono::steady_clock::now();
    Shell shell(fmt::format("echo $$ > '{}'; printf 'l1\\nl2\\nl3\\n'; exec sleep 10", pidFile.string()),
                config);
    EXPECT_EQ(messageOf([&] { shell.result().get(); }), "Shell command timed out");
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_GE(shell.getElapsedTime(), 900ms);

    pid_t const pid = std::stoi(readFile(pidFile));
    EXPECT_EQ(kill(pid, 0), -1); // a zombie would still accept the probe
    EXPECT_EQ(errno, ESRCH);
    // Lines waiting in the read buffer reach the log before the kill.
    EXPECT_EQ(readFile(tmp / "out.log"), "l1\nl2\nl3\n");
}

TEST_F(ShellTimeLimit, DescendantHoldingThePipeKeepsTheRunGoing)
{
    auto result = run("(sleep 1; echo late) & echo early");
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(readFile(result.stdoutPath), "early\nlate\n");
    EXPECT_GE(result.endTime - result.startTime, 900ms);
}

TEST(ShellResultPrinting, ElapsedTimeUnitsFollowTheSize)
{
    auto print = [](int exitCode, std::chrono::nanoseconds elapsed) {
        ShellTimePoint const start{std::chrono::nanoseconds(1'700'000'000'000'000'000)};
        std::ostringstream out;
        out << ShellResult(exitCode, start, start + elapsed, "o", "e");
        return out.str();
    };
    EXPECT_EQ(print(0, 999'999ns), "[exitCode:0, elapsedTime: 999999 ns]\n");
    EXPECT_EQ(print(3, 1'500'000ns), "[exitCode:3, elapsedTime: 1 ms]\n");
    EXPECT_EQ(print(0, 2'500'000'000ns), "[exitCode:0, elapsedTime: 2 s]\n");
    EXPECT_EQ(print(255, 1'000'000'000ns), "[exitCode:255, elapsedTime: 1 s]\n");
}

TEST_F(ShellLogFiles, DefaultLogsGetRandomNamesInTmpdir)
{
    auto first = run("true");
    auto second = run("true");
    EXPECT_NE(first.stdoutPath, second.stdoutPath);
    EXPECT_NE(first.stderrPath, second.stderrPath);
    for (auto const& path : {first.stdoutPath, first.stderrPath, second.stdoutPath}) {
        EXPECT_EQ(fs::path(path).parent_path(), tmp);
        EXPECT_TRUE(fs::is_regular_file(path)) << path;
    }
    EXPECT_THAT(fs::path(first.stdoutPath).filename().string(), MatchesRegex("stdout-[0-9]{1,20}"));
    EXPECT_THAT(fs::path(first.stderrPath).filename().string(), MatchesRegex("stderr-[0-9]{1,20}"));
}

TEST_F(ShellLogFiles, ConfiguredDirectoryAndNamesAreUsed)
{
    ShellConfig config;
    config.outputDir = (sandbox.root() / "logs dir" / "nested").string();
    config.stdoutFile = "out.log";
    config.stderrFile = "err.log";
    config.mergeStderr = false;
    auto result = run("echo o; echo e >&2", config);
    EXPECT_EQ(result.stdoutPath, config.outputDir + "/out.log");
    EXPECT_EQ(result.stderrPath, config.outputDir + "/err.log");
    EXPECT_EQ(readFile(result.stdoutPath), "o\n");
    EXPECT_EQ(readFile(result.stderrPath), "e\n");
}

TEST_F(ShellLogFiles, UnopenableLogIsReportedWithItsPath)
{
    ShellConfig config;
    config.outputDir = sandbox.root().string();
    config.stdoutFile = "tmp"; // an existing directory
    EXPECT_EQ(messageOf([&] { Shell("true", config); }),
              "Failed to open stdout file: " + (sandbox.root() / "tmp").string());
    config.stdoutFile = "out.log";
    config.stderrFile = "tmp";
    EXPECT_EQ(messageOf([&] { Shell("true", config); }),
              "Failed to open stderr file: " + (sandbox.root() / "tmp").string());
}

TEST_F(ShellLogFiles, ParallelRunsKeepTheirOwnOutput)
{
    std::vector<std::thread> threads;
    std::vector<std::string> outputs(12);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = t; i < 12; i += 4)
                outputs[i] = readFile(run(fmt::format("echo run-{}", i)).stdoutPath);
        });
    }
    for (auto& thread : threads)
        thread.join();
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(outputs[i], fmt::format("run-{}\n", i));
}

TEST(ShellPipe, ClosesOnlyDescriptorsStillOwned)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    {
        Shell::Pipe pipe{FileDescriptor(fds[0]), FileDescriptor(fds[1])};
        pipe.readEnd.release(); // handed on
    }
    EXPECT_NE(fcntl(fds[0], F_GETFD), -1);
    EXPECT_EQ(fcntl(fds[1], F_GETFD), -1);
    close(fds[0]);
}

// Descriptors open in this process, by number.
std::vector<std::string> openDescriptors()
{
    std::vector<std::string> numbers;
    for (auto const& entry : fs::directory_iterator("/proc/self/fd"))
        numbers.push_back(entry.path().filename().string());
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

TEST_F(ShellLogFiles, RunsLeaveNoDescriptorOpen)
{
    std::vector<std::string> const before = openDescriptors();
    run("echo out; echo err >&2");
    ShellConfig separate;
    separate.mergeStderr = false;
    run("echo out; echo err >&2", separate);
    separate.commandViaStdin = false;
    run("exit 3", separate);
    EXPECT_THROW(run("sleep 5", ShellConfig{.timeout = std::chrono::milliseconds(50)}), std::runtime_error);
    // The directory listing itself holds one descriptor in both listings.
    EXPECT_EQ(openDescriptors(), before);
}
