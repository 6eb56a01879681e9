#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace Vandrel::Test {

struct RunResult {
    int status = -1; // exit status, or 128 + signal number
    std::string out; // everything written to standard output
    std::string err; // everything written to standard error
};

struct RunOptions {
    // Written to the program's standard input, which is then closed. Without a
    // value standard input is /dev/null.
    std::optional<std::string> input;
    // Variables set (or, with no value, removed) in the program's environment.
    // VDPK_CONFIG is removed unless given here, so the host's setting never leaks in.
    std::map<std::string, std::optional<std::string>> env;
    // Working directory of the program; empty keeps the test's own.
    std::filesystem::path workDir;
};

// Runs a program with arguments (argv[0] is the program path) and waits for it.
RunResult runProgram(std::filesystem::path const& program, std::vector<std::string> const& args,
                     RunOptions const& options = {});

// Runs the built vdpk.
RunResult runVdpk(std::vector<std::string> const& args, RunOptions const& options = {});

// The two lines both programs print on standard error when a command fails.
std::string errorOutput(std::string const& message);
// The error lines at the end of a program's standard error, after whatever it
// echoed before them (all of it when there are none).
std::string errorPart(std::string const& err);

// The processes whose command line holds text, one "PID: COMMAND LINE" each.
std::vector<std::string> processesMentioning(std::string const& text);

// Runs a command line through /bin/sh -c and returns its result (test set-up only).
RunResult runShell(std::string const& command);

} // namespace Vandrel::Test
