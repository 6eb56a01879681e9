#include "core/FileLock.hpp"

#include "tests/support/LockHolder.hpp"
#include "tests/support/Sandbox.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

using namespace Vandrel;
using namespace Vandrel::Test;
namespace fs = std::filesystem;

namespace {

class FileLockTest : public testing::Test {
  protected:
    Sandbox sandbox;
    std::string path = (sandbox.root() / "packages.db.lock").string();
};

TEST_F(FileLockTest, FreeLockIsTakenAtOnceAndTheFileIsCreated)
{
    int waits = 0;
    FileLock lock = FileLock::acquire(path, [&] { ++waits; });
    EXPECT_TRUE(lock.isLocked());
    EXPECT_EQ(waits, 0);
    EXPECT_TRUE(fs::is_regular_file(path));
}

TEST_F(FileLockTest, TryAcquireFailsWhileAnotherProcessHoldsIt)
{
    LockHolder holder(path);
    EXPECT_FALSE(FileLock::tryAcquire(path).isLocked());
    // The lock belongs to the open file, so a second one in this process is refused too.
    holder.kill();
    FileLock first = FileLock::tryAcquire(path);
    ASSERT_TRUE(first.isLocked());
    EXPECT_FALSE(FileLock::tryAcquire(path).isLocked());
    first.release();
    EXPECT_FALSE(first.isLocked());
    EXPECT_TRUE(FileLock::tryAcquire(path).isLocked());
}

TEST_F(FileLockTest, AcquireRunsOnWaitOnceThenGetsTheLockOfAKilledHolder)
{
    LockHolder holder(path);
    int waits = 0;
    // The holder dies while acquire waits: the kernel drops its lock, no
    // stale lock file blocks anyone.
    FileLock lock = FileLock::acquire(path, [&] {
        ++waits;
        EXPECT_FALSE(FileLock::tryAcquire(path).isLocked());
        holder.kill();
    });
    EXPECT_TRUE(lock.isLocked());
    EXPECT_EQ(waits, 1);
    EXPECT_TRUE(fs::exists(path));
}

TEST_F(FileLockTest, LockFileInAMissingDirectoryIsAnError)
{
    std::string const missing = (sandbox.root() / "no-such-dir" / "x.lock").string();
    EXPECT_THROW(FileLock::acquire(missing), fs::filesystem_error);
    EXPECT_THROW(FileLock::tryAcquire(missing), fs::filesystem_error);
}

} // namespace

namespace {

TEST_F(FileLockTest, HeldInThisProcessFollowsTheLockAcrossMovesAndRelease)
{
    EXPECT_FALSE(FileLock::heldInThisProcess(path));
    {
        LockHolder holder(path);
        // Another process's lock is not this process's.
        EXPECT_FALSE(FileLock::heldInThisProcess(path));
    }
    FileLock first = FileLock::acquire(path);
    EXPECT_TRUE(FileLock::heldInThisProcess(path));
    FileLock moved = std::move(first);
    EXPECT_TRUE(FileLock::heldInThisProcess(path));
    first = FileLock();
    EXPECT_TRUE(FileLock::heldInThisProcess(path));
    moved.release();
    EXPECT_FALSE(FileLock::heldInThisProcess(path));
    {
        FileLock const scoped = FileLock::acquire(path);
        EXPECT_TRUE(FileLock::heldInThisProcess(path));
    }
    EXPECT_FALSE(FileLock::heldInThisProcess(path));
}

} // namespace
