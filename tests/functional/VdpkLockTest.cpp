// Runs several vdpk processes on one install root at once: commands that
// change the root take turns on the lock file beside the database, a holder
// that dies releases it, and listing never waits.
#include "tests/support/LockHolder.hpp"
#include "tests/support/VdpkSandbox.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <sstream>
#include <sys/stat.h>
#include <thread>

namespace Vandrel::Test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

int countOccurrences(std::string const& text, std::string const& part)
{
    int count = 0;
    for (auto pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1))
        ++count;
    return count;
}

class VdpkLock : public ::testing::Test {
  protected:
    // The database lies below the prefix, and its lock beside it.
    fs::path prefix(int n = 0) const { return box.root() / ("prefix" + std::to_string(n)); }
    fs::path lockPath(int n = 0) const
    {
        return prefix(n) / (box.databasePath().relative_path().string() + ".lock");
    }
    std::string waitingLine(int n = 0) const
    {
        return "Waiting for another vdpk run to release the lock '" + lockPath(n).string() + "'...\n";
    }

    fs::path archive(std::string const& name)
    {
        PackageSpec spec;
        spec.name = name;
        // Enough files that two unguarded installs would overlap.
        for (int i = 0; i < 200; ++i)
            spec.files["usr/share/" + name + "/f" + std::to_string(i)] = name;
        return makeArchive(box.root() / "archives", spec);
    }

    RunResult vdpk(std::vector<std::string> args, int n = 0) const { return box.vdpk(args, {}, prefix(n)); }

    std::future<RunResult> vdpkAsync(std::vector<std::string> args, int n = 0)
    {
        return std::async(std::launch::async, [this, args, n] { return vdpk(args, n); });
    }

    // Blocks until `count` processes wait for the lock file (the kernel lists
    // blocked flock waiters in /proc/locks with "->"); false after 30 s.
    bool waitForWaiters(fs::path const& path, int count) const
    {
        struct stat st {};
        if (stat(path.c_str(), &st) != 0)
            return false;
        std::string const inode = ":" + std::to_string(st.st_ino) + " ";
        auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (std::chrono::steady_clock::now() < deadline) {
            std::ifstream locks("/proc/locks");
            int waiters = 0;
            for (std::string line; std::getline(locks, line);)
                if (line.find("-> FLOCK") != std::string::npos && line.find(inode) != std::string::npos)
                    ++waiters;
            if (waiters >= count)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    VdpkSandbox box;
};

TEST_F(VdpkLock, InstallsWaitingForAKilledHolderBothGoOnAndAreRecorded)
{
    fs::path const a = archive("alpha"), b = archive("beta");
    fs::create_directories(lockPath().parent_path());
    LockHolder holder(lockPath().string());
    auto first = vdpkAsync({"--install", "--file", a.string()});
    auto second = vdpkAsync({"--install", "--file", b.string()});
    bool const bothWaiting = waitForWaiters(lockPath(), 2);
    // A crashed run: SIGKILL, nothing cleaned up, and yet nothing stays locked.
    holder.kill();
    RunResult const r1 = first.get(), r2 = second.get();
    ASSERT_TRUE(bothWaiting);
    ASSERT_EQ(r1.status, 0) << r1.err;
    ASSERT_EQ(r2.status, 0) << r2.err;
    EXPECT_EQ(countOccurrences(r1.err, waitingLine()), 1) << r1.err;
    EXPECT_EQ(countOccurrences(r2.err, waitingLine()), 1) << r2.err;
    // The line comes first, before anything of the command.
    EXPECT_EQ(r1.err.rfind(waitingLine(), 0), 0u) << r1.err;
    EXPECT_EQ(vdpk({"--list"}).out, "alpha\nbeta\n");
    EXPECT_EQ(readFile(prefix() / "usr/share/alpha/f199"), "alpha");
    EXPECT_EQ(readFile(prefix() / "usr/share/beta/f0"), "beta");
}

TEST_F(VdpkLock, InstallsStartedTogetherOnAFreshRootBothSucceed)
{
    fs::path const a = archive("alpha"), b = archive("beta");
    // Each round a new root: the database is created by whichever run comes first.
    for (int n = 1; n <= 4; ++n) {
        auto first = vdpkAsync({"--install", "--file", a.string()}, n);
        auto second = vdpkAsync({"-i", "-f", b.string()}, n);
        RunResult const r1 = first.get(), r2 = second.get();
        EXPECT_EQ(r1.status, 0) << r1.err;
        EXPECT_EQ(r2.status, 0) << r2.err;
        EXPECT_EQ(countOccurrences(r1.err + r2.err, "Creating new database..."), 1) << r1.err << r2.err;
        EXPECT_EQ(vdpk({"--list"}, n).out, "alpha\nbeta\n") << "round " << n;
    }
}

TEST_F(VdpkLock, UninstallAndDatabaseInitialisationWaitButListingDoesNot)
{
    ASSERT_EQ(vdpk({"--install", "--file", archive("alpha").string()}).status, 0);
    LockHolder holder(lockPath().string());

    auto list = vdpkAsync({"--list"});
    ASSERT_EQ(list.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    RunResult const listed = list.get();
    EXPECT_EQ(listed.out, "alpha\n");
    EXPECT_EQ(listed.err, "");

    auto uninstall = vdpkAsync({"--uninstall", "alpha"});
    bool const uninstallWaits = waitForWaiters(lockPath(), 1);
    holder.kill();
    RunResult const removed = uninstall.get();
    ASSERT_TRUE(uninstallWaits);
    EXPECT_EQ(removed.status, 0) << removed.err;
    EXPECT_EQ(removed.err.rfind(waitingLine(), 0), 0u) << removed.err;
    EXPECT_FALSE(fs::exists(prefix() / "usr/share/alpha"));

    // Listing with --init-database recreates the database: that waits too.
    ASSERT_EQ(vdpk({"--install", "--file", archive("beta").string()}).status, 0);
    LockHolder again(lockPath().string());
    auto init = vdpkAsync({"--list", "--init-database"});
    bool const initWaits = waitForWaiters(lockPath(), 1);
    again.kill();
    RunResult const initialised = init.get();
    ASSERT_TRUE(initWaits);
    EXPECT_EQ(initialised.status, 0) << initialised.err;
    EXPECT_EQ(initialised.err, waitingLine() + "Creating new database...\n");
    EXPECT_EQ(vdpk({"--list"}).out, "");
}

TEST_F(VdpkLock, TheLockFileDoesNotDisturbAFreshRootNorARunWithoutACommand)
{
    // A fresh root: the database directory is made for the lock file.
    auto r = vdpk({"--install", "--file", archive("alpha").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_regular_file(lockPath()));
    EXPECT_THAT(r.err, ::testing::Not(HasSubstr("Waiting")));

    // No command: nothing is locked or created.
    r = vdpk({"--init-database"}, 5);
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(fs::exists(prefix(5)));
}

} // namespace
} // namespace Vandrel::Test
