// Real builds: the built vd-build runs as root in its own private mount
// namespace, prepares a build filesystem from a minimal template made from
// the host's programs, mounts its runtime filesystems, builds in a real
// chroot, packs under real fakeroot with real tar, installs into the build
// filesystem and deploys into a repository directory. Every test works below
// its own sandbox; the namespace takes every mount with it when vd-build
// ends, also when it crashes. Each built package costs the 5-second pause
// before packing, so the number of builds here is kept small.
#include "tests/support/Archive.hpp"
#include "tests/support/BuildSandbox.hpp"
#include "tests/support/HttpServer.hpp"
#include "tests/support/Paths.hpp"
#include "tests/support/Run.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace Vandrel::Test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

// A build script that fails unless the runtime filesystems are there, then
// runs the given lines.
std::string buildScript(std::string const& body)
{
    return "#!/bin/bash\nset -euo pipefail\n"
           "test -c /dev/null && test -r /proc/self/status && test -d /sys/kernel\n"
           "D=$VDPK_PACKAGE_BUILD_DIST_DIR\n" +
           body;
}

class VdBuildEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override
    {
        templateDir = sharedBuildTemplate();
        box.writeBuildConfig({}, templateDir.string());
    }
    void TearDown() override { EXPECT_FALSE(hasMountsBelow(box.root())); }

    RunResult vdBuild(std::vector<std::string> args, fs::path const& cwd)
    {
        args.insert(args.begin(), {"-c", box.configDir().string()});
        return runVdBuildIsolated(args, {.workDir = cwd});
    }
    // vdpk on the build filesystem's own database.
    RunResult buildFsVdpk(std::vector<std::string> args)
    {
        Sandbox tool;
        tool.writePkgConfig({}, BuildSandbox::buildFsDatabase());
        args.insert(args.begin(), {"-c", tool.configDir().string(), "--prefix", box.workDir().string()});
        return runVdpk(args);
    }
    fs::path deployed(std::string const& name, std::string const& version) const
    {
        return box.repo() / "core" / name / version / (name + "-" + version + "-x64.vdpk.tar.bz2");
    }

    BuildSandbox box;
    fs::path templateDir;
};

TEST_F(VdBuildEndToEnd, SinglePackageIsDeployedAndInstallsFromFileAndByName)
{
    fs::path const src = box.writePackageSource(
        "alpha", "1.0",
        buildScript(
            "mkdir -p \"$D/usr/share/alpha\" \"$D/usr/bin\"\n"
            "cp hello.txt \"$D/usr/share/alpha/\"\n"
            "printf '#!/bin/sh\\necho alpha\\n' > \"$D/usr/bin/alpha\"\nchmod 755 \"$D/usr/bin/alpha\"\n"));
    std::ofstream(src / "src" / "hello.txt") << "hello from the chroot\n";

    auto r = vdBuild({"--keep-dist"}, src);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err,
                HasSubstr("cmd: mkdir -p /pkg-build/dist/files && cd /pkg-build/build/src && ../build.sh\n"));
    ASSERT_TRUE(fs::is_regular_file(deployed("alpha", "1.0")));
    EXPECT_FALSE(fs::exists(src / "alpha-1.0-x64.vdpk.tar.bz2"));
    // --keep-dist: what was packed stays in the source directory.
    EXPECT_EQ(readFile(src / "dist" / "files" / "usr/share/alpha/hello.txt"), "hello from the chroot\n");
    EXPECT_TRUE(fs::exists(src / "dist" / "package.yml"));
    // Torn down: unmounted (the namespace is gone anyway) and cleaned.
    EXPECT_FALSE(fs::exists(box.workDir()));

    Sandbox fromFile;
    fromFile.writePkgConfig();
    r = runVdpk({"-c", fromFile.configDir().string(), "--prefix", fromFile.prefix().string(), "--install",
                 "--file", deployed("alpha", "1.0").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(fromFile.prefix() / "usr/share/alpha/hello.txt"), "hello from the chroot\n");
    EXPECT_TRUE((fs::status(fromFile.prefix() / "usr/bin/alpha").permissions() & fs::perms::owner_exec) !=
                fs::perms::none);

    HttpServer server(box.repo());
    Sandbox byName;
    byName.writePkgConfig(server.url());
    r = runVdpk(
        {"-c", byName.configDir().string(), "--prefix", byName.prefix().string(), "--install", "alpha"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(byName.prefix() / "usr/share/alpha/hello.txt"), "hello from the chroot\n");
}

TEST_F(VdBuildEndToEnd, DependencyIsBuiltAndInstalledIntoTheBuildFilesystemFirst)
{
    box.writePackageSource(
        "beta", "1.0", buildScript("mkdir -p \"$D/usr/lib\"\necho beta-lib > \"$D/usr/lib/libbeta.txt\"\n"));
    fs::path const alpha = box.writePackageSource(
        "alpha", "2.0",
        buildScript("grep -qx beta-lib /usr/lib/libbeta.txt || { echo 'beta is missing'; exit 1; }\n"
                    "mkdir -p \"$D/usr/share/alpha\"\necho uses-beta > \"$D/usr/share/alpha/note\"\n"),
        {"beta"});

    auto r = vdBuild({"--keep-build-fs"}, alpha);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::exists(deployed("beta", "1.0")));
    EXPECT_TRUE(fs::exists(deployed("alpha", "2.0")));
    EXPECT_EQ(readFile(box.workDir() / "usr/lib/libbeta.txt"), "beta-lib\n");
    EXPECT_EQ(readFile(box.workDir() / "usr/share/alpha/note"), "uses-beta\n");
    auto list = buildFsVdpk({"--list"});
    EXPECT_EQ(list.status, 0) << list.err;
    EXPECT_THAT(list.out, HasSubstr("alpha"));
    EXPECT_THAT(list.out, HasSubstr("beta"));
    // The dependency came first: its archive was installed before the dependent's.
    EXPECT_LT(r.err.find("Installing package \"" + (box.sources() / "os/core/beta").string()),
              r.err.find("Installing package \"" + alpha.string()));
}

TEST_F(VdBuildEndToEnd, FailingBuildScriptReportsTheBuildAndTearsDown)
{
    fs::path const src = box.writePackageSource("alpha", "1.0", buildScript("echo compiling\nexit 3\n"));
    auto r = vdBuild({}, src);
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("compiling\n"));
    EXPECT_THAT(r.err, HasSubstr("Build report [R2]: package build failed: alpha\n"));
    EXPECT_EQ(errorPart(r.err), "Error: Build failed\nUse --help for help.\n");
    EXPECT_FALSE(fs::exists(box.workDir()));
    EXPECT_FALSE(fs::exists(box.repo() / "core"));
}

// One source is installed at its version, two are outdated or missing. The
// sources root is relative, so the second build only finds its directory if
// the working directory was restored after the first.
TEST_F(VdBuildEndToEnd, BuildAllBuildsOnlyWhatTheBuildFilesystemLacks)
{
    auto prepared = runProgram("/bin/bash", {(shareDir() / "vd-build/bin/prepare-build-fs").string(),
                                             templateDir.string(), box.workDir().string()});
    ASSERT_EQ(prepared.status, 0) << prepared.err;
    for (auto const& [name, version] : {std::pair{"current", "1.0"}, {"outdated", "1.0"}}) {
        auto archive = makeArchive(box.root() / "archives", {.name = name, .version = version, .os = "core"});
        auto r = buildFsVdpk({"--install", "--file", archive.string()});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    for (auto const& [name, version] : {std::pair{"current", "1.0"}, {"outdated", "2.0"}, {"missing", "1.0"}})
        box.writePackageSource(name, version,
                               buildScript(std::string("mkdir -p \"$D/usr/share\"\necho ") + version +
                                           " > \"$D/usr/share/" + name + "\"\n"));
    box.writeBuildConfig({}, templateDir.string(), "sources");

    auto r = vdBuild({"--build-all", "--existing-build-fs"}, box.root());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("Build report [R1]: 2 package(s) will be built\nStart in 5 seconds\n"));
    EXPECT_FALSE(fs::exists(box.repo() / "core" / "current"));
    EXPECT_TRUE(fs::exists(deployed("outdated", "2.0")));
    EXPECT_TRUE(fs::exists(deployed("missing", "1.0")));
    EXPECT_EQ(readFile(box.workDir() / "usr/share/outdated"), "2.0\n");
    EXPECT_EQ(readFile(box.workDir() / "usr/share/missing"), "1.0\n");
}

// A package ships an absolute link; a later package installs below it. With
// the build filesystem as install root, the link must be read as the build
// filesystem's own path: the file lands inside it, never on the host. The
// link names a directory that the package also ships inside the build
// filesystem and that does not exist on the host: it lies below this test's
// sandbox, so a write that escapes shows up there and harms nothing.
TEST_F(VdBuildEndToEnd, AbsoluteLinkInTheBuildFilesystemKeepsLaterFilesInside)
{
    fs::path const hostSide = box.root() / "host-side" / "lib";
    box.writePackageSource("linker", "1.0",
                           buildScript("mkdir -p \"$D" + hostSide.string() + "\"\necho base > \"$D" +
                                       hostSide.string() + "/base.txt\"\nln -s " + hostSide.string() +
                                       " \"$D/libx64\"\n"));
    fs::path const user = box.writePackageSource(
        "user", "1.0", buildScript("mkdir -p \"$D/libx64\"\necho inside > \"$D/libx64/libuser.txt\"\n"),
        {"linker"});

    auto r = vdBuild({"--keep-build-fs"}, user);
    EXPECT_FALSE(fs::exists(box.root() / "host-side")) << "a package wrote onto the host through a link";
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_symlink(box.workDir() / "libx64"));
    EXPECT_EQ(readFile(box.workDir() / hostSide.relative_path() / "libuser.txt"), "inside\n");
}

} // namespace
} // namespace Vandrel::Test
