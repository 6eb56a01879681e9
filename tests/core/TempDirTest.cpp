#include "core/TempDir.hpp"

#include "tests/support/Sandbox.hpp"
#include "tests/support/ScopedEnv.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <iterator>
#include <sys/wait.h>
#include <unistd.h>

using namespace Vandrel;
using namespace Vandrel::Test;
namespace fs = std::filesystem;
using testing::MatchesRegex;

namespace {

class TempDirTest : public testing::Test {
  protected:
    Sandbox sandbox;
    SandboxTmpDir tmpdir{sandbox};
    fs::path tmp = tmpdir.path();
};

class TempDirRemoval : public TempDirTest {};

// Runs body in a child process that cannot override permissions (root drops to
// nobody) and returns its exit status.
int runUnprivileged(fs::path const& writableDir, std::function<int()> const& body)
{
    if (geteuid() == 0) {
        fs::permissions(writableDir.parent_path(), fs::perms::others_exec, fs::perm_options::add);
        if (chown(writableDir.c_str(), 65534, 65534) != 0)
            return -2;
    }
    pid_t const pid = fork();
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(99);
        _exit(body());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST_F(TempDirTest, NameIsPrefixAndTenCharactersInTmpdir)
{
    TempDir first("vdpk-");
    TempDir second("vdpk-");
    EXPECT_NE(first.path(), second.path());
    for (auto const* dir : {&first, &second}) {
        EXPECT_EQ(dir->path().parent_path(), tmp);
        EXPECT_THAT(dir->path().filename().string(), MatchesRegex("vdpk-[a-z0-9]{10}"));
        EXPECT_TRUE(fs::is_directory(dir->path()));
        EXPECT_TRUE(fs::is_empty(dir->path()));
    }
}

TEST_F(TempDirTest, MissingTmpdirIsAFileSystemError)
{
    ScopedEnv missing{"TMPDIR", (tmp / "missing").string()};
    EXPECT_THROW(TempDir("vdpk-"), fs::filesystem_error);
    EXPECT_FALSE(fs::exists(tmp / "missing"));
}

TEST_F(TempDirRemoval, ContentsGoButSymlinkTargetsStay)
{
    fs::path const outside = sandbox.writeFile("outside/keep.txt", "keep");
    fs::path path;
    {
        TempDir dir("vdpk-cli-");
        path = dir.path();
        fs::create_directories(path / "a b" / "c");
        std::ofstream(path / "a b" / "c" / "f'x $y") << "data";
        fs::create_directory_symlink(outside.parent_path(), path / "link");
    }
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(fs::exists(outside));
}

TEST_F(TempDirRemoval, DirectoryAlreadyRemovedByOthersIsNoError)
{
    fs::path path;
    {
        TempDir dir("vdpk-");
        path = dir.path();
        fs::remove_all(path);
    }
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(TempDirRemoval, ReadOnlyDirectoriesAreRemovedToo)
{
    int const status = runUnprivileged(tmp, [] {
        fs::path path;
        {
            TempDir dir("vdpk-");
            path = dir.path();
            fs::create_directories(path / "sub" / "deeper");
            std::ofstream(path / "sub" / "file") << "x";
            fs::permissions(path / "sub" / "deeper", fs::perms::none);
            fs::permissions(path / "sub", fs::perms::owner_read | fs::perms::owner_exec);
            fs::permissions(path, fs::perms::owner_read | fs::perms::owner_exec);
        }
        return fs::exists(path) ? 1 : 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(fs::is_empty(tmp));
}

class AbandonedTempDirs : public TempDirTest {};

TEST_F(AbandonedTempDirs, OnlyUnlockedDirectoriesOfThePrefixGo)
{
    // What a killed run leaves: the directory of that name, nobody holding it.
    fs::create_directories(tmp / "vdpk-abandoned0/files/usr");
    std::ofstream(tmp / "vdpk-abandoned0/files/usr/f") << "x";
    TempDir const live("vdpk-");
    // Names of the prefix that TempDir never makes, and a link to a canary.
    fs::path const canary = sandbox.writeFile("canary/keep", "keep");
    for (char const* name : {"vdpk-short", "vdpk-bench-abc123", "vdpk-ABCDEFGHIJ", "vdpk-cli-0123456789"})
        fs::create_directories(tmp / name);
    fs::create_directory_symlink(canary.parent_path(), tmp / "vdpk-linktocana");

    EXPECT_EQ(TempDir::removeAbandoned("vdpk-"), 1);
    EXPECT_FALSE(fs::exists(tmp / "vdpk-abandoned0"));
    EXPECT_TRUE(fs::is_directory(live.path()));
    for (char const* name : {"vdpk-short", "vdpk-bench-abc123", "vdpk-ABCDEFGHIJ", "vdpk-cli-0123456789"})
        EXPECT_TRUE(fs::is_directory(tmp / name)) << name;
    EXPECT_TRUE(fs::is_symlink(tmp / "vdpk-linktocana"));
    EXPECT_EQ(readFile(canary), "keep");

    // The other prefix is its own.
    EXPECT_EQ(TempDir::removeAbandoned("vdpk-cli-"), 1);
    EXPECT_FALSE(fs::exists(tmp / "vdpk-cli-0123456789"));
}

TEST_F(AbandonedTempDirs, ADirectoryOfAKilledProcessGoesAndOneOfALiveProcessStays)
{
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t const pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        TempDir const held("vdpk-");
        char c = 'x';
        (void)!write(ready[1], &c, 1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    EXPECT_EQ(TempDir::removeAbandoned("vdpk-"), 0);
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    // The kill left its directory, now without a holder.
    ASSERT_EQ(std::distance(fs::directory_iterator(tmp), fs::directory_iterator()), 1);
    EXPECT_EQ(TempDir::removeAbandoned("vdpk-"), 1);
    EXPECT_TRUE(fs::is_empty(tmp));
}
