// Kills vdpk at named points of an install, an upgrade and an uninstall, runs
// the next command and checks what the user is left with: the package whole
// and recorded, or gone with all its files; no staged file, no unpack
// directory, a sound database.
#include "tests/support/Tree.hpp"
#include "tests/support/VdpkSandbox.hpp"

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>
#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace Vandrel::Test {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

enum class Operation { install, upgrade, removal };
// nothingStarted: killed before the journal entry, with only an unpack
// directory to clear.
enum class Outcome { rolledBack, completed, finishedBeforeTheKill, nothingStarted };

struct KillCase {
    Operation operation;
    std::string stopAt;
    Outcome outcome;
    // The command run after the kill: an install of another package, or an
    // uninstall of one. Both repair first.
    bool nextIsUninstall;

    friend void PrintTo(KillCase const& c, std::ostream* os) { *os << c.stopAt; }
};

constexpr int fileCount = 30;

// Files of the package the tests kill: "v" is the content that tells the
// versions apart.
std::map<std::string, std::string> targetFiles(std::string const& v, std::string const& onlyHere)
{
    std::map<std::string, std::string> files;
    for (int i = 0; i < fileCount; ++i)
        files[fmt::format("usr/lib/target/d{}/f{:02}", i % 3, i)] = v;
    files["usr/share/common/shared"] = v;
    files["usr/lib/target/" + onlyHere] = v;
    return files;
}

class KilledRuns : public ::testing::Test {
  protected:
    // Another package shares a file with the one killed, and a third one is
    // there for the next command to remove. With the target installed, a
    // package that depends on it is too.
    void installPackages(bool withTarget)
    {
        box.writePkgConfig();
        ASSERT_EQ(installFile({.name = "other",
                               .files = {{"usr/share/common/shared", "other"}, {"usr/bin/other", "o"}}}),
                  0);
        ASSERT_EQ(installFile({.name = "third", .files = {{"usr/bin/third", "t"}}}), 0);
        if (withTarget) {
            PackageSpec const target{
                .name = "target", .version = "1.0", .files = targetFiles("1", "old-only")};
            ASSERT_EQ(installFile(target), 0);
            // The dependency is looked up in the repository although installed.
            box.publish("core", target);
            box.serve();
            ASSERT_EQ(installFile({.name = "user", .depends = {"target"}, .files = {{"usr/bin/user", "u"}}}),
                      0);
        }
    }

    int installFile(PackageSpec const& spec, std::map<std::string, std::optional<std::string>> env = {})
    {
        fs::path const archive = makeArchive(box.root() / "archives", spec);
        last = box.vdpkWith({"--install", "--file", archive.string()}, {.env = std::move(env)});
        return last.status;
    }

    fs::path database() const { return box.prefix() / box.databasePath().relative_path(); }

    std::vector<std::string> column(std::string const& sql) const
    {
        SQLite::Database db(database().string(), SQLite::OPEN_READONLY);
        SQLite::Statement query(db, sql);
        std::vector<std::string> values;
        while (query.executeStep())
            values.push_back(query.getColumn(0).getString());
        return values;
    }

    std::vector<std::string> stagedNames() const
    {
        std::vector<std::string> found;
        for (auto const& path : treePaths(box.prefix()))
            if (path.find(".vdpk-new") != std::string::npos || path.find(".vdpk-old") != std::string::npos)
                found.push_back(path);
        return found;
    }

    std::vector<std::string> unpackDirs() const
    {
        std::vector<std::string> found;
        for (auto const& entry : fs::directory_iterator(box.tmpDir()))
            if (entry.is_directory() && entry.path().filename().string().rfind("vdpk-", 0) == 0)
                found.push_back(entry.path().filename().string());
        return found;
    }

    // The target's files that are on disk, with their content.
    std::map<std::string, std::string> targetOnDisk() const
    {
        std::map<std::string, std::string> found;
        for (auto const& path : treePaths(box.prefix() / "usr/lib/target"))
            if (fs::is_regular_file(box.prefix() / "usr/lib/target" / path))
                found["usr/lib/target/" + path] = readFile(box.prefix() / "usr/lib/target" / path);
        return found;
    }

    static std::map<std::string, std::string> onlyTarget(std::map<std::string, std::string> files)
    {
        files.erase("usr/share/common/shared");
        return files;
    }

    VdpkSandbox box;
    RunResult last;
};

class VdpkRecovery : public KilledRuns, public ::testing::WithParamInterface<KillCase> {
  protected:
    void SetUp() override { installPackages(GetParam().operation != Operation::install); }
};

TEST_P(VdpkRecovery, TheNextRunRepairsTheKilledOne)
{
    KillCase const& c = GetParam();
    std::map<std::string, std::optional<std::string>> const stop = {{"VDPK_TEST_STOP_AT", c.stopAt}};
    std::string const operationName = c.operation == Operation::install   ? "install"
                                      : c.operation == Operation::upgrade ? "upgrade"
                                                                          : "removal";
    std::string const version = c.operation == Operation::upgrade ? "2.0" : "1.0";
    if (c.operation == Operation::removal) {
        // No prompt: nothing depends on the target once its user is gone.
        ASSERT_EQ(box.vdpk({"--uninstall", "user"}).status, 0);
        last = box.vdpkWith({"--uninstall", "target"}, {.env = stop});
    } else {
        installFile(
            {.name = "target", .version = version, .files = targetFiles(version.substr(0, 1), "new-only")},
            stop);
    }
    ASSERT_EQ(last.status, 128 + SIGKILL) << last.err;
    // What the kill left, and the repair must clear.
    if (c.operation != Operation::removal) {
        EXPECT_THAT(unpackDirs(), Not(IsEmpty()));
        if (c.stopAt == "half-way" || c.stopAt == "before-commit") {
            EXPECT_THAT(stagedNames(), Not(IsEmpty()));
        }
    }

    std::string const repairLine =
        fmt::format("{} the interrupted {} of package target {}\n",
                    c.outcome == Outcome::rolledBack ? "Rolled back" : "Completed", operationName, version);
    RunResult const list = box.vdpk({"--list"});
    ASSERT_EQ(list.status, 0) << list.err;
    bool const nothingPending =
        c.outcome == Outcome::finishedBeforeTheKill || c.outcome == Outcome::nothingStarted;
    if (nothingPending) {
        EXPECT_EQ(list.err, "");
    } else {
        EXPECT_EQ(list.err,
                  fmt::format("Warning: an interrupted {} of package target {} is pending; the next "
                              "--install or --uninstall finishes or undoes it\n",
                              operationName, version));
        // Listing shows the recorded state and changes nothing.
        EXPECT_THAT(column("SELECT count(*) FROM journal"), ElementsAre("1"));
    }

    RunResult const next =
        c.nextIsUninstall ? box.vdpk({"--uninstall", "third"})
                          : box.vdpkWith({"--install", "--file",
                                          makeArchive(box.root() / "archives",
                                                      {.name = "fourth", .files = {{"usr/bin/fourth", "4"}}})
                                              .string()},
                                         {});
    ASSERT_EQ(next.status, 0) << next.err;
    if (nothingPending)
        EXPECT_THAT(next.err, Not(HasSubstr("interrupted")));
    else
        EXPECT_THAT(next.err, ::testing::StartsWith(repairLine));
    // The next command did its own work as well.
    EXPECT_EQ(fs::exists(box.prefix() / "usr/bin/third"), !c.nextIsUninstall);
    EXPECT_EQ(fs::exists(box.prefix() / "usr/bin/fourth"), !c.nextIsUninstall);

    bool const newState = c.outcome == Outcome::completed || c.outcome == Outcome::finishedBeforeTheKill;
    std::map<std::string, std::string> expectedFiles;
    std::vector<std::string> expectedVersion;
    if (c.operation == Operation::upgrade || (c.operation == Operation::install && newState)) {
        std::string const v = newState ? version : "1.0";
        expectedFiles = onlyTarget(targetFiles(v.substr(0, 1), newState ? "new-only" : "old-only"));
        expectedVersion = {v};
    }
    EXPECT_EQ(targetOnDisk(), expectedFiles);
    EXPECT_EQ(column("SELECT version FROM package WHERE name = 'target'"), expectedVersion);
    EXPECT_THAT(column("SELECT count(*) FROM file f JOIN package p ON f.package_id = p.id WHERE p.name = "
                       "'target'"),
                ElementsAre(std::to_string(expectedVersion.empty() ? 0 : fileCount + 2)));
    // The dependent of an upgraded package stays, whichever way it went.
    if (c.operation == Operation::upgrade) {
        EXPECT_EQ(readFile(box.prefix() / "usr/bin/user"), "u");
    }
    // Another package's file is never taken away with the target.
    EXPECT_EQ(readFile(box.prefix() / "usr/share/common/shared"),
              newState && c.operation != Operation::removal ? version.substr(0, 1)
              : c.operation == Operation::install           ? "other"
                                                            : "1");
    EXPECT_THAT(stagedNames(), IsEmpty());
    EXPECT_THAT(unpackDirs(), IsEmpty());
    EXPECT_THAT(column("SELECT count(*) FROM journal"), ElementsAre("0"));
    EXPECT_THAT(column("PRAGMA integrity_check"), ElementsAre("ok"));
}

INSTANTIATE_TEST_SUITE_P(
    Kills, VdpkRecovery,
    ::testing::Values(KillCase{Operation::install, "after-unpack", Outcome::nothingStarted, true},
                      KillCase{Operation::install, "after-journal", Outcome::rolledBack, true},
                      KillCase{Operation::install, "half-way", Outcome::rolledBack, false},
                      KillCase{Operation::install, "before-commit", Outcome::rolledBack, true},
                      KillCase{Operation::install, "after-commit", Outcome::completed, false},
                      KillCase{Operation::upgrade, "after-unpack", Outcome::nothingStarted, false},
                      KillCase{Operation::upgrade, "after-journal", Outcome::rolledBack, false},
                      KillCase{Operation::upgrade, "half-way", Outcome::rolledBack, true},
                      KillCase{Operation::upgrade, "before-commit", Outcome::rolledBack, false},
                      KillCase{Operation::upgrade, "after-commit", Outcome::completed, true},
                      KillCase{Operation::removal, "after-journal", Outcome::completed, true},
                      KillCase{Operation::removal, "half-way", Outcome::completed, false},
                      KillCase{Operation::removal, "before-commit", Outcome::completed, true},
                      KillCase{Operation::removal, "after-commit", Outcome::finishedBeforeTheKill, false}),
    [](auto const& info) {
        KillCase const& c = info.param;
        std::string name = c.operation == Operation::install   ? "Install"
                           : c.operation == Operation::upgrade ? "Upgrade"
                                                               : "Removal";
        for (char ch : c.stopAt)
            if (ch != '-')
                name += ch;
        return name;
    });

class VdpkRemovalOfSeveral : public KilledRuns {};

TEST_F(VdpkRemovalOfSeveral, AKilledRemovalIsFinishedForEveryConfirmedPackage)
{
    installPackages(true);
    // Killed once the dependent is removed and recorded so, before the target.
    last = box.vdpkWith({"--uninstall", "target"},
                        {.input = "y\n", .env = {{"VDPK_TEST_STOP_AT", "after-commit"}}});
    ASSERT_EQ(last.status, 128 + SIGKILL) << last.err;
    EXPECT_THAT(last.err, HasSubstr("Are you sure you want to delete 2 packages? [y/N] "));
    EXPECT_EQ(column("SELECT name FROM package ORDER BY name"),
              (std::vector<std::string>{"other", "target", "third"}));
    EXPECT_THAT(box.vdpk({"--list"}).err,
                HasSubstr("Warning: an interrupted removal of package target 1.0 is pending"));

    RunResult const next = box.vdpk({"--uninstall", "third"});
    ASSERT_EQ(next.status, 0) << next.err;
    EXPECT_THAT(next.err, ::testing::StartsWith("Completed the interrupted removal of package target 1.0\n"));
    EXPECT_EQ(column("SELECT name FROM package ORDER BY name"), (std::vector<std::string>{"other"}));
    EXPECT_THAT(treePaths(box.prefix() / "usr"),
                ElementsAre("bin", "bin/other", "share", "share/common", "share/common/shared"));
    EXPECT_THAT(column("SELECT count(*) FROM journal"), ElementsAre("0"));
    EXPECT_THAT(column("PRAGMA integrity_check"), ElementsAre("ok"));
}

} // namespace
} // namespace Vandrel::Test
