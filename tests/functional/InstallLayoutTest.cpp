// `cmake --install` with DESTDIR and the prefix /usr, as a distribution
// package build runs it, and the installed vdpk and vd-build working from the
// installed files alone.
#include "core/PkgConfig.hpp"
#include "tests/support/Archive.hpp"
#include "tests/support/Paths.hpp"
#include "tests/support/Run.hpp"
#include "tests/support/Sandbox.hpp"

#include <gtest/gtest.h>
#include <yaml-cpp/yaml.h>

#include <filesystem>
#include <set>

namespace Vandrel::Test {
namespace {

namespace fs = std::filesystem;

class InstalledLayout : public ::testing::Test {
  protected:
    void SetUp() override
    {
        RunResult const r = runProgram(cmakeCommand(), {"--install", buildDir().string(), "--prefix", "/usr"},
                                       {.env = {{"DESTDIR", destDir().string()}}});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
    }

    fs::path destDir() const { return sandbox.root() / "dest dir"; }
    fs::path usr() const { return destDir() / "usr"; }

    // Every regular file below DESTDIR, relative to it.
    std::set<std::string> installedFiles() const
    {
        std::set<std::string> files;
        for (auto const& entry : fs::recursive_directory_iterator(destDir()))
            if (!entry.is_directory())
                files.insert(entry.path().lexically_relative(destDir()).string());
        return files;
    }

    Sandbox sandbox;
};

TEST_F(InstalledLayout, PutsEachFileInItsPlaceAndNothingElse)
{
    std::set<std::string> const expected = {
        "usr/bin/vdpk",
        "usr/libexec/vd-build/vd-build-sandbox-init",
        "usr/bin/vd-build",
        "usr/share/vdpk/sql/dependency.sql",
        "usr/share/vdpk/sql/details.sql",
        "usr/share/vdpk/sql/drop-everything.sql",
        "usr/share/vdpk/sql/file.sql",
        "usr/share/vdpk/sql/journal.sql",
        "usr/share/vdpk/sql/package.sql",
        "usr/share/vd-build/bin/build-fs-common.bash",
        "usr/share/vd-build/bin/clean-build-fs",
        "usr/share/vd-build/bin/mount-build-chroot",
        "usr/share/vd-build/bin/prepare-build-fs",
        "usr/share/vd-build/bin/umount-build-chroot",
        "usr/share/vd-build/dangerous-paths",
        "usr/share/man/man1/vdpk.1",
        "usr/share/man/man1/vd-build.1",
        "usr/share/man/man5/vdpk.yml.5",
        "usr/share/bash-completion/completions/vdpk",
        "usr/share/bash-completion/completions/vd-build",
        "etc/vdpk/pkg.yml",
        "etc/vdpk/build.yml",
    };
    // No test or benchmark program, no stray build file.
    EXPECT_EQ(installedFiles(), expected);

    auto const executable = [](fs::path const& path) {
        return (fs::status(path).permissions() & fs::perms::owner_exec) != fs::perms::none;
    };
    for (char const* program : {"vdpk", "vd-build"})
        EXPECT_TRUE(executable(usr() / "bin" / program)) << program;
    EXPECT_TRUE(executable(usr() / "libexec/vd-build/vd-build-sandbox-init"));
    for (char const* command :
         {"clean-build-fs", "mount-build-chroot", "prepare-build-fs", "umount-build-chroot"})
        EXPECT_TRUE(executable(usr() / "share/vd-build/bin" / command)) << command;
    // Sourced by the four commands, never run.
    EXPECT_FALSE(executable(usr() / "share/vd-build/bin/build-fs-common.bash"));
    EXPECT_EQ(readFile(usr() / "share/vdpk/sql/package.sql"), readFile(shareDir() / "vdpk/sql/package.sql"));
}

TEST_F(InstalledLayout, ExampleConfigurationNamesTheInstalledDirectoriesAndKeepsAnExistingOne)
{
    Linux::PkgConfig config;
    config.loadConfig((destDir() / "etc/vdpk").string());
    EXPECT_EQ(config.shareDir, "/usr/share");
    EXPECT_EQ(config.database, "/var/lib/vdpk/packages.db");
    EXPECT_EQ(config.pkgRepoCachePath, "/var/cache/vdpk");

    YAML::Node const build = YAML::LoadFile((destDir() / "etc/vdpk/build.yml").string())["buildFs"];
    for (char const* key : {"template", "workDir", "packageSources", "packageRepo", "pkgDatabasePath"})
        EXPECT_TRUE(build[key].IsScalar()) << key;
    EXPECT_EQ(build["workDir"].as<std::string>(), "/var/lib/vd-build/buildfs");

    // A second install must not overwrite what the administrator changed.
    sandbox.writeFile("dest dir/etc/vdpk/pkg.yml", "edited\n");
    RunResult const again = runProgram(cmakeCommand(), {"--install", buildDir().string(), "--prefix", "/usr"},
                                       {.env = {{"DESTDIR", destDir().string()}}});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(readFile(destDir() / "etc/vdpk/pkg.yml"), "edited\n");
    EXPECT_NE(readFile(destDir() / "etc/vdpk/pkg.yml.new").find("shareDir: /usr/share\n"), std::string::npos);
}

TEST_F(InstalledLayout, InstalledVdpkCreatesItsDatabaseInstallsListsAndRemovesFromTheInstalledShareDir)
{
    fs::path const prefix = sandbox.prefix();
    sandbox.writePkgConfig({}, {}, (usr() / "share").string());
    fs::path const vdpk = usr() / "bin/vdpk";
    std::string const config = sandbox.configDir().string();

    // Listing a root without a database reads nothing and creates nothing.
    RunResult r = runProgram(vdpk, {"-c", config, "-r", prefix.string(), "--list"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(fs::exists(prefix / sandbox.databasePath().relative_path()));

    fs::path const archive = makeArchive(
        sandbox.root() / "archives",
        {.name = "hello",
         .version = "2.1",
         .files = {{"usr/bin/hello", "#!/bin/sh\necho hello\n"}, {"usr/share/doc/hello/README", "hello\n"}}});
    r = runProgram(vdpk, {"-c", config, "-r", prefix.string(), "--init-database", "--install", "--file",
                          archive.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    // The database is made from the installed SQL files, below the prefix.
    EXPECT_NE(r.err.find("Creating new database...\n"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::exists(prefix / sandbox.databasePath().relative_path()));
    EXPECT_EQ(readFile(prefix / "usr/bin/hello"), "#!/bin/sh\necho hello\n");
    EXPECT_EQ(readFile(prefix / "usr/share/doc/hello/README"), "hello\n");

    r = runProgram(vdpk, {"-c", config, "-r", prefix.string(), "--list"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "hello\n");

    r = runProgram(vdpk, {"-c", config, "-r", prefix.string(), "--uninstall", "hello"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(fs::exists(prefix / "usr/bin/hello"));
}

TEST_F(InstalledLayout, InstalledVdBuildRunsTheInstalledBuildFilesystemCommands)
{
    sandbox.writePkgConfig({}, {}, (usr() / "share").string());
    fs::path const workDir = sandbox.root() / "buildfs";
    fs::create_directories(workDir);
    sandbox.writeFile("etc/build.yml", "buildFs:\n  template: " + (sandbox.root() / "template").string() +
                                           "\n  workDir: " + workDir.string() +
                                           "\n  packageSources: " + (sandbox.root() / "sources").string() +
                                           "\n  packageRepo: " + (sandbox.root() / "repo").string() +
                                           "\n  pkgDatabasePath: /var/lib/vdpk/packages.db\n");
    // Unmounting a build filesystem with nothing mounted below it changes
    // nothing, and succeeds only when the command was found and executable.
    RunResult r =
        runProgram(usr() / "bin/vd-build", {"-c", sandbox.configDir().string(), "--unmount-build-fs"});
    EXPECT_EQ(r.status, 0) << r.err;

    // With a share directory lacking the list of dangerous paths nothing is
    // run; with the list but without the commands the same action fails.
    fs::path const share = sandbox.root() / "empty-share";
    sandbox.writePkgConfig({}, {}, share.string());
    r = runProgram(usr() / "bin/vd-build", {"-c", sandbox.configDir().string(), "--unmount-build-fs"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Cannot read the list of dangerous paths: '" +
                         (share / "vd-build/dangerous-paths").string() + "'\nUse --help for help.\n");
    fs::create_directories(share / "vd-build");
    fs::copy_file(usr() / "share/vd-build/dangerous-paths", share / "vd-build/dangerous-paths");
    r = runProgram(usr() / "bin/vd-build", {"-c", sandbox.configDir().string(), "--unmount-build-fs"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: umount-build-chroot failed with exit code 127\nUse --help for help.\n");
}

} // namespace
} // namespace Vandrel::Test
