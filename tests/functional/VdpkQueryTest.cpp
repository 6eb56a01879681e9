// The read-only queries of vdpk, run as a user would on a small prefix:
// --owner, --files, --info, --verify and --orphans.
#include "tests/support/DatabaseDump.hpp"
#include "tests/support/LockHolder.hpp"
#include "tests/support/Paths.hpp"
#include "tests/support/VdpkSandbox.hpp"

#include <SQLiteCpp/Database.h>
#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <ostream>

namespace Vandrel::Test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

// app depends on lib; app is asked for by name, lib comes with it. Both
// record usr/share/common/README.
class VdpkQuery : public ::testing::Test {
  protected:
    void SetUp() override
    {
        box.publish("linux",
                    {.name = "lib",
                     .files = {{"usr/lib/libx.so", "library\n"}, {"usr/share/common/README", "same\n"}},
                     .symlinks = {{"usr/lib/libx.so.1", "libx.so"}}});
        box.publish("linux",
                    {.name = "app",
                     .depends = {"lib"},
                     .files = {{"usr/bin/app", "#!/bin/sh\n"}, {"usr/share/common/README", "same\n"}}});
        box.serve();
        RunResult const r = box.vdpk({"--install", "app"}, "y\n");
        ASSERT_EQ(r.status, 0) << r.err;
    }

    std::string path(std::string const& name) const { return (box.prefix() / name).string(); }
    fs::path database() const { return box.prefix() / box.databasePath().relative_path(); }

    VdpkSandbox box;
};

TEST_F(VdpkQuery, OwnerNamesEveryPackageThatRecordedThePath)
{
    RunResult r = box.vdpk({"--owner", path("usr/share/common/README")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "app\nlib\n");
    EXPECT_EQ(r.err, "");
    // Relative to the working directory (the sandbox), lexically, and after "=".
    r = box.vdpk({"--owner=prefix/usr/lib/../bin/app"});
    EXPECT_EQ(r.out, "app\n") << r.err;
    r = box.vdpk({"--owner", "prefix/usr/lib/libx.so.1"});
    EXPECT_EQ(r.out, "lib\n") << r.err;

    r = box.vdpk({"--owner", path("usr/lib")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, errorOutput("No installed package owns '" + path("usr/lib") + "'"));
    r = box.vdpk({"--owner", "/etc/passwd"});
    EXPECT_EQ(r.err,
              errorOutput("'/etc/passwd' is not below the install root '" + box.prefix().string() + "'"));
}

TEST_F(VdpkQuery, FilesListsTheRecordedPathsSortedAsTheyLieOnDisk)
{
    RunResult r = box.vdpk({"--files", "lib"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, path("usr/lib/libx.so") + "\n" + path("usr/lib/libx.so.1") + "\n" +
                         path("usr/share/common/README") + "\n");
    r = box.vdpk({"--files", "nothing"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, errorOutput("Package not found: nothing"));
    r = box.vdpk({"--files"});
    EXPECT_EQ(r.err, errorOutput("Option '--files' requires a package name"));
}

TEST_F(VdpkQuery, InfoShowsOneKeyValueLineEach)
{
    RunResult r = box.vdpk({"--info", "lib"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, MatchesRegex("Name: lib\n"
                                    "Version: 1.0\n"
                                    "Depends:\n"
                                    "Required-By: app\n"
                                    "Install-Reason: dependency\n"
                                    "Files: 3\n"
                                    "Size: 13\n"
                                    "Installed: 20[0-9][0-9]-[01][0-9]-[0-3][0-9]T[0-9:]{8}Z\n"));
    r = box.vdpk({"--info", "app"});
    EXPECT_THAT(r.out,
                HasSubstr("Depends: lib\nRequired-By:\nInstall-Reason: requested\nFiles: 2\nSize: 15\n"));
}

TEST_F(VdpkQuery, OrphansAreDependenciesThatNothingInstalledNeedsAnyMore)
{
    RunResult r = box.vdpk({"--orphans"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    ASSERT_EQ(box.vdpk({"--uninstall", "app"}).status, 0);
    r = box.vdpk({"--orphans"});
    EXPECT_EQ(r.out, "lib\n");
    // Asked for by name, it is wanted again.
    ASSERT_EQ(box.vdpk({"--install", "lib"}).status, 0);
    EXPECT_EQ(box.vdpk({"--orphans"}).out, "");
}

TEST_F(VdpkQuery, QueriesNeitherLockNorWriteNorCreateTheDatabase)
{
    std::string const before = readFile(database());
    LockHolder const lock(database().string() + ".lock");
    for (std::vector<std::string> args :
         std::vector<std::vector<std::string>>{{"--owner", path("usr/bin/app")},
                                               {"--files", "app"},
                                               {"--info", "app"},
                                               {"--verify"},
                                               {"--orphans"}}) {
        args.push_back("--init-database");
        RunResult const r = box.vdpk(args);
        EXPECT_EQ(r.status, 0) << args[0] << ": " << r.err;
    }
    EXPECT_EQ(readFile(database()), before);

    fs::path const elsewhere = box.root() / "empty-root";
    RunResult const r = box.vdpk({"--orphans"}, std::nullopt, elsewhere);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, errorOutput("No package database at '" +
                                 (elsewhere / box.databasePath().relative_path()).string() + "'"));
    EXPECT_FALSE(fs::exists(elsewhere));
}

TEST_F(VdpkQuery, TwoQueriesOrAQueryWithAnInstallAreRefused)
{
    EXPECT_EQ(box.vdpk({"--files", "app", "--orphans"}).err,
              errorOutput("Options '--files' and '--orphans' cannot be combined"));
    EXPECT_EQ(box.vdpk({"--verify", "--uninstall", "app"}).err,
              errorOutput("Option '--verify' cannot be combined with '--uninstall'"));
    EXPECT_EQ(box.vdpk({"--list"}).out, "app\nlib\n");
}

// One kind of change on disk and the line --verify prints for it.
struct Tampering {
    char const* name;
    std::function<void(fs::path const& prefix)> change;
    char const* file;
    char const* line; // after "<path>"; empty: no finding
};

void PrintTo(Tampering const& tampering, std::ostream* out)
{
    *out << tampering.name;
}

class VdpkVerify : public VdpkQuery, public ::testing::WithParamInterface<Tampering> {};

TEST_P(VdpkVerify, ReportsEachDifferenceOnceAndFailsForIt)
{
    GetParam().change(box.prefix());
    RunResult const r = box.vdpk({"--verify"});
    std::string const line = GetParam().line;
    if (line.empty()) {
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "");
        return;
    }
    std::string const expected = fmt::format(fmt::runtime(line), path(GetParam().file));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, expected + "\n");
    EXPECT_EQ(r.err, errorOutput("1 installed file differs from what was installed"));
    // Only a package that holds the file fails.
    std::string const file = GetParam().file;
    bool const ofApp = file == "usr/bin/app" || file == "usr/share/common/README";
    EXPECT_EQ(box.vdpk({"--verify", "app"}).status, ofApp ? 1 : 0);
}

void write(fs::path const& file, std::string const& content)
{
    fs::remove(file);
    FILE* out = std::fopen(file.c_str(), "w");
    std::fputs(content.c_str(), out);
    std::fclose(out);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, VdpkVerify,
    ::testing::Values(
        Tampering{"Untouched", [](fs::path const&) {}, "", ""},
        Tampering{"OneByte", [](fs::path const& p) { write(p / "usr/bin/app", "#!/bin/sx\n"); },
                  "usr/bin/app", "changed: {} (sha256)"},
        Tampering{"Longer", [](fs::path const& p) { write(p / "usr/lib/libx.so", "library!\n"); },
                  "usr/lib/libx.so", "changed: {} (size, sha256)"},
        Tampering{"Mode", [](fs::path const& p) { fs::permissions(p / "usr/bin/app", fs::perms::owner_all); },
                  "usr/bin/app", "changed: {} (mode)"},
        Tampering{"Removed", [](fs::path const& p) { fs::remove(p / "usr/bin/app"); }, "usr/bin/app",
                  "missing: {}"},
        Tampering{"LinkTarget",
                  [](fs::path const& p) {
                      fs::remove(p / "usr/lib/libx.so.1");
                      fs::create_symlink("libx.so.0", p / "usr/lib/libx.so.1");
                  },
                  "usr/lib/libx.so.1", "changed: {} (target)"},
        Tampering{"LinkBecameFile", [](fs::path const& p) { write(p / "usr/lib/libx.so.1", "library\n"); },
                  "usr/lib/libx.so.1", "changed: {} (type)"},
        // Recorded by both packages, reported once.
        Tampering{"SharedFile", [](fs::path const& p) { write(p / "usr/share/common/README", "other\n"); },
                  "usr/share/common/README", "changed: {} (size, sha256)"}),
    [](auto const& info) { return std::string(info.param.name); });

TEST(VdpkVerifyOldDatabase, FilesWithoutDetailsAreUnverifiableAndPackagesRequested)
{
    VdpkSandbox box;
    // The schema and rows of a database an older vdpk wrote.
    fs::path const database = box.prefix() / box.databasePath().relative_path();
    fs::create_directories(database.parent_path());
    {
        SQLite::Database db(database.string(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        for (char const* file : {"package.sql", "file.sql", "dependency.sql"})
            db.exec(readFile(shareDir() / "vdpk/sql" / file));
        db.exec("INSERT INTO package(id, name, version) VALUES (1, 'old', '0.9');"
                "INSERT INTO file VALUES (1, 'usr/bin/old');"
                "INSERT INTO dependency(dependency_name, package_id) VALUES ('gone', 1)");
    }
    box.writeFile("prefix/usr/bin/old", "old\n");
    auto const before = databaseDump(database);

    RunResult r = box.vdpk({"--verify"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "unverifiable: " + (box.prefix() / "usr/bin/old").string() + "\n");
    r = box.vdpk({"--info", "old"});
    EXPECT_EQ(r.out, "Name: old\nVersion: 0.9\nDepends: gone\nRequired-By:\nInstall-Reason: requested\n"
                     "Files: 1\nSize: unknown\nInstalled: unknown\n");
    EXPECT_EQ(box.vdpk({"--orphans"}).out, "");
    // Read-only: the old database stays as it was, without the new tables.
    EXPECT_EQ(databaseDump(database), before);
}

} // namespace
} // namespace Vandrel::Test
