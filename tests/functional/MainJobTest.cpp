// The main job, scripts/demo.sh, run whole as a user runs it: a build
// template with a C compiler, the example sources built by vd-build in a real
// chroot, the repository served over HTTP, greet installed by name, run,
// listed and removed again. The programs come from this build tree
// (DEMO_BIN_DIR) and everything lands in a scratch directory (DEMO_DIR). The
// script runs in a private mount namespace of its own, in which the test
// looks for leftover mounts afterwards; leftover processes are looked for
// across the machine by the scratch directory's path in their command lines.
#include "tests/support/MountNamespace.hpp"
#include "tests/support/Paths.hpp"
#include "tests/support/Run.hpp"
#include "tests/support/Sandbox.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace Vandrel::Test {
namespace {

namespace fs = std::filesystem;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

// Ends the demo, its output written to $2, with the status it exited with, then
// the mount points at or below the demo directory $1 that remain in this
// namespace, one "mounted: PATH" line each.
char const* const reportTail = R"(
echo "status=$status"
awk -v d="$1" '$5 == d || index($5, d "/") == 1 { print "mounted: " $5 }' /proc/self/mountinfo
)";

// Runs the demo to its end.
char const* const wholeRun = R"(set -u
bash "$3/scripts/demo.sh" >"$2" 2>&1
status=$?
)";

// Starts the demo as a job of its own (job control on, so that it does not
// ignore SIGINT as a plain background command would), waits until the
// build is running in the chroot and interrupts it as Ctrl-C would.
char const* const interruptedRun = R"(set -um
bash "$3/scripts/demo.sh" >"$2" 2>&1 &
pid=$!
for ((i = 0; i < 1500; i++)); do
  grep -q '^cmd: mkdir -p /pkg-build/dist/files' "$2" && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
kill -INT "$pid"
wait "$pid"
status=$?
)";

struct DemoRun {
    int status = -1;
    std::vector<std::string> mounts; // left below the demo directory
    std::string log;                 // everything demo.sh wrote
};

DemoRun runDemo(char const* body, fs::path const& demoDir, fs::path const& log)
{
    auto const r = runProgram("/usr/bin/timeout",
                              {"--kill-after=5", "200", "unshare", "--mount", "--propagation", "private",
                               "bash", "-c", std::string(body) + reportTail, "bash", demoDir.string(),
                               log.string(), sourceDir().string()},
                              {.env = {{"DEMO_DIR", demoDir.string()}, {"DEMO_BIN_DIR", binDir().string()}}});
    DemoRun run;
    run.log = readFile(log);
    std::smatch match;
    if (std::regex_search(r.out, match, std::regex("status=([0-9]+)")))
        run.status = std::stoi(match[1]);
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with("mounted: "))
            run.mounts.push_back(line.substr(9));
    EXPECT_EQ(r.status, 0) << "the test's wrapper failed or timed out: " << r.err;
    return run;
}

// Processes anywhere on the machine whose command line mentions text.
std::string listArchive(fs::path const& archive)
{
    return runProgram("/bin/tar", {"-tjf", archive.string()}).out;
}

class MainJob : public ::testing::Test {
  protected:
    MountScratchDir scratch;
    fs::path demo = scratch.path() / "demo";
    fs::path log = scratch.path() / "demo.log";
};

TEST_F(MainJob, WholeCycleBuildsServesInstallsRemovesAndLeavesNothingBehind)
{
    auto const run = runDemo(wholeRun, demo, log);
    ASSERT_EQ(run.status, 0) << run.log;

    // Built in the chroot: the library checked itself, the program ran there
    // against the installed library and data.
    EXPECT_THAT(run.log, HasSubstr("Build report [R1]: 3 package(s) will be built\n"));
    EXPECT_THAT(run.log, HasSubstr("generated 7 greetings\n"));
    EXPECT_THAT(run.log, HasSubstr("libgreet 2.0.1: all checks passed\n"));
    EXPECT_THAT(run.log, HasSubstr("English     Hello, build!\n"));
    // Deployed by OS directory, each archive with its manifest and files.
    fs::path const repo = demo / "repo";
    EXPECT_THAT(listArchive(repo / "core/greet-data/1.2/greet-data-1.2-x64.vdpk.tar.bz2"),
                HasSubstr("./files/usr/share/greet/greetings.tsv\n"));
    EXPECT_THAT(listArchive(repo / "core/libgreet/2.0.1/libgreet-2.0.1-x64.vdpk.tar.bz2"),
                HasSubstr("./files/usr/lib/libgreet.so.2.0.1\n"));
    std::string const greetArchive = listArchive(repo / "extra/greet/0.9.3/greet-0.9.3-x64.vdpk.tar.bz2");
    EXPECT_THAT(greetArchive, HasSubstr("./package.yml\n"));
    EXPECT_THAT(greetArchive, HasSubstr("./files/usr/bin/greet\n"));
    // vd-build tore its build filesystem down.
    EXPECT_FALSE(fs::exists(demo / "buildfs"));

    // Installed by name over HTTP with the prompt answered, run from the
    // prefix on the host.
    EXPECT_THAT(run.log, HasSubstr("This package requires 2 packages: greet-data, libgreet\n"));
    EXPECT_THAT(run.log, HasSubstr("English     Hello, vdpk!\nFinnish     Hei, vdpk!\n"));
    EXPECT_THAT(run.log, HasSubstr("(7 greetings, libgreet 2.0.1)\n"));
    EXPECT_THAT(run.log, HasSubstr("--list\ngreet\ngreet-data\nlibgreet\n"));
    // Removing libgreet took greet with it; the data stays.
    EXPECT_THAT(run.log, HasSubstr("This package is required by 1 packages: greet\n"));
    EXPECT_THAT(run.log, HasSubstr("--list\ngreet-data\n\n== Summary\n"));
    EXPECT_FALSE(fs::exists(demo / "root/usr/bin/greet"));
    EXPECT_FALSE(fs::exists(demo / "root/usr/lib/libgreet.so.2"));
    EXPECT_TRUE(fs::exists(demo / "root/usr/share/greet/greetings.tsv"));

    // The summary names the archives with their sizes and times every step.
    EXPECT_THAT(run.log,
                ContainsRegex("  core/greet-data/1.2 +greet-data-1.2-x64.vdpk.tar.bz2 +[1-9][0-9]* bytes\n"));
    EXPECT_THAT(run.log,
                ContainsRegex("  core/libgreet/2.0.1 +libgreet-2.0.1-x64.vdpk.tar.bz2 +[1-9][0-9]* bytes\n"));
    EXPECT_THAT(run.log,
                ContainsRegex("  extra/greet/0.9.3 +greet-0.9.3-x64.vdpk.tar.bz2 +[1-9][0-9]* bytes\n"));
    EXPECT_THAT(run.log, ContainsRegex("  build the packages \\(chroot\\) +[0-9]+\\.[0-9] s\n"));
    EXPECT_THAT(run.log, ContainsRegex("  total +[0-9]+\\.[0-9] s\n"));
    EXPECT_THAT(run.log, Not(HasSubstr("build vdpk and vd-build"))) << "DEMO_BIN_DIR skips the build";

    EXPECT_THAT(run.mounts, IsEmpty());
    EXPECT_THAT(processesMentioning(demo.string()), IsEmpty());
}

TEST_F(MainJob, InterruptDuringTheBuildStopsEverythingAndUnmounts)
{
    auto const run = runDemo(interruptedRun, demo, log);
    EXPECT_EQ(run.status, 130) << run.log;
    EXPECT_THAT(run.log, HasSubstr("Build report [R1]: 3 package(s) will be built\n"));
    EXPECT_THAT(run.log, HasSubstr("demo.sh: interrupted\n"));
    EXPECT_THAT(run.log,
                HasSubstr("demo.sh: stopped during step 'build the packages (chroot)' (status 130)"));
    EXPECT_THAT(run.log, Not(HasSubstr("== Summary")));
    EXPECT_THAT(run.mounts, IsEmpty());
    EXPECT_THAT(processesMentioning(demo.string()), IsEmpty());
}

TEST_F(MainJob, RefusesToEmptyADirectoryItDidNotMake)
{
    fs::create_directories(demo);
    std::ofstream(demo / "precious.txt") << "keep me\n";
    auto const run = runDemo(wholeRun, demo, log);
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.log, HasSubstr("demo.sh: refusing to empty " + demo.string() +
                                   ": it was not made by demo.sh (no .vdpk-demo in it)\n"));
    EXPECT_EQ(readFile(demo / "precious.txt"), "keep me\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(demo), fs::directory_iterator()), 1);
}

} // namespace
} // namespace Vandrel::Test
