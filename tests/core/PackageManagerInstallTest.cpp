#include "core/PackageManager.hpp"
#include "core/TarDecompress.hpp"

#include "tests/core/PackageManagerTestSupport.hpp"
#include "tests/support/Archive.hpp"
#include "tests/support/Errors.hpp"
#include "tests/support/LockHolder.hpp"
#include "tests/support/Run.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace Vandrel::Linux::PmTest {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Vandrel::Test::PackageSpec;

std::vector<std::string> linesOf(std::string const& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

class Installer : public PackageManagerTest {
  protected:
    void SetUp() override
    {
        PackageManagerTest::SetUp();
        // A relative database setting keeps the database out of the prefix, so
        // the prefix holds exactly what the packages put there.
        config.database = "state/packages.db";
        WorkingDirectoryGuard inSandbox(sandbox.root());
        manager.emplace(config, false);
        manager->setInstallPrefix(prefix().string());
    }

    fs::path database() const { return sandbox.root() / "state/packages.db"; }

    fs::path archive(PackageSpec const& spec) const
    {
        return Vandrel::Test::makeArchive(sandbox.root() / "archives", spec);
    }

    // Installs and returns what install wrote to standard error.
    std::string install(fs::path const& archivePath)
    {
        Vandrel::Test::CapturedStderr captured;
        try {
            manager->install(archivePath.string());
        } catch (...) {
            lastErr = captured.text();
            throw;
        }
        return lastErr = captured.text();
    }

    std::string installError(fs::path const& archivePath)
    {
        return Vandrel::Test::messageOf([&] { install(archivePath); });
    }

    void uninstall(std::string const& name)
    {
        Vandrel::Test::CapturedStderr captured;
        manager->uninstall(name);
        captured.text();
    }

    std::vector<std::string> rows(std::string const& sql) const { return queryColumn(database(), sql); }

    // No unpack directory is left behind (the runner's logs may stay).
    bool noUnpackDirLeft() const
    {
        for (auto const& e : fs::directory_iterator(tmpDir()))
            if (e.path().filename().string().rfind("vdpk-", 0) == 0)
                return false;
        return true;
    }

    std::optional<PackageManager> manager;
    std::string lastErr;
};

class InstallSequence : public Installer {};

// The installer as the build tool uses it, without the package tool around
// it: an install killed in a child process is repaired by the next install.
class InstallerRecovery : public Installer {
  protected:
    // Runs install in a child that kills itself at the stop point; returns
    // whether it died of SIGKILL.
    bool installKilledAt(fs::path const& archivePath, char const* point)
    {
        pid_t const pid = ::fork();
        if (pid == 0) {
            ::setenv("VDPK_TEST_STOP_AT", point, 1);
            try {
                Vandrel::Test::CapturedStderr quiet;
                manager->install(archivePath.string());
            } catch (...) {
            }
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    }
};

TEST_F(InstallerRecovery, InstallWaitsForAnotherProcessHoldingTheLockBesideTheDatabase)
{
    fs::path const lockPath = database().string() + ".lock";
    fs::create_directories(lockPath.parent_path());
    Vandrel::Test::LockHolder holder(lockPath.string());
    fs::path const a = archive({.name = "alpha", .files = {{"usr/bin/alpha", "a"}}});
    std::thread killer([&holder] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        holder.kill();
    });
    std::string const err = install(a);
    killer.join();
    EXPECT_THAT(err, ::testing::StartsWith("Waiting for another vdpk run to release the lock '" +
                                           lockPath.string() + "'...\nInstalling package "));
    EXPECT_EQ(manager->installedVersion("alpha"), "1.0");
}

TEST_F(InstallerRecovery, AnInstallKilledBeforeItsCommitIsRolledBackByTheNextInstall)
{
    install(archive({.name = "base", .files = {{"usr/lib/shared", "base"}}}));
    ASSERT_TRUE(installKilledAt(
        archive({.name = "alpha", .files = {{"usr/lib/shared", "alpha"}, {"usr/bin/alpha", "a"}}}),
        "before-commit"));
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / "usr/bin/alpha"), "a"); // renamed into place, not recorded

    std::string const err = install(archive({.name = "gamma", .files = {{"usr/bin/gamma", "g"}}}));
    EXPECT_THAT(err, ::testing::StartsWith("Rolled back the interrupted install of package alpha 1.0\n"
                                           "Installing package "));
    EXPECT_THAT(manager->installedPackages(), ElementsAre("base", "gamma"));
    EXPECT_THAT(treePaths(prefix() / "usr"), ElementsAre("bin", "bin/gamma", "lib", "lib/shared"));
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / "usr/lib/shared"), "base");
    EXPECT_TRUE(noUnpackDirLeft());
    EXPECT_THAT(rows("SELECT count(*) FROM journal"), ElementsAre("0"));
}

TEST_F(InstallerRecovery, AnUpgradeKilledAfterItsCommitIsFinishedByTheNextUninstall)
{
    install(archive({.name = "alpha", .files = {{"usr/lib/old", "1"}, {"usr/lib/both", "1"}}}));
    install(archive({.name = "gamma", .files = {{"usr/bin/gamma", "g"}}}));
    ASSERT_TRUE(installKilledAt(
        archive({.name = "alpha", .version = "2.0", .files = {{"usr/lib/both", "2"}}}), "after-commit"));
    EXPECT_TRUE(fs::exists(prefix() / "usr/lib/old"));

    Vandrel::Test::CapturedStderr captured;
    manager->uninstall("gamma");
    EXPECT_EQ(captured.text(), "Completed the interrupted upgrade of package alpha 2.0\n");
    EXPECT_EQ(manager->installedVersion("alpha"), "2.0");
    EXPECT_THAT(treePaths(prefix() / "usr"), ElementsAre("lib", "lib/both"));
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / "usr/lib/both"), "2");
    EXPECT_TRUE(noUnpackDirLeft());
    EXPECT_THAT(rows("SELECT count(*) FROM journal"), ElementsAre("0"));
}

TEST_F(InstallSequence, RecordsThePackageAndWritesProgressInOrder)
{
    fs::path const a = archive({.name = "alpha",
                                .version = "2.4.1",
                                .depends = {"beta", "gamma"},
                                .files = {{"usr/bin/alpha", "#!/bin/sh\n"}},
                                .symlinks = {{"usr/bin/al", "alpha"}}});
    fs::path const cwd = fs::current_path();
    std::string const err = install(a);

    auto const lines = linesOf(err);
    ASSERT_GE(lines.size(), 6u) << err;
    EXPECT_EQ(lines[0], "Installing package \"" + a.string() + "\"");
    EXPECT_THAT(lines[1],
                ::testing::MatchesRegex("tmp dir: \"" + tmpDir().string() + "/vdpk-[a-z0-9]{10}\""));
    // A small archive is decompressed by tar's own bzip2, lbzip2 or not.
    EXPECT_EQ(lines[2], "tar -xf '" + a.string() + "'");
    ASSERT_GE(lines.size(), 7u) << err;
    EXPECT_THAT(lines[lines.size() - 3],
                ::testing::MatchesRegex("\\[exitCode:0, elapsedTime: [0-9]+ m?s\\]"));
    EXPECT_EQ(lines[lines.size() - 2], "");
    EXPECT_EQ(lines.back(), "Creating new database...");

    EXPECT_EQ(fs::current_path(), cwd);
    EXPECT_TRUE(noUnpackDirLeft());
    EXPECT_EQ(manager->installedVersion("alpha"), "2.4.1");
    EXPECT_THAT(rows("SELECT name FROM file ORDER BY name"), ElementsAre("usr/bin/al", "usr/bin/alpha"));
    EXPECT_THAT(rows("SELECT dependency_name FROM dependency ORDER BY id"), ElementsAre("beta", "gamma"));
    EXPECT_EQ(fs::read_symlink(prefix() / "usr/bin/al"), "alpha");
}

TEST_F(InstallSequence, SameOrOlderVersionIsSkipped)
{
    install(archive({.name = "alpha", .version = "2.4.1", .files = {{"a", "2"}}}));
    EXPECT_THAT(
        install(archive({.name = "alpha", .version = "2.4.1", .files = {{"a", "x"}}})),
        ::testing::EndsWith("\nSkipping package alpha 2.4.1 because installed version 2.4.1 is the same "
                            "or newer\n"));
    EXPECT_THAT(install(archive({.name = "alpha", .version = "2.4.01.0", .files = {{"b", "x"}}})),
                ::testing::HasSubstr("Skipping package alpha 2.4.01.0 because installed version 2.4.1"));
    EXPECT_THAT(install(archive({.name = "alpha", .version = "1.9", .files = {{"b", "x"}}})),
                ::testing::HasSubstr("Skipping package alpha 1.9 because installed version 2.4.1"));
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / "a"), "2");
    EXPECT_FALSE(fs::exists(prefix() / "b"));
    EXPECT_TRUE(noUnpackDirLeft());
}

// Names the installer gives files beside their destinations while it works.
std::vector<std::string> stagedNamesBelow(fs::path const& dir)
{
    std::vector<std::string> found;
    for (auto const& path : treePaths(dir))
        if (path.find(".vdpk-new") != std::string::npos || path.find(".vdpk-old") != std::string::npos)
            found.push_back(path);
    return found;
}

class Upgrade : public Installer {
  protected:
    void SetUp() override
    {
        Installer::SetUp();
        install(archive({.name = "alpha",
                         .version = "1.0",
                         .files = {{"usr/lib/old", "1"}, {"usr/lib/both", "1"}, {"usr/share/common", "1"}},
                         .symlinks = {{"usr/lib/link", "old"}}}));
        install(archive({.name = "beta", .depends = {"alpha"}, .files = {{"usr/bin/beta", "b"}}}));
        install(archive({.name = "gamma", .files = {{"usr/share/common", "g"}, {"usr/bin/gamma", "g"}}}));
        before = snapshotTree(prefix());
        rowsBefore = allRows();
    }

    std::vector<std::string> allRows() const
    {
        return rows("SELECT p.name || ' ' || p.version || ' ' || f.name FROM package p JOIN file f ON "
                    "f.package_id = p.id ORDER BY 1");
    }

    Vandrel::Test::TreeSnapshot before;
    std::vector<std::string> rowsBefore;
};

TEST_F(Upgrade, ReplacesThePackageInPlaceAndKeepsItsDependents)
{
    install(archive({.name = "alpha",
                     .version = "2.0",
                     .files = {{"usr/lib/both", "2"}, {"usr/lib/new", "2"}},
                     .symlinks = {{"usr/lib/link", "new"}}}));

    EXPECT_THAT(manager->installedPackages(), ElementsAre("alpha", "beta", "gamma"));
    EXPECT_EQ(manager->installedVersion("alpha"), "2.0");
    EXPECT_THAT(manager->findDirectDependents("alpha"), ElementsAre("beta"));
    // The old-only file goes; the one gamma shares stays with gamma's content.
    EXPECT_THAT(treePaths(prefix() / "usr"), ElementsAre("bin", "bin/beta", "bin/gamma", "lib", "lib/both",
                                                         "lib/link", "lib/new", "share", "share/common"));
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / "usr/lib/both"), "2");
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / "usr/share/common"), "g");
    EXPECT_EQ(fs::read_symlink(prefix() / "usr/lib/link"), "new");
    EXPECT_THAT(rows("SELECT f.name FROM file f JOIN package p ON f.package_id = p.id WHERE p.name = "
                     "'alpha' ORDER BY 1"),
                ElementsAre("usr/lib/both", "usr/lib/link", "usr/lib/new"));
    EXPECT_THAT(rows("SELECT count(*) FROM journal"), ElementsAre("0"));
    EXPECT_THAT(stagedNamesBelow(prefix()), IsEmpty());
    EXPECT_TRUE(noUnpackDirLeft());
}

TEST_F(Upgrade, AReplacedFileIsANewInodeAndAnOpenOneKeepsItsContent)
{
    std::ifstream open(prefix() / "usr/lib/both");
    struct stat oldStatus {};
    ASSERT_EQ(::stat((prefix() / "usr/lib/both").c_str(), &oldStatus), 0);
    install(archive({.name = "alpha", .version = "2.0", .files = {{"usr/lib/both", "2"}}}));
    struct stat newStatus {};
    ASSERT_EQ(::stat((prefix() / "usr/lib/both").c_str(), &newStatus), 0);
    EXPECT_NE(oldStatus.st_ino, newStatus.st_ino);
    std::string content;
    open >> content;
    EXPECT_EQ(content, "1");
}

TEST_F(Upgrade, AFileOfTheOlderVersionMayBecomeADirectoryOfTheNewerOne)
{
    install(archive({.name = "alpha",
                     .version = "2.0",
                     .files = {{"usr/lib/old/sub/inside", "2"}, {"usr/lib/both", "2"}},
                     .dirs = {"usr/lib/old/empty"}}));
    EXPECT_EQ(manager->installedVersion("alpha"), "2.0");
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / "usr/lib/old/sub/inside"), "2");
    EXPECT_TRUE(fs::is_directory(prefix() / "usr/lib/old/empty"));
    EXPECT_THAT(rows("SELECT f.name FROM file f JOIN package p ON f.package_id = p.id WHERE p.name = "
                     "'alpha' ORDER BY 1"),
                ElementsAre("usr/lib/both", "usr/lib/old/sub/inside"));
    EXPECT_THAT(stagedNamesBelow(prefix()), IsEmpty());
}

TEST_F(Upgrade, TwoFilesLandingOnOneNameThroughALinkLeaveOneFileAndNoStagedName)
{
    fs::create_directories(prefix() / "usr/opt");
    fs::create_symlink("real", prefix() / "usr/opt/alias");
    install(archive({.name = "delta", .files = {{"usr/opt/real", "r"}, {"usr/opt/alias", "a"}}}));
    EXPECT_TRUE(fs::is_symlink(prefix() / "usr/opt/alias"));
    // Copied in turn, the later of the two in the walk wins.
    EXPECT_THAT(Vandrel::Test::readFile(prefix() / "usr/opt/real"), ::testing::AnyOf("r", "a"));
    EXPECT_THAT(rows("SELECT f.name FROM file f JOIN package p ON f.package_id = p.id WHERE p.name = "
                     "'delta' ORDER BY 1"),
                ElementsAre("usr/opt/alias", "usr/opt/real"));
    EXPECT_THAT(stagedNamesBelow(prefix()), IsEmpty());
}

// Each of these fails somewhere in the package: the older version stays
// installed and recorded exactly as it was, and nothing of the newer one is
// left, not even a directory it made.
struct FailingUpgradeCase {
    std::string name;
    std::function<void(fs::path const& prefix)> arrange;
    std::string expectedError;
    friend void PrintTo(FailingUpgradeCase const& c, std::ostream* os) { *os << c.name; }
};

class FailingUpgrade : public Upgrade, public ::testing::WithParamInterface<FailingUpgradeCase> {};

TEST_P(FailingUpgrade, LeavesTheOlderVersionIntact)
{
    GetParam().arrange(prefix());
    before = snapshotTree(prefix());
    std::map<std::string, std::string> files;
    for (int i = 0; i < 40; ++i)
        files[fmt::format("usr/lib/f{:02}", i)] = "2";
    files["usr/lib/both"] = "2";
    files["usr/newdir/sub/file"] = "2";
    // The older version's file usr/lib/old becomes a directory: moved aside
    // first, so it must come back.
    files["usr/lib/old/sub/inside"] = "2";
    std::string const error =
        installError(archive({.name = "alpha", .version = "2.0", .files = files, .dirs = {"usr/zz/link/x"}}));

    EXPECT_THAT(error, ::testing::HasSubstr(GetParam().expectedError));
    EXPECT_EQ(manager->installedVersion("alpha"), "1.0");
    EXPECT_EQ(allRows(), rowsBefore);
    EXPECT_EQ(treeDifference(before, snapshotTree(prefix())), "");
    EXPECT_THAT(rows("SELECT count(*) FROM journal"), ElementsAre("0"));
    EXPECT_TRUE(noUnpackDirLeft());
}

INSTANTIATE_TEST_SUITE_P(Cases, FailingUpgrade,
                         ::testing::Values(
                             // A directory where the package has a file, half way down its list.
                             FailingUpgradeCase{"ConflictHalfWay",
                                                [](fs::path const& prefix) {
                                                    fs::create_directories(prefix / "usr/lib/f20");
                                                },
                                                "Cannot install file 'usr/lib/f20' because destination '"},
                             // A directory that cannot be made (a dangling link holds its name):
                             // found only while the package's directories are being made.
                             FailingUpgradeCase{"DirectoryThatCannotBeMade",
                                                [](fs::path const& prefix) {
                                                    fs::create_directories(prefix / "usr/zz");
                                                    fs::create_symlink("nowhere", prefix / "usr/zz/link");
                                                },
                                                "cannot create directory"}),
                         [](auto const& info) { return info.param.name; });

TEST_F(InstallSequence, ArchiveWithoutFilesTreeRecordsOnlyThePackage)
{
    install(archive({.name = "meta", .depends = {"x"}, .withFilesDir = false}));
    EXPECT_TRUE(manager->isInstall("meta"));
    EXPECT_THAT(rows("SELECT name FROM file"), IsEmpty());
}

TEST_F(InstallSequence, OwnersInTheArchiveAreCarriedOverWhenRunAsRoot)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "changing owners needs root";
    fs::path const staging = sandbox.root() / "staging";
    Vandrel::Test::stagePackage(staging, {.name = "owned", .files = {{"usr/bin/tool", "x"}}});
    fs::permissions(staging / "files/usr/bin/tool", static_cast<fs::perms>(0751));
    fs::path const a = sandbox.root() / "owned.tar.bz2";
    ASSERT_EQ(Vandrel::Test::runShell("tar --owner=1234 --group=2345 -cjf '" + a.string() + "' -C '" +
                                      staging.string() + "' .")
                  .status,
              0);
    install(a);
    struct stat st {};
    ASSERT_EQ(::stat((prefix() / "usr/bin/tool").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 2345u);
    EXPECT_EQ(st.st_mode & 07777, 0751u);
}

TEST_F(InstallSequence, ReplacedFilesAreNewFilesAndSymlinksAreFollowedInsideTheRoot)
{
    sandbox.writeFile("prefix/usr/bin/tool", "old tool");
    sandbox.writeFile("prefix/elsewhere/real", "old real");
    sandbox.writeFile("prefix/etc/hard", "old hard");
    fs::create_hard_link(prefix() / "etc/hard", sandbox.root() / "outside-hard");
    fs::create_directories(prefix() / "usr/lib");
    fs::create_symlink("/elsewhere/real", prefix() / "usr/lib/link");
    // A running program keeps its open file; it must not see the new bytes.
    std::ifstream running(prefix() / "usr/bin/tool", std::ios::binary);

    install(archive(
        {.name = "a",
         .files = {{"usr/bin/tool", "new tool"}, {"usr/lib/link", "new real"}, {"etc/hard", "new hard"}}}));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(running), {}), "old tool");
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / "usr/bin/tool"), "new tool");
    // A symlink at the destination is written through, its absolute target
    // taken below the prefix.
    EXPECT_TRUE(fs::is_symlink(prefix() / "usr/lib/link"));
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / "elsewhere/real"), "new real");
    // A hard-linked destination is replaced; its other name keeps the old bytes.
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / "etc/hard"), "new hard");
    EXPECT_EQ(Vandrel::Test::readFile(sandbox.root() / "outside-hard"), "old hard");
}

TEST_F(InstallSequence, UnpackingOnAnotherFileSystemCopiesTheFiles)
{
    struct stat shm {
    }, here{};
    if (::stat("/dev/shm", &shm) != 0 || ::stat(sandbox.root().c_str(), &here) != 0 ||
        shm.st_dev == here.st_dev)
        GTEST_SKIP() << "needs /dev/shm on a file system of its own";
    std::string pattern = "/dev/shm/vandrel-pm-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    setenv("TMPDIR", pattern.c_str(), 1);
    std::string const err = installError(archive({.name = "a", .files = {{"usr/a", "a"}, {"usr/b", "b"}}}));
    setenv("TMPDIR", tmpDir().c_str(), 1);
    fs::remove_all(pattern);
    EXPECT_EQ(err, "<no error>");
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / "usr/b"), "b");
}

class InstallFailure : public Installer {};

TEST_F(InstallFailure, ArchiveWithoutManifestInstallsNothing)
{
    fs::path const cwd = fs::current_path();
    EXPECT_THAT(
        installError(archive({.name = "nomanifest", .files = {{"usr/x", "x"}}, .withManifest = false})),
        ::testing::HasSubstr("bad file"));
    EXPECT_EQ(fs::current_path(), cwd);
    EXPECT_TRUE(noUnpackDirLeft());
    EXPECT_FALSE(fs::exists(prefix() / "usr"));
    EXPECT_THAT(manager->installedPackages(), IsEmpty());
}

TEST_F(InstallFailure, TruncatedArchiveStopsBeforeCopyingOrRecording)
{
    // Manifest first and enough incompressible data for several compressed
    // blocks, so the first half unpacks the manifest and some files.
    fs::path const staging = sandbox.root() / "staging";
    PackageSpec spec{.name = "cut"};
    for (int i = 0; i < 4; ++i)
        spec.files["usr/share/cut/blob" + std::to_string(i)] = "";
    Vandrel::Test::stagePackage(staging, spec);
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(Vandrel::Test::runShell(
                      "head -c 600000 /dev/urandom > '" +
                      (staging / ("files/usr/share/cut/blob" + std::to_string(i))).string() + "'")
                      .status,
                  0);
    fs::path const whole = sandbox.root() / "whole.tar.bz2";
    ASSERT_EQ(Vandrel::Test::runShell("tar -cjf '" + whole.string() + "' -C '" + staging.string() +
                                      "' ./package.yml ./files")
                  .status,
              0);
    std::string const bytes = Vandrel::Test::readFile(whole);
    fs::path const cut = sandbox.root() / "cut.tar.bz2";
    std::ofstream(cut, std::ios::binary) << bytes.substr(0, bytes.size() / 2);

    fs::path const cwd = fs::current_path();
    EXPECT_EQ(installError(cut), "Failed to unpack package '" + cut.string() + "': tar exited with status 2");
    EXPECT_EQ(fs::current_path(), cwd);
    EXPECT_TRUE(noUnpackDirLeft());
    EXPECT_FALSE(fs::exists(prefix() / "usr"));
    EXPECT_THAT(manager->installedPackages(), IsEmpty());
}

TEST_F(InstallFailure, HostileArchivePathsReachTarAsOneArgument)
{
    fs::path const marker = sandbox.root() / "pwned";
    setenv("PWNED", marker.c_str(), 1);
    std::string const hostile =
        "a b 'single' \"double\" $(touch $PWNED) `touch $PWNED` ; touch $PWNED ;\ntouch $PWNED\n \\";
    fs::path const a =
        Vandrel::Test::makeArchive(sandbox.root() / hostile, {.name = "hostile", .files = {{"f", "x"}}});

    std::string const err = install(a);
    unsetenv("PWNED");
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_TRUE(manager->isInstall("hostile"));
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / "f"), "x");
    // The printed command line is the quoted form that ran.
    std::string quoted = a.string();
    for (size_t pos = 0; (pos = quoted.find('\'', pos)) != std::string::npos; pos += 4)
        quoted.replace(pos, 1, "'\\''");
    EXPECT_THAT(err, ::testing::HasSubstr("\ntar -xf '" + quoted + "'\n"));
}

TEST_F(InstallFailure, QuotesInNamesFilesAndDependenciesAreStoredVerbatim)
{
    std::string const hostile = "x'); DROP TABLE package; --";
    install(archive({.name = hostile,
                     .version = "1",
                     .depends = {"o'dep", "it''s"},
                     .files = {{"usr/share/it's", "q"}, {"usr/share/'); DELETE FROM file; --", "q"}}}));
    install(archive({.name = "o'dep", .files = {{"usr/bin/o'dep", "d"}}}));

    EXPECT_THAT(manager->installedPackages(), ElementsAre("o'dep", hostile));
    EXPECT_THAT(rows("SELECT name FROM file ORDER BY name"),
                ElementsAre("usr/bin/o'dep", "usr/share/'); DELETE FROM file; --", "usr/share/it's"));
    EXPECT_THAT(rows("SELECT dependency_name FROM dependency ORDER BY id"), ElementsAre("o'dep", "it''s"));
    EXPECT_THAT(manager->packagesToUninstall("o'dep"), ElementsAre(hostile, "o'dep"));
    uninstall("o'dep");
    EXPECT_THAT(manager->installedPackages(), IsEmpty());
    EXPECT_FALSE(fs::exists(prefix() / "usr"));
}

TEST_F(InstallFailure, RelativeDatabaseAndShareDirSurviveTheChangeOfDirectory)
{
    fs::create_directory_symlink(Vandrel::Test::shareDir(), sandbox.root() / "share");
    config.database = "state/packages.db";
    config.shareDir = "share";
    fs::path const a = archive({.name = "alpha", .files = {{"usr/bin/alpha", "a"}}});
    {
        WorkingDirectoryGuard inSandbox(sandbox.root());
        manager.emplace(config, false);
        manager->setInstallPrefix("prefix");
        install(a);
    }
    EXPECT_THAT(queryColumn(sandbox.root() / "state/packages.db", "SELECT name FROM package"),
                ElementsAre("alpha"));
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / "usr/bin/alpha"), "a");
    EXPECT_TRUE(manager->isInstall("alpha"));
}

class Uninstaller : public Installer {};

TEST_F(Uninstaller, RemovalOrderPutsDependentsFirstAndVisitsCyclesOnce)
{
    install(archive({.name = "alpha"}));
    install(archive({.name = "beta", .depends = {"alpha"}}));
    install(archive({.name = "gamma", .depends = {"alpha"}}));
    install(archive({.name = "delta", .depends = {"beta", "gamma"}}));
    EXPECT_THAT(manager->packagesToUninstall("alpha"), ElementsAre("delta", "beta", "gamma", "alpha"));
    EXPECT_THAT(manager->packagesToUninstall("delta"), ElementsAre("delta"));

    install(archive({.name = "x", .depends = {"y"}}));
    install(archive({.name = "y", .depends = {"x"}}));
    EXPECT_THAT(manager->packagesToUninstall("x"), ElementsAre("y", "x"));
    EXPECT_THROW(
        {
            try {
                manager->packagesToUninstall("nope");
            } catch (std::runtime_error const& e) {
                EXPECT_STREQ(e.what(), "Package not found: nope");
                throw;
            }
        },
        std::runtime_error);
}

TEST_F(Uninstaller, SharedFileStaysUntilItsLastOwnerGoes)
{
    install(archive({.name = "a", .files = {{"usr/share/common", "a"}, {"usr/share/a-only", "a"}}}));
    install(archive({.name = "b", .files = {{"usr/share/common", "b"}}}));
    uninstall("a");
    EXPECT_THAT(treePaths(prefix()), ::testing::Contains("usr/share/common"));
    EXPECT_FALSE(fs::exists(prefix() / "usr/share/a-only"));
    uninstall("b");
    EXPECT_FALSE(fs::exists(prefix() / "usr"));
}

TEST_F(Uninstaller, EmptyDirectoriesGoButNeverThePrefixOrAnythingElse)
{
    install(archive({.name = "a",
                     .files = {{"usr/share/doc/a/README", "r"}, {"usr/bin/a", "a"}, {"top", "t"}},
                     .symlinks = {{"usr/bin/link-out", "../../../outside"}},
                     .dirs = {"var/empty"}}));
    sandbox.writeFile("outside", "target of a link");
    sandbox.writeFile("prefix/usr/bin/unrecorded", "u");
    fs::remove(prefix() / "usr/share/doc/a/README"); // deleted by hand

    uninstall("a");
    EXPECT_THAT(treePaths(prefix()), ElementsAre("usr", "usr/bin", "usr/bin/unrecorded", "usr/share",
                                                 "usr/share/doc", "usr/share/doc/a", "var", "var/empty"));
    EXPECT_EQ(Vandrel::Test::readFile(sandbox.root() / "outside"), "target of a link");
    EXPECT_FALSE(manager->isInstall("a"));
}

TEST_F(Uninstaller, RecordedSymlinkIsRemovedAsALinkEvenWhenItNowPointsToADirectory)
{
    install(archive({.name = "a", .symlinks = {{"usr/bin/later", "../../../laterdir"}}}));
    sandbox.writeFile("laterdir/kept", "k");
    uninstall("a");
    EXPECT_FALSE(fs::exists(fs::symlink_status(prefix() / "usr/bin/later")));
    EXPECT_EQ(Vandrel::Test::readFile(sandbox.root() / "laterdir/kept"), "k");
    EXPECT_THAT(treePaths(prefix()), IsEmpty());
}

TEST_F(Uninstaller, RemovingEverythingKeepsThePrefixItself)
{
    install(archive({.name = "b", .files = {{"only", "o"}, {"usr/lib/deep/x", "x"}}}));
    uninstall("b");
    EXPECT_TRUE(fs::is_directory(prefix()));
    EXPECT_THAT(treePaths(prefix()), IsEmpty());
}

TEST_F(Uninstaller, RecordedNamesOutsideTheRootAreLeftAlone)
{
    install(archive({.name = "a", .files = {{"usr/a", "a"}}}));
    sandbox.writeFile("victim", "v");
    {
        SQLite::Database db(database().string(), SQLite::OPEN_READWRITE);
        db.exec("INSERT INTO file(package_id, name) SELECT id, '../victim' FROM package;"
                "INSERT INTO file(package_id, name) SELECT id, '.' FROM package;"
                "INSERT INTO file(package_id, name) SELECT id, '/' FROM package;"
                "INSERT INTO file(package_id, name) SELECT id, 'usr/..' FROM package;");
    }
    uninstall("a");
    EXPECT_EQ(Vandrel::Test::readFile(sandbox.root() / "victim"), "v");
    EXPECT_TRUE(fs::is_directory(prefix()));
    EXPECT_THAT(treePaths(prefix()), IsEmpty());
    EXPECT_THAT(manager->installedPackages(), IsEmpty());
}

// A host tree beside the prefix that no install or uninstall below the prefix
// may change: package links point into it.
class Confinement : public Installer {
  protected:
    void SetUp() override
    {
        Installer::SetUp();
        sandbox.writeFile("host/outside/x.txt", "host x");
        sandbox.writeFile("host/outside/conf", "host conf");
        sandbox.writeFile("host/lib/libc.so", "host libc");
        fs::permissions(host() / "outside", static_cast<fs::perms>(0750));
        fs::permissions(host() / "outside/conf", static_cast<fs::perms>(0640));
        before = snapshotTree(host());
    }

    fs::path host() const { return sandbox.root() / "host"; }
    // A host path as a name below the prefix: where an absolute link to it leads.
    static std::string insidePrefix(fs::path const& hostPath) { return hostPath.relative_path().string(); }

    Vandrel::Test::TreeSnapshot before;
};

TEST_F(Confinement, ClimbingRelativeLinkLeadsALaterPackageOnlyInsideThePrefix)
{
    install(archive({.name = "a", .symlinks = {{"planted", "../host/outside"}}, .dirs = {"host/outside"}}));
    install(archive({.name = "b", .files = {{"planted/x.txt", "from b"}, {"planted/new.txt", "new"}}}));
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / "host/outside/x.txt"), "from b");
    EXPECT_EQ(treeDifference(before, snapshotTree(host())), "");
    EXPECT_EQ(manager->findPackageFiles("b"), (std::vector<std::string>{"planted/new.txt", "planted/x.txt"}));

    uninstall("b");
    EXPECT_FALSE(fs::exists(prefix() / "host/outside/x.txt"));
    EXPECT_TRUE(fs::is_directory(prefix() / "host/outside"));
    uninstall("a");
    EXPECT_EQ(treeDifference(before, snapshotTree(host())), "");
    EXPECT_THAT(treePaths(prefix()), ElementsAre("host", "host/outside"));
}

TEST_F(Confinement, AbsoluteLinkInABuildFilesystemKeepsLaterPackagesOffTheHost)
{
    // As lib64 -> /lib would in a build filesystem; the host's directory is
    // the canary here, so a fault cannot reach the real /lib.
    std::string const hostLib = (host() / "lib").string();
    install(archive({.name = "base", .symlinks = {{"lib64", hostLib}}, .dirs = {insidePrefix(hostLib)}}));
    install(archive({.name = "libfoo", .files = {{"lib64/libfoo.so", "foo"}}}));
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / insidePrefix(hostLib) / "libfoo.so"), "foo");
    EXPECT_EQ(fs::read_symlink(prefix() / "lib64"), hostLib);
    EXPECT_EQ(treeDifference(before, snapshotTree(host())), "");

    uninstall("libfoo");
    EXPECT_FALSE(fs::exists(prefix() / insidePrefix(hostLib) / "libfoo.so"));
    EXPECT_EQ(treeDifference(before, snapshotTree(host())), "");
}

TEST_F(Confinement, LinkToAHostDirectoryMissingInThePrefixFailsAndRecordsNothing)
{
    install(archive({.name = "base", .symlinks = {{"lib64", (host() / "lib").string()}}}));
    EXPECT_THAT(installError(archive({.name = "libfoo", .files = {{"lib64/libfoo.so", "foo"}}})),
                ::testing::HasSubstr("cannot create directory"));
    EXPECT_FALSE(manager->isInstall("libfoo"));
    EXPECT_EQ(treeDifference(before, snapshotTree(host())), "");
}

TEST_F(Confinement, LinksToLinksResolveInsideThePrefix)
{
    install(archive({.name = "a",
                     .symlinks = {{"first", "second"}, {"second", "/third"}, {"third", "../../host/outside"}},
                     .dirs = {"host/outside"}}));
    install(archive({.name = "b", .files = {{"first/x.txt", "from b"}}}));
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / "host/outside/x.txt"), "from b");
    EXPECT_EQ(treeDifference(before, snapshotTree(host())), "");
    uninstall("b");
    EXPECT_FALSE(fs::exists(prefix() / "host/outside/x.txt"));
    EXPECT_EQ(treeDifference(before, snapshotTree(host())), "");
}

TEST_F(Confinement, FilesOverLinksOutOfThePrefixAreWrittenOnlyInside)
{
    install(archive({.name = "a",
                     .symlinks = {{"etc/relative", "../../host/outside/conf"},
                                  {"etc/absolute", (host() / "outside/conf").string()}},
                     .dirs = {"host/outside"}}));
    install(archive({.name = "b", .files = {{"etc/relative", "from b"}}}));
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / "host/outside/conf"), "from b");
    EXPECT_TRUE(fs::is_symlink(prefix() / "etc/relative"));
    // The absolute target's directory does not exist below the prefix.
    EXPECT_THAT(installError(archive({.name = "c", .files = {{"etc/absolute", "from c"}}})),
                ::testing::HasSubstr("No such file or directory"));
    EXPECT_FALSE(manager->isInstall("c"));
    EXPECT_EQ(treeDifference(before, snapshotTree(host())), "");
}

TEST_F(Confinement, DirectoryModesAreSetOnlyInside)
{
    install(archive({.name = "a", .symlinks = {{"planted", "../host/outside"}}, .dirs = {"host/outside"}}));
    fs::path const staging = sandbox.root() / "staging";
    Vandrel::Test::stagePackage(staging, {.name = "b", .files = {{"planted/f", "f"}}});
    fs::permissions(staging / "files/planted", static_cast<fs::perms>(0701));
    fs::path const b = sandbox.root() / "b.tar.bz2";
    Vandrel::Test::packDirectory(staging, b);
    install(b);
    EXPECT_EQ(fs::status(prefix() / "host/outside").permissions(), static_cast<fs::perms>(0701));
    EXPECT_EQ(treeDifference(before, snapshotTree(host())), "");
    EXPECT_EQ(fs::status(host() / "outside").permissions(), static_cast<fs::perms>(0750));
}

TEST_F(Confinement, ADatabaseDirectoryLinkedToTheHostKeepsTheDatabaseAndItsLockInside)
{
    // An absolute setting lands below the prefix, where its directory is a
    // link to a host directory, as a build script could leave it.
    config.database = "/var/lib/vdpk/packages.db";
    fs::create_directories(prefix() / "var/lib");
    fs::create_directories(prefix() / insidePrefix(host() / "outside"));
    fs::create_directory_symlink(host() / "outside", prefix() / "var/lib/vdpk");
    manager.emplace(config, false);
    manager->setInstallPrefix(prefix().string());
    install(archive({.name = "a", .files = {{"usr/bin/a", "a"}}}));
    EXPECT_EQ(manager->installedVersion("a"), "1.0");
    EXPECT_EQ(treeDifference(before, snapshotTree(host())), "");
    EXPECT_TRUE(fs::exists(prefix() / insidePrefix(host() / "outside") / "packages.db.lock"));
}

class SymlinkMembers : public Installer {};

TEST_F(SymlinkMembers, LinksToDirectoriesAreInstalledRecordedAndRemovedAsLinks)
{
    ASSERT_TRUE(fs::is_directory("/usr/lib")); // the absolute target exists on this machine
    install(archive({.name = "merged",
                     .files = {{"usr/lib64/libx.so", "x"}},
                     .symlinks = {{"usr/lib", "lib64"}, {"lib64", "/usr/lib"}, {"bin", "usr/bin"}},
                     .dirs = {"usr/bin"}}));
    EXPECT_EQ(fs::read_symlink(prefix() / "usr/lib"), "lib64");
    EXPECT_EQ(fs::read_symlink(prefix() / "lib64"), "/usr/lib");
    EXPECT_EQ(fs::read_symlink(prefix() / "bin"), "usr/bin");
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / "usr/lib/libx.so"), "x");
    EXPECT_THAT(rows("SELECT name FROM file ORDER BY name"),
                ElementsAre("bin", "lib64", "usr/lib", "usr/lib64/libx.so"));

    uninstall("merged");
    EXPECT_THAT(treePaths(prefix()), ElementsAre("usr", "usr/bin"));
    EXPECT_TRUE(fs::is_directory("/usr/lib"));
}

TEST_F(SymlinkMembers, ALaterPackageInstallsThroughALinkToADirectory)
{
    install(archive({.name = "layout", .symlinks = {{"usr/lib", "lib64"}}, .dirs = {"usr/lib64"}}));
    install(archive({.name = "lib", .files = {{"usr/lib/liby.so", "y"}}}));
    EXPECT_TRUE(fs::is_symlink(prefix() / "usr/lib"));
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / "usr/lib64/liby.so"), "y");
    uninstall("lib");
    EXPECT_FALSE(fs::exists(prefix() / "usr/lib64/liby.so"));
    EXPECT_TRUE(fs::is_symlink(prefix() / "usr/lib"));
}

class HardLinks : public Installer {};

TEST_F(HardLinks, HardLinkedNamesInAnArchiveBecomeIndependentFiles)
{
    install(archive(
        {.name = "tools", .files = {{"usr/bin/a", "same"}}, .hardLinks = {{"usr/bin/b", "usr/bin/a"}}}));
    struct stat a {
    }, b{};
    ASSERT_EQ(::stat((prefix() / "usr/bin/a").c_str(), &a), 0);
    ASSERT_EQ(::stat((prefix() / "usr/bin/b").c_str(), &b), 0);
    EXPECT_EQ(a.st_nlink, 1u);
    EXPECT_EQ(b.st_nlink, 1u);
    EXPECT_NE(a.st_ino, b.st_ino);

    install(archive({.name = "later", .files = {{"usr/bin/b", "new b"}}}));
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / "usr/bin/a"), "same");
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / "usr/bin/b"), "new b");
}

TEST_F(HardLinks, InstalledHardLinkedNameIsReplacedAndTheOtherKeepsItsContent)
{
    sandbox.writeFile("prefix/usr/bin/a", "old");
    fs::create_hard_link(prefix() / "usr/bin/a", prefix() / "usr/bin/b");
    install(archive({.name = "later", .files = {{"usr/bin/b", "new b"}}}));
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / "usr/bin/a"), "old");
    EXPECT_EQ(Vandrel::Test::readFile(prefix() / "usr/bin/b"), "new b");
    EXPECT_EQ(fs::hard_link_count(prefix() / "usr/bin/a"), 1u);
}

class SpecialDestinations : public Installer {
  protected:
    void SetUp() override
    {
        Installer::SetUp();
        // A write that blocks would end the test program here instead of hanging.
        ::alarm(60);
    }
    void TearDown() override
    {
        ::alarm(0);
        Installer::TearDown();
    }
};

TEST_F(SpecialDestinations, FifoIsRefusedByNameWithoutBlockingAndNothingIsRecorded)
{
    fs::create_directories(prefix() / "run");
    ASSERT_EQ(::mkfifo((prefix() / "run/pipe").c_str(), 0644), 0);
    fs::create_symlink("pipe", prefix() / "run/to-pipe");
    EXPECT_EQ(installError(archive({.name = "a", .files = {{"run/pipe", "x"}}})),
              "Cannot install file 'run/pipe' because destination '" + (prefix() / "run/pipe").string() +
                  "' is a FIFO");
    EXPECT_EQ(installError(archive({.name = "b", .files = {{"run/to-pipe", "x"}}})),
              "Cannot install file 'run/to-pipe' because destination '" +
                  (prefix() / "run/to-pipe").string() + "' is a FIFO");
    EXPECT_TRUE(fs::is_fifo(prefix() / "run/pipe"));
    EXPECT_THAT(manager->installedPackages(), IsEmpty());
}

TEST_F(SpecialDestinations, CharacterDeviceIsRefusedByName)
{
    fs::create_directories(prefix() / "dev");
    fs::path const device = prefix() / "dev/null-copy";
    if (::mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
        GTEST_SKIP() << "cannot create a device node here";
    EXPECT_EQ(installError(archive({.name = "a", .files = {{"dev/null-copy", "x"}}})),
              "Cannot install file 'dev/null-copy' because destination '" + device.string() +
                  "' is a character device");
    EXPECT_TRUE(fs::is_character_file(device));
    EXPECT_FALSE(manager->isInstall("a"));
}

} // namespace
} // namespace Vandrel::Linux::PmTest
