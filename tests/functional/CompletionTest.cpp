// The bash completion: sourced into a real bash, the completion functions are
// called the way bash calls them (COMP_WORDS and COMP_CWORD set) and their
// COMPREPLY is read back.
#include "tests/support/Archive.hpp"
#include "tests/support/Paths.hpp"
#include "tests/support/Run.hpp"
#include "tests/support/Sandbox.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace Vandrel::Test {
namespace {

namespace fs = std::filesystem;

// The candidates the completion of `program` offers for the command line
// `words`, completing its last word; one a line, in the order offered.
std::string complete(std::string const& program, std::vector<std::string> const& words,
                     fs::path const& workDir = {})
{
    std::string const script =
        "source \"$1\" || exit 99\n"
        "shift\n"
        "COMP_WORDS=(\"$@\")\n"
        "COMP_CWORD=$(($# - 1))\n"
        "\"$(complete -p \"$(basename \"$1\")\" | sed -E 's/.*-F ([^ ]+) .*/\\1/')\" || exit 98\n"
        "printf '%s\\n' \"${COMPREPLY[@]}\"\n";
    std::vector<std::string> args = {"-c", script, "completion-test",
                                     (sourceDir() / "completion" / program).string()};
    args.insert(args.end(), words.begin(), words.end());
    RunResult const r = runProgram("/bin/bash", args, {.workDir = workDir});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    return r.out == "\n" ? std::string() : r.out;
}

TEST(VdpkCompletion, CompletesLongOptions)
{
    EXPECT_EQ(complete("vdpk", {"vdpk", "--ins"}), "--install\n");
    EXPECT_EQ(complete("vdpk", {"vdpk", "-c", "/etc", "--un"}), "--uninstall\n");
    EXPECT_EQ(complete("vdpk", {"vdpk", "--i"}), "--install\n--init-database\n--info\n");
    EXPECT_EQ(complete("vdpk", {"vdpk", "--o"}), "--owner\n--orphans\n");
    EXPECT_EQ(complete("vdpk", {"vdpk", "--ver"}), "--verify\n");
    EXPECT_EQ(complete("vdpk", {"vdpk", "--nothing-like-this"}), "");
}

TEST(VdpkCompletion, CompletesDirectoriesAfterConfigAndArchivesAfterFile)
{
    Sandbox sandbox;
    sandbox.writeFile("confdir/pkg.yml", "");
    sandbox.writeFile("hello-1.0-x64.vdpk.tar.bz2", "");
    sandbox.writeFile("hello.txt", "");
    EXPECT_EQ(complete("vdpk", {"vdpk", "--config", "con"}, sandbox.root()), "confdir\n");
    EXPECT_EQ(complete("vdpk", {"vdpk", "-i", "--file", "hel"}, sandbox.root()),
              "hello-1.0-x64.vdpk.tar.bz2\n");
}

TEST(VdpkCompletion, CompletesInstalledPackageNamesAfterUninstall)
{
    Sandbox sandbox;
    sandbox.writePkgConfig();
    fs::path const archives = sandbox.root() / "archives";
    for (char const* name : {"greet", "greet-data", "libgreet"}) {
        RunResult const r = runVdpk({"-c", sandbox.configDir().string(), "-r", sandbox.prefix().string(),
                                     "-i", "-f", makeArchive(archives, {.name = name}).string()});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    // The installed names come from the database that --config and --prefix select.
    std::string const vdpk = programPath("vdpk").string();
    std::string const config = sandbox.configDir().string();
    std::string const prefix = sandbox.prefix().string();
    EXPECT_EQ(complete("vdpk", {vdpk, "-c", config, "-r", prefix, "--uninstall", "gr"}),
              "greet\ngreet-data\n");
    EXPECT_EQ(complete("vdpk", {vdpk, "--config", config, "--prefix", prefix, "-D", ""}),
              "greet\ngreet-data\nlibgreet\n");
    for (char const* query : {"--files", "--info", "--verify"})
        EXPECT_EQ(complete("vdpk", {vdpk, "-c", config, "-r", prefix, query, "lib"}), "libgreet\n") << query;
    // Another prefix has nothing installed, and a missing configuration gives nothing either.
    EXPECT_EQ(complete("vdpk", {vdpk, "-c", config, "-r", (sandbox.root() / "empty").string(), "-D", ""}),
              "");
    EXPECT_EQ(complete("vdpk", {vdpk, "-c", (sandbox.root() / "none").string(), "-D", ""}), "");
}

TEST(VdBuildCompletion, CompletesItsOptionsOnly)
{
    EXPECT_EQ(complete("vd-build", {"vd-build", "--bu"}), "--build-all\n");
    EXPECT_EQ(complete("vd-build", {"vd-build", "--keep-"}), "--keep-build-fs\n--keep-dist\n");
    EXPECT_EQ(complete("vd-build", {"vd-build", "--mo"}), "--mount-build-fs\n");
    // No vdpk option leaks into vd-build.
    EXPECT_EQ(complete("vd-build", {"vd-build", "--ins"}), "");
}

} // namespace
} // namespace Vandrel::Test
