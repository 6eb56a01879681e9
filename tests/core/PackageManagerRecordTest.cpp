// Recording a package keeps every name exactly as given, whatever bytes it
// holds, and a failing insert names the row and leaves nothing of the package.
#include "core/PackageManager.hpp"

#include "tests/core/PackageManagerTestSupport.hpp"
#include "tests/support/DatabaseDump.hpp"
#include "tests/support/Errors.hpp"

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

namespace Vandrel::Linux::PmTest {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAreArray;
using Vandrel::Test::databaseDump;
using Vandrel::Test::messageOf;

void createByScripts(PkgConfig const& config)
{
    SQLite::Database db(config.database, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    for (char const* file :
         {"drop-everything.sql", "package.sql", "file.sql", "dependency.sql", "details.sql", "journal.sql"})
        db.exec(config.readSharedFile(std::string("vdpk/sql/") + file));
}

std::string hex(std::string const& bytes)
{
    std::string text;
    for (unsigned char c : bytes)
        text += fmt::format("{:02X}", c);
    return text;
}

std::vector<std::string> hexOf(std::vector<std::string> const& names)
{
    std::vector<std::string> hexes;
    for (auto const& name : names)
        hexes.push_back(hex(name));
    return hexes;
}

// Names that quoting or text conversion would get wrong.
std::vector<std::string> hostileFiles()
{
    return {"usr/bin/alpha",
            "usr/share/it's",
            "usr/share/''",
            "usr/share/x'); DROP TABLE file; --",
            "usr/share/with space",
            "usr/share/new\nline\ttab",
            "usr/share/\xc3\xbcnic\xc3\xb6"
            "de",
            "usr/share/not-utf8-\xff\xfe\x80",
            "usr/share/%s%n?1:a@b$c",
            "usr/share/back\\slash;semi",
            "usr/share/" + std::string(3000, 'L'),
            "7"};
}

std::vector<std::string> manyFiles(std::string const& dir, int count)
{
    std::vector<std::string> files;
    for (int i = 0; i < count; ++i)
        files.push_back(fmt::format("usr/{}/part{}/f{}", dir, i / 40, i));
    return files;
}

class RecordedRows : public PackageManagerTest {
  protected:
    void SetUp() override
    {
        PackageManagerTest::SetUp();
        Vandrel::Test::CapturedStderr captured;
        pm.emplace(config, false);
        pm->db();
        captured.text();
    }

    std::vector<std::string> column(std::string const& sql) const
    {
        return queryColumn(sandbox.databasePath(), sql);
    }

    std::optional<PackageManager> pm;
};

class NewDatabase : public PackageManagerTest {};

TEST_F(NewDatabase, HasTheScriptsSchemaEntryForEntry)
{
    PkgConfig byScripts = config;
    byScripts.database = (sandbox.root() / "by-scripts.db").string();
    createByScripts(byScripts);
    Vandrel::Test::CapturedStderr captured;
    PackageManager(config, false).db();
    EXPECT_EQ(captured.text(), "Creating new database...\n");

    auto const dump = databaseDump(config.database);
    EXPECT_EQ(dump, databaseDump(byScripts.database));
    // Six tables and seven indexes, each with its root page and text.
    EXPECT_EQ(dump.size(), 13u);
    EXPECT_THAT(tablesAndIndexes(config.database),
                ElementsAreArray({"dependency", "file", "file_detail", "i_dependency_by_name",
                                  "i_dependency_by_package_name", "i_file_by_name", "i_file_by_package",
                                  "i_file_by_package_name", "i_file_detail_by_package_name", "i_package",
                                  "journal", "package", "package_detail"}));
}

TEST_F(RecordedRows, NamesAreStoredByteForByteAsText)
{
    std::vector<std::string> const depends{"beta", "o'brien", "d''q", "x'); DROP TABLE package; --"};
    pm->saveIntoDb(makePackage("alpha", "1.2'rc", depends), hostileFiles());
    pm->saveIntoDb(makePackage("it's", "3"), {"usr/bin/alpha", "usr/share/it's"});

    EXPECT_THAT(column("SELECT hex(name) FROM file WHERE package_id = 1 ORDER BY rowid"),
                ElementsAreArray(hexOf(hostileFiles())));
    EXPECT_THAT(column("SELECT hex(dependency_name) FROM dependency ORDER BY id"),
                ElementsAreArray(hexOf(depends)));
    EXPECT_THAT(column("SELECT hex(name) || ' ' || hex(version) FROM package ORDER BY id"),
                ElementsAre(hex("alpha") + " " + hex("1.2'rc"), hex("it's") + " " + hex("3")));
    // Every value is text, "7" included; ids are integers.
    EXPECT_THAT(column("SELECT DISTINCT typeof(name) || ':' || typeof(package_id) FROM file"),
                ElementsAre("text:integer"));
    EXPECT_THAT(column("SELECT DISTINCT typeof(dependency_name) FROM dependency"), ElementsAre("text"));
    EXPECT_THAT(pm->findPackageFiles("alpha"), UnorderedElementsAreArray(hostileFiles()));
    EXPECT_EQ(pm->installedVersion("alpha"), "1.2'rc");
    EXPECT_THAT(pm->findDirectDependents("o'brien"), ElementsAre("alpha"));
}

TEST_F(RecordedRows, IdsFollowSqliteRowidsAfterRemovals)
{
    pm->saveIntoDb(makePackage("alpha", "1"), {"usr/bin/alpha"});
    pm->saveIntoDb(makePackage("beta", "2.0"), {});
    pm->saveIntoDb(makePackage("gamma", "0.1", {"alpha"}), manyFiles("lib/gamma", 2000));
    pm->saveIntoDb(makePackage("it's", "3"), {"usr/bin/alpha"});
    pm->removePackageFromDb(pm->findPackageId("beta"));
    pm->removePackageFromDb(pm->findPackageId("it's"));
    pm->saveIntoDb(makePackage("delta", "4", {"gamma"}), manyFiles("share/delta", 100));

    EXPECT_THAT(column("SELECT id || ' ' || name FROM package ORDER BY id"),
                ElementsAre("1 alpha", "3 gamma", "4 delta"));
    EXPECT_THAT(
        column("SELECT package_id || ' ' || count(*) FROM file GROUP BY package_id ORDER BY package_id"),
        ElementsAre("1 1", "3 2000", "4 100"));
    EXPECT_THAT(column("SELECT package_id || ' ' || dependency_name FROM dependency ORDER BY id"),
                ElementsAre("3 alpha", "4 gamma"));
}

TEST_F(RecordedRows, AFailingInsertNamesItsRowAndLeavesNothingOfThePackage)
{
    pm->saveIntoDb(makePackage("alpha", "1"), {"usr/bin/alpha"});
    auto const before = databaseDump(sandbox.databasePath());

    EXPECT_THAT(messageOf([&] { pm->saveIntoDb(makePackage("alpha", "2"), {"usr/bin/other"}); }),
                ::testing::StartsWith("Failed to save package 'alpha' into package database\n"));
    EXPECT_THAT(
        messageOf([&] {
            pm->saveIntoDb(makePackage("beta", "1"), {"usr/bin/b'1", "usr/bin/b2", "usr/bin/b'1"});
        }),
        ::testing::StartsWith("Failed to save file 'usr/bin/b'1' for package id 2 into package database\n"));
    std::string const error = messageOf([&] {
        pm->saveIntoDb(makePackage("gamma", "1", {"x'y", "z", "x'y"}), {"usr/bin/gamma"});
    });
    EXPECT_THAT(error, ::testing::StartsWith("Failed to save dependency 'x'y' for package id 2 into package "
                                             "database\n"));
    EXPECT_THAT(error,
                ::testing::EndsWith("sqlite message: UNIQUE constraint failed: dependency.package_id, "
                                    "dependency.dependency_name\n"
                                    "sql: insert into dependency(package_id, dependency_name) values(2, "
                                    "'x''y')"));
    EXPECT_EQ(databaseDump(sandbox.databasePath()), before);
}

TEST_F(RecordedRows, AMissingTableIsReportedForTheFirstRowThatNeedsIt)
{
    pm->db().exec("DROP TABLE dependency");
    // No dependencies: the table is never needed.
    pm->saveIntoDb(makePackage("alpha", "1"), {"usr/bin/alpha"});
    EXPECT_THAT(messageOf([&] { pm->saveIntoDb(makePackage("beta", "1", {"alpha"}), {"usr/bin/beta"}); }),
                ::testing::HasSubstr("sqlite message: no such table: dependency\n"));
    pm->db().exec("DROP TABLE file");
    std::string const actual =
        messageOf([&] { pm->saveIntoDb(makePackage("gamma", "1"), {"usr/bin/g'amma"}); });
    EXPECT_THAT(actual, ::testing::StartsWith("Failed to save file 'usr/bin/g'amma' for package id 2 into "
                                              "package database\n"));
    EXPECT_THAT(actual,
                ::testing::EndsWith("sqlite error code: 1\n"
                                    "sqlite extended error code: 1\n"
                                    "sqlite error string: SQL logic error\n"
                                    "sqlite message: no such table: file\n"
                                    "sql: insert into file(package_id, name) values(2, 'usr/bin/g''amma')"));
    EXPECT_THAT(pm->installedPackages(), ElementsAre("alpha"));
}

class SchemaCreation : public PackageManagerTest {};

TEST_F(SchemaCreation, AFailingScriptLeavesTheExistingDatabaseAsItWas)
{
    // A recreation that breaks half-way must not have dropped the installed
    // packages already.
    Vandrel::Test::CapturedStderr captured;
    PackageManager(config, false).saveIntoDb(makePackage("alpha", "1", {"beta"}), {"usr/bin/alpha"});
    captured.text();
    auto const before = databaseDump(sandbox.databasePath());

    fs::path const share = sandbox.root() / "share";
    fs::create_directories(share / "vdpk");
    fs::copy(Vandrel::Test::shareDir() / "vdpk", share / "vdpk", fs::copy_options::recursive);
    sandbox.writeFile("share/vdpk/sql/file.sql", "CREATE TABLE file (name text);\nCREATE TABLE (;\n");
    PkgConfig broken = config;
    broken.shareDir = share.string();

    PackageManager recreating(broken, true);
    Vandrel::Test::CapturedStderr recreation;
    std::string error;
    try {
        recreating.db();
    } catch (std::runtime_error const& e) {
        error = e.what();
    }
    EXPECT_EQ(recreation.text(), "Creating new database...\n");
    EXPECT_THAT(error, ::testing::StartsWith("Failed to execute SQL file 'vdpk/sql/file.sql'\n"));
    EXPECT_EQ(databaseDump(sandbox.databasePath()), before);
    EXPECT_EQ(PackageManager(config, false).installedVersion("alpha"), "1");
}

TEST_F(SchemaCreation, AFailedCreationIsRetriedOnTheNextOpen)
{
    fs::path const share = sandbox.root() / "share";
    fs::create_directories(share / "vdpk");
    fs::copy(Vandrel::Test::shareDir() / "vdpk", share / "vdpk", fs::copy_options::recursive);
    sandbox.writeFile("share/vdpk/sql/dependency.sql", "CREATE TABLE (;\n");
    PkgConfig broken = config;
    broken.shareDir = share.string();

    Vandrel::Test::CapturedStderr captured;
    EXPECT_THROW(PackageManager(broken, false).db(), std::runtime_error);
    EXPECT_THAT(tablesAndIndexes(sandbox.databasePath()), IsEmpty());
    PackageManager(config, false).saveIntoDb(makePackage("alpha", "1"), {"usr/bin/alpha"});
    EXPECT_EQ(captured.text(), "Creating new database...\nCreating new database...\n");
    EXPECT_EQ(tablesAndIndexes(sandbox.databasePath()).size(), 13u);
    EXPECT_THAT(PackageManager(config, false).findPackageFiles("alpha"), ElementsAre("usr/bin/alpha"));
}

} // namespace
} // namespace Vandrel::Linux::PmTest
