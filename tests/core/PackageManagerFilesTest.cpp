#include "core/PackageManager.hpp"

#include "tests/core/PackageManagerTestSupport.hpp"
#include "tests/support/Archive.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace Vandrel::Linux::PmTest {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

TEST(InstallPathsDestination, JoinsTheRootWithThePackagePath)
{
    EXPECT_EQ(InstallPaths::destination(std::nullopt, "usr/bin/tool"), "/usr/bin/tool");
    EXPECT_EQ(InstallPaths::destination(std::string("/srv/root"), "usr/bin/tool"), "/srv/root/usr/bin/tool");
}

class FileCopy : public PackageManagerTest {
  protected:
    void SetUp() override
    {
        PackageManagerTest::SetUp();
        manager.emplace(config, false);
        manager->setInstallPrefix(prefix().string());
    }

    fs::path unpackDir() const { return sandbox.root() / "unpack"; }
    fs::path staged(std::string const& packagePath) const { return unpackDir() / "files" / packagePath; }

    std::vector<std::string> copy(Vandrel::Test::PackageSpec const& spec)
    {
        Vandrel::Test::stagePackage(unpackDir(), spec);
        return manager->copyFiles(unpackDir());
    }

    std::string copyError(Vandrel::Test::PackageSpec const& spec)
    {
        try {
            copy(spec);
        } catch (std::runtime_error const& e) {
            return e.what();
        }
        return "<copied>";
    }

    std::optional<PackageManager> manager;
};

TEST_F(FileCopy, InstallsTheFilesTreeAndReportsEverythingButDirectories)
{
    Vandrel::Test::PackageSpec spec{.name = "alpha"};
    spec.files = {{"usr/bin/tool", "#!/bin/sh\n"}, {"usr/share/alpha/data.txt", "data"}, {"top", "t"}};
    spec.symlinks = {{"usr/bin/alias", "tool"}, {"usr/lib/dangling", "../nowhere"}};
    spec.dirs = {"var/empty/deep"};
    Vandrel::Test::stagePackage(unpackDir(), spec);
    sandbox.writeFile("unpack/extra/beside-files", "not installed");

    EXPECT_THAT(manager->copyFiles(unpackDir()),
                UnorderedElementsAre("usr/bin/tool", "usr/share/alpha/data.txt", "top", "usr/bin/alias",
                                     "usr/lib/dangling"));
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / "usr/share/alpha/data.txt"), "data");
    EXPECT_EQ(fs::read_symlink(prefix() / "usr/bin/alias"), "tool");
    EXPECT_EQ(fs::read_symlink(prefix() / "usr/lib/dangling"), "../nowhere");
    EXPECT_TRUE(fs::is_directory(prefix() / "var/empty/deep"));
    EXPECT_FALSE(fs::exists(prefix() / "package.yml"));
    EXPECT_FALSE(fs::exists(prefix() / "extra"));
    EXPECT_FALSE(fs::exists(prefix() / "files"));
}

TEST_F(FileCopy, OnlyDirectoriesOrNoFilesTreeRecordNothing)
{
    EXPECT_THAT(copy({.name = "a", .dirs = {"usr/share/empty"}}), IsEmpty());
    EXPECT_TRUE(fs::is_directory(prefix() / "usr/share/empty"));
    fs::remove_all(unpackDir());
    EXPECT_THAT(copy({.name = "b", .withFilesDir = false}), IsEmpty());
}

TEST_F(FileCopy, OverwritesFilesAndReplacesSymlinks)
{
    sandbox.writeFile("prefix/etc/conf", "old content that is longer");
    sandbox.writeFile("prefix/elsewhere/target", "keep");
    fs::create_directories(prefix() / "usr/bin");
    fs::create_symlink("../../elsewhere/target", prefix() / "usr/bin/link");
    fs::create_symlink("missing", prefix() / "usr/bin/dangling");
    fs::create_directories(prefix() / "realdir");
    fs::create_symlink(prefix() / "realdir", prefix() / "usr/bin/dirlink");

    EXPECT_THAT(copy({.name = "a",
                      .files = {{"etc/conf", "new"}},
                      .symlinks = {{"usr/bin/link", "tool"},
                                   {"usr/bin/dangling", "tool"},
                                   {"usr/bin/dirlink", "tool"}}}),
                UnorderedElementsAre("etc/conf", "usr/bin/link", "usr/bin/dangling", "usr/bin/dirlink"));
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / "etc/conf"), "new");
    for (char const* link : {"usr/bin/link", "usr/bin/dangling", "usr/bin/dirlink"})
        EXPECT_EQ(fs::read_symlink(prefix() / link), "tool") << link;
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / "elsewhere/target"), "keep");
    EXPECT_TRUE(fs::is_directory(prefix() / "realdir"));
}

TEST_F(FileCopy, FileOverAnExistingDirectoryIsRefused)
{
    fs::create_directories(prefix() / "usr/share/x");
    EXPECT_EQ(copyError({.name = "a", .files = {{"usr/share/x", "f"}}}),
              "Cannot install file 'usr/share/x' because destination '" +
                  (prefix() / "usr/share/x").string() + "' is an existing directory");
}

TEST_F(FileCopy, FileOverASymlinkToADirectoryIsRefused)
{
    fs::create_directories(prefix() / "real");
    fs::create_directories(prefix() / "usr");
    fs::create_symlink("../real", prefix() / "usr/x");
    EXPECT_EQ(copyError({.name = "a", .files = {{"usr/x", "f"}}}),
              "Cannot install file 'usr/x' because destination '" + (prefix() / "usr/x").string() +
                  "' is an existing directory");
}

TEST_F(FileCopy, DirectoryOverAnExistingFileIsRefused)
{
    sandbox.writeFile("prefix/usr/lib", "a file");
    EXPECT_EQ(copyError({.name = "a", .files = {{"usr/lib/libx.so", "x"}}}),
              "Cannot install directory 'usr/lib' because destination '" + (prefix() / "usr/lib").string() +
                  "' is not a directory");
}

TEST_F(FileCopy, SymlinkOverAnExistingDirectoryIsRefused)
{
    fs::create_directories(prefix() / "usr/lib64");
    EXPECT_EQ(copyError({.name = "a", .files = {{"usr/real", "x"}}, .symlinks = {{"usr/lib64", "real"}}}),
              "Cannot install symlink 'usr/lib64' because destination '" + (prefix() / "usr/lib64").string() +
                  "' is an existing directory");
}

TEST_F(FileCopy, SpecialFilesFailWithTheLibraryError)
{
    Vandrel::Test::stagePackage(unpackDir(), {.name = "a", .dirs = {"run"}});
    ASSERT_EQ(::mkfifo(staged("run/fifo").c_str(), 0644), 0);
    EXPECT_THROW(manager->copyFiles(unpackDir()), fs::filesystem_error);
}

TEST_F(FileCopy, SymlinkToAPackageDirectoryIsInstalledAndRecordedAsASymlink)
{
    EXPECT_THAT(
        copy({.name = "a", .files = {{"usr/lib64/libx.so", "x"}}, .symlinks = {{"usr/lib", "lib64"}}}),
        UnorderedElementsAre("usr/lib", "usr/lib64/libx.so"));
    EXPECT_EQ(fs::read_symlink(prefix() / "usr/lib"), "lib64");
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / "usr/lib/libx.so"), "x");
}

TEST_F(FileCopy, ModesAreCarriedOverExactly)
{
    Vandrel::Test::stagePackage(
        unpackDir(),
        {.name = "a", .files = {{"usr/bin/tool", "x"}, {"etc/secret", "s"}}, .dirs = {"var/private"}});
    fs::permissions(staged("usr/bin/tool"), static_cast<fs::perms>(04755));
    fs::permissions(staged("etc/secret"), static_cast<fs::perms>(0600));
    fs::permissions(staged("var/private"), static_cast<fs::perms>(0710));
    sandbox.writeFile("prefix/etc/secret", "old");
    fs::permissions(prefix() / "etc/secret", static_cast<fs::perms>(0666));

    manager->copyFiles(unpackDir());
    auto mode = [&](char const* p) { return static_cast<int>(fs::status(prefix() / p).permissions()); };
    EXPECT_EQ(mode("usr/bin/tool"), 04755);
    EXPECT_EQ(mode("etc/secret"), 0600);
    EXPECT_EQ(mode("var/private"), 0710);
}

TEST_F(FileCopy, OwnersAreCarriedOverWhenRunAsRoot)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "changing owners needs root";
    Vandrel::Test::stagePackage(unpackDir(), {.name = "a",
                                              .files = {{"usr/bin/tool", "x"}},
                                              .symlinks = {{"usr/bin/alias", "tool"}, {"usr/lib", "lib64"}},
                                              .dirs = {"usr/lib64"}});
    for (char const* p : {"usr/bin/tool", "usr/bin/alias", "usr/lib", "usr/lib64", "usr/bin"})
        ASSERT_EQ(::lchown(staged(p).c_str(), 1234, 2345), 0);

    manager->copyFiles(unpackDir());
    for (char const* p : {"usr/bin/tool", "usr/bin/alias", "usr/lib", "usr/lib64", "usr/bin"}) {
        struct stat st {};
        ASSERT_EQ(::lstat((prefix() / p).c_str(), &st), 0) << p;
        EXPECT_EQ(st.st_uid, 1234u) << p;
        EXPECT_EQ(st.st_gid, 2345u) << p;
    }
}

TEST_F(FileCopy, HardLinkedDestinationsAreReplacedByNewFiles)
{
    sandbox.writeFile("prefix/etc/a", "old a");
    fs::create_hard_link(prefix() / "etc/a", prefix() / "etc/a2");
    sandbox.writeFile("prefix/etc/b", "old b");
    fs::create_hard_link(prefix() / "etc/b", prefix() / "etc/b2");
    fs::create_symlink("b", prefix() / "etc/to-b");

    copy({.name = "x", .files = {{"etc/a", "new a"}, {"etc/to-b", "new b"}}});
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / "etc/a"), "new a");
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / "etc/a2"), "old a");
    // Through the symlink, the file it leads to is replaced.
    EXPECT_TRUE(fs::is_symlink(prefix() / "etc/to-b"));
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / "etc/b"), "new b");
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / "etc/b2"), "old b");
    EXPECT_EQ(fs::hard_link_count(prefix() / "etc/b"), 1u);
    // No temporary file is left beside them.
    std::vector<std::string> names;
    for (auto const& entry : fs::directory_iterator(prefix() / "etc"))
        names.push_back(entry.path().filename().string());
    EXPECT_THAT(names, UnorderedElementsAre("a", "a2", "b", "b2", "to-b"));
}

TEST_F(FileCopy, SpecialFileAtTheDestinationIsRefusedWithoutBlocking)
{
    ::alarm(60); // a blocking write ends the test program instead of hanging
    fs::create_directories(prefix() / "run");
    ASSERT_EQ(::mkfifo((prefix() / "run/pipe").c_str(), 0644), 0);
    EXPECT_EQ(copyError({.name = "a", .files = {{"run/pipe", "x"}}}),
              "Cannot install file 'run/pipe' because destination '" + (prefix() / "run/pipe").string() +
                  "' is a FIFO");
    ::alarm(0);
    EXPECT_TRUE(fs::is_fifo(prefix() / "run/pipe"));
}

TEST_F(FileCopy, SymlinkMemberReplacesAnythingButARealDirectory)
{
    fs::create_directories(prefix() / "run");
    ASSERT_EQ(::mkfifo((prefix() / "run/pipe").c_str(), 0644), 0);
    sandbox.writeFile("prefix/lib64/libc.so", "c");
    fs::create_symlink("lib64", prefix() / "lib");
    EXPECT_THAT(copy({.name = "a", .symlinks = {{"run/pipe", "elsewhere"}, {"lib", "usr/lib"}}}),
                UnorderedElementsAre("run/pipe", "lib"));
    EXPECT_EQ(fs::read_symlink(prefix() / "run/pipe"), "elsewhere");
    EXPECT_EQ(fs::read_symlink(prefix() / "lib"), "usr/lib");
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / "lib64/libc.so"), "c");
}

} // namespace
} // namespace Vandrel::Linux::PmTest
