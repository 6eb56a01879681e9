#include "tests/support/Sandbox.hpp"
#include "vd-build/PackageBuilder.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace Vandrel::Test {
namespace {

namespace fs = std::filesystem;
using Linux::escapeMountInfoPath;
using Linux::PackageBuilder;

// A mount table line with the given mount point (already escaped).
std::string line(std::string const& mountPoint)
{
    return "36 35 98:0 / " + mountPoint + " rw,noatime master:1 - ext3 /dev/root rw\n";
}

class MountTable : public ::testing::Test {
  protected:
    void writeTable(std::string const& text) { std::ofstream(table) << text; }
    Sandbox box;
    fs::path root = fs::canonical(box.root());
    fs::path table = root / "mountinfo";
};

TEST_F(MountTable, EscapesBlanksAndBackslashesAsTheKernelDoes)
{
    EXPECT_EQ(escapeMountInfoPath("/no/such/a b\tc\nd\\e"), "/no/such/a\\040b\\011c\\012d\\134e");
    EXPECT_EQ(escapeMountInfoPath("/no/such/./x/../y/"), "/no/such/y");
    EXPECT_EQ(escapeMountInfoPath("/"), "/");
}

TEST_F(MountTable, MatchesTheFifthFieldOnlyAndSkipsShortLines)
{
    fs::create_directories(root / "build fs" / "proc");
    writeTable("1 2 3 " + (root / "build fs/proc").string() + "\n" + line("/elsewhere") +
               line(escapeMountInfoPath(root / "build fs" / "proc")));
    EXPECT_TRUE(PackageBuilder::isMountPoint(root / "build fs" / "proc", table));
    EXPECT_FALSE(PackageBuilder::isMountPoint(root / "build fs", table));

    writeTable("1 2 3 " + escapeMountInfoPath(root / "build fs" / "proc") + "\n");
    EXPECT_FALSE(PackageBuilder::isMountPoint(root / "build fs" / "proc", table));
    EXPECT_FALSE(PackageBuilder::isMountPoint(root / "build fs" / "proc", root / "no-table"));
}

TEST_F(MountTable, RootReachedThroughASymbolicLinkIsComparedResolved)
{
    fs::create_directories(root / "real" / "run");
    fs::create_directory_symlink(root / "real", root / "link");
    writeTable(line((root / "real" / "run").string()));
    EXPECT_TRUE(PackageBuilder::isMountPoint(root / "link" / "run", table));
}

TEST_F(MountTable, RuntimeFilesystemsNeedAllFiveOrADevWithANullDevice)
{
    fs::path const wd = root / "w d";
    for (auto const* sub : {"dev/pts", "proc", "sys", "run"})
        fs::create_directories(wd / sub);
    std::string all;
    for (auto const* sub : {"dev", "dev/pts", "proc", "sys", "run"})
        all += line(escapeMountInfoPath(wd / sub));
    writeTable(all);
    EXPECT_TRUE(PackageBuilder::hasMountedRuntimeFilesystems(wd, table));

    writeTable(all.substr(0, all.rfind("36 35")));
    EXPECT_FALSE(PackageBuilder::hasMountedRuntimeFilesystems(wd, table)) << "run missing";

    std::string withoutDev = all.substr(all.find('\n') + 1);
    writeTable(withoutDev);
    EXPECT_FALSE(PackageBuilder::hasMountedRuntimeFilesystems(wd, table));
    std::ofstream(wd / "dev" / "null") << "a regular file is no device\n";
    EXPECT_FALSE(PackageBuilder::hasMountedRuntimeFilesystems(wd, table));
    fs::remove(wd / "dev" / "null");
    ASSERT_EQ(::mknod((wd / "dev" / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    EXPECT_TRUE(PackageBuilder::hasMountedRuntimeFilesystems(wd, table));

    EXPECT_FALSE(PackageBuilder::hasMountedRuntimeFilesystems(root / "missing", table));
}

TEST_F(MountTable, RealMountTableKnowsTheRootFilesystem)
{
    EXPECT_TRUE(PackageBuilder::isMountPoint("/"));
    EXPECT_TRUE(PackageBuilder::isMountPoint("/proc"));
    EXPECT_FALSE(PackageBuilder::isMountPoint(root));
}

} // namespace
} // namespace Vandrel::Test
