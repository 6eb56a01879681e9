// Runs the built vd-build as a user would: usage text, option forms, the
// configuration directory, the order of the actions, the run lock and the
// refusal of dangerous work directories. The build filesystem commands are
// stand-ins that only record how they were called.
#include "core/FileLock.hpp"
#include "tests/support/BuildSandbox.hpp"
#include "tests/support/DangerousPaths.hpp"
#include "tests/support/Paths.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace Vandrel::Test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// The one copy of the usage text, which the program embeds at build time.
std::string const usage = readFile(sourceDir() / "vd-build/usage.txt");

TEST(VdBuildHelp, PrintsTheExactUsageTextOnStandardOutput)
{
    auto r = runVdBuild({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, usage);
    EXPECT_EQ(r.err, "");
}

TEST(VdBuildIndexRepository, NeedsOnlyTheRepositoryFromBuildYmlAndFailsForAMissingOne)
{
    Sandbox box;
    box.writeFile("etc/build.yml", "buildFs:\n  packageRepo: \"" + (box.root() / "none").string() + "\"\n");
    RunResult const missing = runVdBuild({"--index-repository", "-c", box.configDir().string()});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err,
              errorOutput("Package repository '" + (box.root() / "none").string() + "' does not exist"));

    fs::create_directories(box.root() / "none");
    RunResult const empty = runVdBuild({"--index-repository", "-c", box.configDir().string()});
    ASSERT_EQ(empty.status, 0) << empty.err;
    EXPECT_EQ(empty.err, "Indexed 0 package(s) in '" + (box.root() / "none").string() + "'\n");
    EXPECT_THAT(readFile(box.root() / "none" / "index.yml"), ::testing::EndsWith("\npackages: []\n"));
}

TEST(VdBuildHelp, WinsOverEveryOtherOptionWithoutReadingTheConfiguration)
{
    auto r = runVdBuild({"--build-all", "--mount-build-fs", "--help", "--config", "/nonexistent/dir"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, usage);
    r = runVdBuild({"--config", "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, usage);
}

class VdBuildOptions : public ::testing::Test {
  protected:
    BuildSandbox box;
};

TEST_F(VdBuildOptions, ConfigWithoutValueFailsWithE1)
{
    for (auto const& args : std::vector<std::vector<std::string>>{
             {"--config"}, {"-c"}, {"--config", "--build-all"}, {"--mount-build-fs", "-c"}}) {
        auto r = runVdBuild(args);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, errorOutput("E1: option '--config' requires a value")) << args[0];
    }
}

TEST_F(VdBuildOptions, ConfigurationDirectoryComesFromOptionThenEnvironmentThenDefault)
{
    auto fails = [](RunResult const& r, std::string const& dir) {
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, errorOutput("bad file: " + dir + "/pkg.yml"));
    };
    fails(runVdBuild({"--config=/x1"}), "/x1");
    fails(runVdBuild({"--config", "/x2"}), "/x2");
    fails(runVdBuild({"-c", "/x3"}), "/x3");
    fails(runVdBuild({"-c", "/short", "--config", "/long"}), "/long");
    fails(runVdBuild({}, {.env = {{"VDPK_CONFIG", "/from-env"}}}), "/from-env");
    fails(runVdBuild({"-c", "/x4"}, {.env = {{"VDPK_CONFIG", "/from-env"}}}), "/x4");
    fails(runVdBuild({}, {.env = {{"VDPK_CONFIG", ""}}, .workDir = box.root()}), "config");
    fails(runVdBuild({"positional"}, {.workDir = box.root()}), "config");
}

TEST_F(VdBuildOptions, MissingBuildConfigurationIsReportedAfterTheToolConfiguration)
{
    auto r = runVdBuild({"-c", box.configDir().string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, errorOutput("bad file: " + box.configDir().string() + "/build.yml"));

    std::ofstream(box.configDir() / "build.yml") << "workDir: /x\n";
    r = runVdBuild({"-c", box.configDir().string()});
    EXPECT_EQ(r.err, errorOutput("Missing required section 'buildFs' in " + box.configDir().string() +
                                 "/build.yml"));
}

class VdBuildDispatch : public ::testing::Test {
  protected:
    void SetUp() override
    {
        box.writeStandInShare();
        box.writeBuildConfig();
    }
    RunResult vdBuild(std::vector<std::string> args, RunOptions options = {})
    {
        args.insert(args.begin(), {"-c", box.configDir().string()});
        return runVdBuild(args, options);
    }
    std::string wd() const { return box.workDir().string(); }

    BuildSandbox box;
};

TEST_F(VdBuildDispatch, MountRunsOnlyTheMountCommandWithTheRootAsItsOneArgument)
{
    auto r = vdBuild({"--mount-build-fs", "--unmount-build-fs", "--build-all"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(box.standInCalls(), ElementsAre("mount-build-chroot|" + wd()));
}

TEST_F(VdBuildDispatch, UnmountWinsOverBuildAll)
{
    auto r = vdBuild({"--build-all", "--unmount-build-fs"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(box.standInCalls(), ElementsAre("umount-build-chroot|" + wd()));
}

TEST_F(VdBuildDispatch, FailingMountCommandReportsItsExitCode)
{
    auto r = vdBuild({"--mount-build-fs"}, {.env = {{"STANDIN_EXIT_mount_build_chroot", "7"}}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, errorOutput("mount-build-chroot failed with exit code 7"));
    r = vdBuild({"--unmount-build-fs"}, {.env = {{"STANDIN_EXIT_umount_build_chroot", "9"}}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, errorOutput("umount-build-chroot failed with exit code 9"));
}

TEST_F(VdBuildDispatch, HostilePathsReachTheCommandsAsSingleWords)
{
    std::string const odd = (box.root() / "w d;$(touch pwned)'x").string();
    std::string const oddTemplate = (box.root() / "t  'pl").string();
    box.writeBuildConfig(odd, oddTemplate);
    auto r = vdBuild({"--unmount-build-fs"});
    EXPECT_EQ(r.status, 0) << r.err;
    r = vdBuild({"--build-all", "--keep-build-fs"}, {.workDir = box.root()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, errorOutput("Build filesystem root must not contain whitespace: '" + odd + "'"));
    EXPECT_THAT(box.standInCalls(), ElementsAre("umount-build-chroot|" + odd));
    EXPECT_FALSE(fs::exists(box.root() / "pwned"));
}

TEST_F(VdBuildDispatch, SecondRunOnTheSameBuildFilesystemFailsAtOnceAndChangesNothing)
{
    std::string const lockPath = wd() + ".lock";
    {
        FileLock held = FileLock::tryAcquire(lockPath);
        ASSERT_TRUE(held);
        for (auto const& action : {"--mount-build-fs", "--unmount-build-fs", "--build-all"}) {
            auto r = vdBuild({action});
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, errorOutput("Another vd-build run is using the build filesystem '" + wd() +
                                         "' (lock file '" + lockPath + "')"));
        }
        EXPECT_THAT(box.standInCalls(), IsEmpty());
        EXPECT_FALSE(fs::exists(wd()));
    }
    // The lock is the kernel's: gone with its holder, no stale file to remove.
    auto r = vdBuild({"--unmount-build-fs"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(box.standInCalls(), ElementsAre("umount-build-chroot|" + wd()));
}

TEST_F(VdBuildDispatch, DangerousWorkDirectoriesAreRefusedBeforeAnyCommandRuns)
{
    for (auto const& spelling : dangerousSpellings(box.root())) {
        box.writeBuildConfig(spelling.given.empty() ? " " : spelling.given);
        for (auto const& action : {"--mount-build-fs", "--unmount-build-fs", "--build-all"}) {
            auto r = vdBuild({action, "--existing-build-fs"});
            EXPECT_EQ(r.status, 1) << "'" << spelling.given << "'";
            EXPECT_EQ(r.err, errorOutput("Refusing to operate on dangerous path: '" + spelling.shown + "'"))
                << "'" << spelling.given << "'";
        }
    }
    EXPECT_THAT(box.standInCalls(), IsEmpty());
}

} // namespace
} // namespace Vandrel::Test
