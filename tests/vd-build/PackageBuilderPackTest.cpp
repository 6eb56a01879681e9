// The builder's copy out, pack and install steps on a real tree, with real
// fakeroot and tar, without the chroot.
#include "core/WorkingDirectoryGuard.hpp"
#include "tests/support/Errors.hpp"
#include "tests/support/Paths.hpp"
#include "tests/support/Run.hpp"
#include "tests/support/Sandbox.hpp"
#include "tests/support/ScopedEnv.hpp"
#include "vd-build/PackageBuilder.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace Vandrel::Test {
namespace {

namespace fs = std::filesystem;
using Linux::Package;
using Linux::PackageBuilder;
using ::testing::HasSubstr;

struct stat statusOf(fs::path const& path)
{
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status;
}

TEST(PackageBuilderPack, CopiesOutPacksAnOrdinaryBzip2ArchiveAndInstallsIt)
{
    Sandbox box;
    fs::path const workDir = box.root() / "wd";
    fs::path const sources = box.root() / "sources" / "tool";
    fs::create_directories(workDir / "tmp");
    box.writeFile("sources/tool/package.yml", "os: core\nname: tool\nversion: \"1.0\"\narch: x64\n");
    fs::path const built = box.writeFile("wd/pkg-build/dist/files/usr/bin/tool", "#!/bin/sh\necho tool\n");
    // A set-user-ID program of another owner: the copy out must keep both.
    ASSERT_EQ(::chown(built.c_str(), 1234, 1234), 0);
    ASSERT_EQ(::chmod(built.c_str(), 04755), 0);

    // An lbzip2 on PATH that leaves a mark, to see that tar compressed through it.
    RunResult const which = runShell("command -v lbzip2");
    ASSERT_EQ(which.status, 0) << "lbzip2 is not installed";
    std::string const lbzip2 = which.out.substr(0, which.out.find('\n'));
    fs::path const marker = box.root() / "lbzip2-ran";
    fs::path const wrapper = box.writeFile("bin/lbzip2", "#!/bin/sh\n: > '" + marker.string() + "'\nexec '" +
                                                             lbzip2 + "' \"$@\"\n");
    fs::permissions(wrapper, fs::perms(0755));
    std::string const path = (box.root() / "bin").string() + ":" + std::getenv("PATH");
    ScopedEnv const onPath("PATH", path);
    std::string const tmpdir = (box.root() / "host-tmp").string();
    ScopedEnv const hostTemp("TMPDIR", tmpdir);
    fs::create_directories(tmpdir);

    PackageBuilder builder({.shareDir = shareDir().string()},
                           {.workDir = workDir.string(),
                            .packageSources = (box.root() / "sources").string(),
                            .packageRepo = (box.root() / "repo").string(),
                            .pkgDatabasePath = "/var/lib/vdpk/packages.db"});
    builder.packDelay = std::chrono::milliseconds(0);
    Package const package{.os = "core", .name = "tool", .version = "1.0"};

    WorkingDirectoryGuard inSources(sources);
    Vandrel::Test::CapturedStderr captured;
    builder.createPackageFile(package);
    builder.installPackageIntoBuildFs(package);
    std::string const log = captured.text();
    inSources.restore();

    // The printed command is the plain one; PATH and TMPDIR are as before.
    EXPECT_THAT(log, HasSubstr("/usr/bin/fakeroot\ntar -cjf './tool-1.0-x64.vdpk.tar.bz2' -C 'dist' "
                               "./package.yml --exclude=./package.yml .\n"));
    EXPECT_TRUE(fs::exists(marker));
    EXPECT_EQ(std::getenv("PATH"), path);
    EXPECT_EQ(std::getenv("TMPDIR"), tmpdir);

    struct stat const copied = statusOf(sources / "dist/files/usr/bin/tool");
    EXPECT_EQ(copied.st_mode & 07777, 04755u);
    EXPECT_EQ(copied.st_uid, 1234u);
    EXPECT_EQ(copied.st_gid, 1234u);

    // Plain bzip2 and tar read the archive.
    fs::path const archive = sources / "tool-1.0-x64.vdpk.tar.bz2";
    EXPECT_EQ(runShell("bzip2 -t '" + archive.string() + "'").status, 0);
    RunResult const listing = runShell("tar -tjf '" + archive.string() + "' | sort");
    EXPECT_THAT(listing.out, HasSubstr("./files/usr/bin/tool\n"));
    EXPECT_THAT(listing.out, HasSubstr("./package.yml\n"));
    // The manifest is the first member and is stored once; the rest follow
    // as a plain walk of the tree stores them.
    RunResult const members = runShell("tar -tjf '" + archive.string() + "'");
    EXPECT_EQ(members.out,
              "./package.yml\n./\n./files/\n./files/usr/\n./files/usr/bin/\n./files/usr/bin/tool\n");

    // Unpacked in the build filesystem's own temporary directory, so the
    // files are moved into place there; nothing is left in it.
    EXPECT_THAT(log, HasSubstr("tmp dir: \"" + (workDir / "tmp").string() + "/vdpk-"));
    EXPECT_EQ(readFile(workDir / "usr/bin/tool"), "#!/bin/sh\necho tool\n");
    EXPECT_EQ(statusOf(workDir / "usr/bin/tool").st_mode & 07777, 04755u);
    for (auto const& entry : fs::directory_iterator(workDir / "tmp"))
        EXPECT_THAT(entry.path().filename().string(), ::testing::Not(::testing::StartsWith("vdpk-")));
}

TEST(PackageBuilderPack, CopyRefusesAFifoWithoutWaitingOnIt)
{
    Sandbox box;
    fs::path const from = box.root() / "src";
    fs::create_directories(from / "a");
    ASSERT_EQ(::mkfifo((from / "a" / "pipe").c_str(), 0644), 0);
    try {
        PackageBuilder::copyFiles(from, box.root() / "out");
        FAIL() << "copied a FIFO";
    } catch (Linux::CopyFilesError const& e) {
        EXPECT_EQ(e.file, from / "a" / "pipe");
        EXPECT_THAT(std::string(e.what()), HasSubstr("\nreason: "));
    }
    EXPECT_TRUE(fs::is_directory(box.root() / "out" / "a"));
    EXPECT_FALSE(fs::exists(box.root() / "out" / "a" / "pipe"));
}

} // namespace
} // namespace Vandrel::Test
