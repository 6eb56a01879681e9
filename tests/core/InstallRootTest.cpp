#include "core/InstallRoot.hpp"

#include "tests/support/Sandbox.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>

namespace {

using Vandrel::Linux::InstallRoot;
namespace fs = std::filesystem;

class InstallRootResolution : public testing::Test {
  protected:
    void SetUp() override
    {
        sandbox.writeFile("root/etc/marker", "inside");
        sandbox.writeFile("etc/marker", "outside");
        fs::create_symlink("../../..", rootDir() / "etc/up");
        fs::create_symlink("/etc", rootDir() / "abs");
        fs::create_symlink(sandbox.root() / "etc", rootDir() / "host");
    }

    fs::path rootDir() const { return sandbox.root() / "root"; }

    // The name below the root that a name resolves to; empty when it does not.
    std::string resolved(InstallRoot const& root, std::string const& name) const
    {
        Vandrel::FileDescriptor const fd = root.open(name, O_RDONLY);
        return fd ? root.nameOf(fd.get()) : std::string();
    }

    Vandrel::Test::Sandbox sandbox;
};

TEST_F(InstallRootResolution, ClimbingAndAbsoluteNamesStayBelowTheRoot)
{
    InstallRoot const root(rootDir().string(), false);
    EXPECT_EQ(resolved(root, "etc/marker"), "etc/marker");
    EXPECT_EQ(resolved(root, "../../etc/marker"), "etc/marker");
    EXPECT_EQ(resolved(root, "etc/up/etc/marker"), "etc/marker");
    EXPECT_EQ(resolved(root, "abs/marker"), "etc/marker");
    EXPECT_EQ(resolved(root, "/etc/marker"), "etc/marker");
    // The host path of the outside marker does not exist below the root.
    EXPECT_EQ(resolved(root, "host/marker"), "");
}

TEST_F(InstallRootResolution, SystemRootResolvesAsUsual)
{
    InstallRoot const root("/", false);
    std::string const name = (sandbox.root() / "etc/marker").relative_path().string();
    EXPECT_EQ(resolved(root, name), name);
    EXPECT_EQ(root.pathOf("usr/bin"), "/usr/bin");
}

TEST_F(InstallRootResolution, MissingPrefixIsCreatedOnlyWhenAsked)
{
    fs::path const missing = sandbox.root() / "new/prefix";
    EXPECT_FALSE(InstallRoot(missing.string(), false).exists());
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_TRUE(InstallRoot(missing.string(), true).exists());
    EXPECT_TRUE(fs::is_directory(missing));
}

TEST_F(InstallRootResolution, DirectoriesAreMadeBelowTheRootOnly)
{
    InstallRoot const root(rootDir().string() + "/", false);
    EXPECT_EQ(root.pathOf("a/b"), rootDir().string() + "/a/b");
    // An absolute link to a host directory (here one in the sandbox) that
    // also exists below the root.
    fs::path const hostDir = sandbox.root() / "etc";
    fs::create_directories(rootDir() / hostDir.relative_path());
    fs::create_symlink(hostDir, rootDir() / "hostlike");
    root.makeDirectories("hostlike/made/deep");
    EXPECT_TRUE(fs::is_directory(rootDir() / hostDir.relative_path() / "made/deep"));
    EXPECT_FALSE(fs::exists(hostDir / "made"));
    // A dangling link is not followed by mkdir: nothing is made outside.
    fs::create_symlink(sandbox.root() / "elsewhere", rootDir() / "dangling");
    EXPECT_THROW(root.makeDirectories("dangling/x"), fs::filesystem_error);
    EXPECT_FALSE(fs::exists(sandbox.root() / "elsewhere"));
}

} // namespace
