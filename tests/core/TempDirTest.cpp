#include "core/TempDir.hpp"

#include "tests/support/Sandbox.hpp"
#include "tests/support/ScopedEnv.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

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
