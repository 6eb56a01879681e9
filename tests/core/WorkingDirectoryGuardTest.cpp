#include "core/WorkingDirectoryGuard.hpp"

#include "tests/support/Sandbox.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Vandrel::WorkingDirectoryGuard;
namespace fs = std::filesystem;

class WorkingDirectoryChange : public testing::Test {
  protected:
    void SetUp() override
    {
        fs::create_directories(sandbox.root() / "start");
        fs::create_directories(sandbox.root() / "work");
        original = fs::current_path();
        fs::current_path(sandbox.root() / "start");
    }
    void TearDown() override { fs::current_path(original); }

    Vandrel::Test::Sandbox sandbox;
    fs::path original;
};

TEST_F(WorkingDirectoryChange, RestoreReturnsToThePreviousDirectory)
{
    WorkingDirectoryGuard guard(sandbox.root() / "work");
    EXPECT_EQ(fs::current_path(), sandbox.root() / "work");
    guard.restore();
    EXPECT_EQ(fs::current_path(), sandbox.root() / "start");
    guard.restore(); // a second call changes nothing
    EXPECT_EQ(fs::current_path(), sandbox.root() / "start");
}

TEST_F(WorkingDirectoryChange, AnExceptionRestoresTheDirectoryToo)
{
    try {
        WorkingDirectoryGuard guard(sandbox.root() / "work");
        throw std::runtime_error("failed inside");
    } catch (std::runtime_error const&) {
    }
    EXPECT_EQ(fs::current_path(), sandbox.root() / "start");
}

TEST_F(WorkingDirectoryChange, PreviousDirectoryIsFoundAgainAfterARename)
{
    {
        WorkingDirectoryGuard guard(sandbox.root() / "work");
        fs::rename(sandbox.root() / "start", sandbox.root() / "moved");
        guard.restore();
    }
    EXPECT_EQ(fs::current_path(), sandbox.root() / "moved");
}

TEST_F(WorkingDirectoryChange, MissingTargetThrowsAndStaysPut)
{
    EXPECT_THROW(WorkingDirectoryGuard(sandbox.root() / "missing"), fs::filesystem_error);
    EXPECT_EQ(fs::current_path(), sandbox.root() / "start");
}

TEST_F(WorkingDirectoryChange, RestoreThatCannotChangeBackThrows)
{
    // In a child without privileges: the previous directory loses its search
    // permission while the guard is away from it.
    fs::path const start = sandbox.root() / "start";
    if (geteuid() == 0) {
        fs::permissions(sandbox.root(), fs::perms::others_exec, fs::perm_options::add);
        ASSERT_EQ(::chown(start.c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chown((sandbox.root() / "work").c_str(), 65534, 65534), 0);
    }
    pid_t const pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            _exit(2);
        try {
            WorkingDirectoryGuard guard(sandbox.root() / "work");
            fs::permissions(start, fs::perms::owner_read | fs::perms::owner_write);
            guard.restore();
        } catch (fs::filesystem_error const&) {
            _exit(0);
        }
        _exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    fs::permissions(start, fs::perms::owner_all);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: restore did not throw, 2: could not drop privileges";
}

} // namespace
