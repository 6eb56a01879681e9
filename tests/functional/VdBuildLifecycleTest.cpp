// The lifecycle of the build filesystem around a build run, observed through
// stand-in build filesystem commands that record which of them ran, with
// which arguments and in what order.
#include "tests/support/Archive.hpp"
#include "tests/support/BuildSandbox.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace Vandrel::Test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

class VdBuildLifecycle : public ::testing::Test {
  protected:
    void SetUp() override
    {
        box.writeStandInShare();
        box.writeBuildConfig();
        fs::create_directories(noPackageDir);
    }
    // Runs in a directory without package.yml unless told otherwise, so a
    // single build fails in the manifest loader after prepare and mount.
    RunResult vdBuild(std::vector<std::string> args, RunOptions options = {})
    {
        args.insert(args.begin(), {"-c", box.configDir().string()});
        if (options.workDir.empty())
            options.workDir = noPackageDir;
        return runVdBuild(args, options);
    }
    std::string prepare() const { return "prepare-build-fs|" + box.templateDir().string() + "|" + wd(); }
    std::string mount() const { return "mount-build-chroot|" + wd(); }
    std::string umount() const { return "umount-build-chroot|" + wd(); }
    std::string clean() const { return "clean-build-fs|" + wd(); }
    std::string wd() const { return box.workDir().string(); }

    BuildSandbox box;
    fs::path noPackageDir = box.root() / "empty";
};

TEST_F(VdBuildLifecycle, WithoutOptionsPreparesMountsThenUnmountsAndCleans)
{
    for (auto const& extra : {"--build-all", "--keep-dist"}) {
        fs::remove(box.standInLog());
        auto r = vdBuild({"--build-all", extra});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_THAT(r.err, HasSubstr("Build report [R1]: 0 package(s) will be built\n"));
        EXPECT_THAT(r.err, Not(HasSubstr("Start in 5 seconds")));
        EXPECT_THAT(box.standInCalls(), ElementsAre(prepare(), mount(), umount(), clean()));
    }
}

TEST_F(VdBuildLifecycle, KeepBuildFsPreparesButLeavesItMounted)
{
    auto r = vdBuild({"--build-all", "--keep-build-fs"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(box.standInCalls(), ElementsAre(prepare(), mount()));
}

TEST_F(VdBuildLifecycle, ExistingBuildFsOnlyMountsWithOrWithoutKeep)
{
    auto r = vdBuild({"--build-all", "--existing-build-fs"});
    EXPECT_EQ(r.status, 0) << r.err;
    r = vdBuild({"--existing-build-fs", "--keep-build-fs"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(box.standInCalls(), ElementsAre(mount(), mount()));
}

TEST_F(VdBuildLifecycle, FailedSingleBuildIsTornDownAndReportsItsOwnError)
{
    auto r = vdBuild({});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("Error: "));
    EXPECT_THAT(r.err, HasSubstr("package.yml"));
    EXPECT_THAT(r.err, HasSubstr("\nUse --help for help.\n"));
    EXPECT_THAT(box.standInCalls(), ElementsAre(prepare(), mount(), umount(), clean()));
}

TEST_F(VdBuildLifecycle, TeardownFailureReplacesTheBuildError)
{
    auto r = vdBuild({}, {.env = {{"STANDIN_EXIT_clean_build_fs", "3"}}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(errorPart(r.err), errorOutput("clean-build-fs failed with exit code 3"));
    EXPECT_THAT(box.standInCalls(), ElementsAre(prepare(), mount(), umount(), clean()));

    fs::remove(box.standInLog());
    r = vdBuild({}, {.env = {{"STANDIN_EXIT_umount_build_chroot", "4"}}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(errorPart(r.err), errorOutput("umount-build-chroot failed with exit code 4"));
    // Nothing is deleted while the runtime filesystems may still be mounted.
    EXPECT_THAT(box.standInCalls(), ElementsAre(prepare(), mount(), umount()));
}

TEST_F(VdBuildLifecycle, TeardownFailureAfterSuccessFailsTheRun)
{
    auto r = vdBuild({"--build-all"}, {.env = {{"STANDIN_EXIT_clean_build_fs", "5"}}});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr(errorOutput("clean-build-fs failed with exit code 5")));
}

TEST_F(VdBuildLifecycle, PrepareOrMountFailureStopsWithoutTeardown)
{
    auto r = vdBuild({"--build-all"}, {.env = {{"STANDIN_EXIT_prepare_build_fs", "2"}}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(errorPart(r.err), errorOutput("prepare-build-fs failed with exit code 2"));
    EXPECT_THAT(box.standInCalls(), ElementsAre(prepare()));

    fs::remove(box.standInLog());
    r = vdBuild({"--build-all"}, {.env = {{"STANDIN_EXIT_mount_build_chroot", "6"}}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(errorPart(r.err), errorOutput("mount-build-chroot failed with exit code 6"));
    EXPECT_THAT(box.standInCalls(), ElementsAre(prepare(), mount()));
}

TEST_F(VdBuildLifecycle, MissingOrWrongSourcesRootIsTornDown)
{
    fs::remove_all(box.sources());
    auto r = vdBuild({"--build-all"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(errorPart(r.err),
              errorOutput("Package sources directory does not exist: '" + box.sources().string() + "'"));
    EXPECT_THAT(box.standInCalls(), ElementsAre(prepare(), mount(), umount(), clean()));

    std::ofstream(box.sources()) << "a file\n";
    r = vdBuild({"--build-all", "--keep-build-fs"});
    EXPECT_EQ(errorPart(r.err),
              errorOutput("Package sources path is not a directory: '" + box.sources().string() + "'"));
}

TEST_F(VdBuildLifecycle, MalformedManifestStopsBuildAllBeforeAnyBuild)
{
    box.writePackageSource("good", "1.0", "#!/bin/bash\n");
    fs::create_directories(box.sources() / "broken");
    std::ofstream(box.sources() / "broken" / "package.yml") << "name: [unclosed\n";
    auto r = vdBuild({"--build-all"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, Not(HasSubstr("Build report")));
    EXPECT_THAT(box.standInCalls(), ElementsAre(prepare(), mount(), umount(), clean()));
}

// Installed: same 1.0, newer 3.0 than the source's 2.0, older 1.0 than the
// source's 2.0. Only the outdated one is built, and its failed build (there
// is no real build filesystem here) ends the run with the report line.
TEST_F(VdBuildLifecycle, BuildAllSkipsSourcesInstalledAtTheSameOrANewerVersion)
{
    box.writePkgConfig({}, BuildSandbox::buildFsDatabase(), (box.root() / "share").string());
    for (auto const& [name, version] : {std::pair{"same", "1.0"}, {"newer", "3.0"}, {"older", "1.0"}}) {
        auto archive = makeArchive(box.root() / "archives", {.name = name, .version = version, .os = "core"});
        auto r = runVdpk(
            {"-c", box.configDir().string(), "--prefix", wd(), "--install", "--file", archive.string()});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    box.writePackageSource("same", "1.0", "#!/bin/bash\n");
    box.writePackageSource("newer", "2.0", "#!/bin/bash\n");
    box.writePackageSource("older", "2.0", "#!/bin/bash\n");

    auto r = vdBuild({"--build-all"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("Build report [R1]: 1 package(s) will be built\nStart in 5 seconds\n"));
    EXPECT_THAT(r.err, HasSubstr("Build report [R2]: package build failed: older\n"));
    EXPECT_EQ(errorPart(r.err), errorOutput("Build failed"));
    EXPECT_THAT(box.standInCalls(), ElementsAre(prepare(), mount(), umount(), clean()));
}

} // namespace
} // namespace Vandrel::Test
