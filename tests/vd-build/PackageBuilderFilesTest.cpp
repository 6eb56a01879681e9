#include "tests/support/Sandbox.hpp"
#include "vd-build/PackageBuilder.hpp"
#include "vd-build/PkgBuildCli.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace Vandrel::Test {
namespace {

namespace fs = std::filesystem;
using Linux::PackageBuilder;

class CopyFiles : public ::testing::Test {
  protected:
    Sandbox box;
    fs::path from = box.root() / "src";
    fs::path to = box.root() / "out" / "src";
};

TEST_F(CopyFiles, CopiesTreeWithModesAndRecreatesLinksAsWritten)
{
    fs::create_directories(from / "a" / "b");
    std::ofstream(from / "a" / "b" / "run.sh") << "#!/bin/sh\n";
    fs::permissions(from / "a" / "b" / "run.sh", fs::perms(0750), fs::perm_options::replace);
    fs::permissions(from / "a", fs::perms(0711) | fs::perms::sticky_bit, fs::perm_options::replace);
    fs::create_symlink("../nowhere", from / "a" / "dangling");
    fs::create_symlink("/etc", from / "abs");
    fs::create_directories(to / "abs");
    fs::remove(to / "abs");
    fs::create_symlink("old", to / "abs");

    PackageBuilder::copyFiles(from, to);
    EXPECT_EQ(readFile(to / "a/b/run.sh"), "#!/bin/sh\n");
    EXPECT_EQ(fs::status(to / "a/b/run.sh").permissions(), fs::perms(0750));
    EXPECT_EQ(fs::status(to / "a").permissions(), fs::perms(0711) | fs::perms::sticky_bit);
    EXPECT_EQ(fs::read_symlink(to / "a/dangling"), "../nowhere");
    EXPECT_EQ(fs::read_symlink(to / "abs"), "/etc");
    fs::permissions(from / "a", fs::perms::owner_all, fs::perm_options::replace);
    fs::permissions(to / "a", fs::perms::owner_all, fs::perm_options::replace);
}

TEST_F(CopyFiles, FailureNamesBothRootsAndTheFileInFourLines)
{
    fs::create_directories(from / "a");
    std::ofstream(from / "a" / "b.c") << "int x;\n";
    fs::create_directories(to / "a" / "b.c" / "in-the-way");
    try {
        PackageBuilder::copyFiles(from, to);
        FAIL() << "copied over a directory";
    } catch (Linux::CopyFilesError const& e) {
        EXPECT_EQ(e.from, from);
        EXPECT_EQ(e.to, to);
        EXPECT_EQ(e.file, from / "a" / "b.c");
        std::string const text = e.what();
        EXPECT_THAT(text, ::testing::StartsWith("copyFiles error:\nwas copying '" + from.string() + "' -> '" +
                                                to.string() + "'\nfail while copying file '" +
                                                (from / "a" / "b.c").string() + "'\nreason: "));
    }
    EXPECT_THROW(PackageBuilder::copyFiles(box.root() / "missing", to), fs::filesystem_error);
}

TEST(PackageSources, ListedComponentWiseAndNestedOnesIncluded)
{
    Sandbox box;
    box.writePkgConfig();
    for (auto const* dir : {"src/a-b", "src/a/sub", "src/a", "src/z/deep/er"})
        box.writeFile(fs::path(dir) / "package.yml", "name: x\n");
    box.writeFile("src/nothing/readme", "");
    fs::create_directories(box.root() / "src" / "dir-named" / "package.yml");
    box.writeFile("etc/build.yml", "buildFs:\n  template: t\n  workDir: w\n  packageSources: " +
                                       yamlQuote((box.root() / "src").string()) +
                                       "\n  packageRepo: r\n  pkgDatabasePath: d\n");
    Linux::PkgBuildCli cli;
    std::string const configDir = box.configDir().string();
    char const* argv[] = {"vd-build", "-c", configDir.c_str()};
    cli.parseArgs(3, argv);
    cli.loadConfigs();
    fs::path const src = box.root() / "src";
    EXPECT_THAT(cli.packageSourceDirectories(),
                ::testing::ElementsAre(src / "a", src / "a/sub", src / "a-b", src / "z/deep/er"));
}

} // namespace
} // namespace Vandrel::Test
