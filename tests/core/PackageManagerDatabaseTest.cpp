#include "core/PackageManager.hpp"

#include "tests/core/PackageManagerTestSupport.hpp"
#include "tests/support/Errors.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>

namespace Vandrel::Linux::PmTest {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Vandrel::Test::messageOf;

std::vector<std::string> const fullSchema = {"dependency",
                                             "file",
                                             "file_detail",
                                             "i_dependency_by_name",
                                             "i_dependency_by_package_name",
                                             "i_file_by_name",
                                             "i_file_by_package",
                                             "i_file_by_package_name",
                                             "i_file_detail_by_package_name",
                                             "i_package",
                                             "journal",
                                             "package",
                                             "package_detail"};

class DatabaseOpen : public PackageManagerTest {};

TEST_F(DatabaseOpen, QueriesThatOnlyReadNeverCreateTheFile)
{
    PackageManager manager(config, true);
    EXPECT_THAT(manager.installedPackages(), IsEmpty());
    EXPECT_EQ(manager.installedVersion("alpha"), std::nullopt);
    EXPECT_FALSE(manager.isInstall("alpha"));
    EXPECT_FALSE(fs::exists(sandbox.databasePath().parent_path()));
}

TEST_F(DatabaseOpen, FindPackageIdCreatesAnEmptyDatabaseThenReportsTheMissingPackage)
{
    PackageManager manager(config, false);
    Vandrel::Test::CapturedStderr captured;
    std::string const error = messageOf([&] { manager.findPackageId("x"); });
    EXPECT_EQ(captured.text(), "Creating new database...\n");
    EXPECT_EQ(error, "Package not found: x");
    EXPECT_EQ(tablesAndIndexes(sandbox.databasePath()), fullSchema);
}

TEST_F(DatabaseOpen, AnEmptyFileIsTreatedAsNew)
{
    sandbox.writeFile("db/packages.db", "");
    PackageManager manager(config, false);
    Vandrel::Test::CapturedStderr captured;
    EXPECT_THAT(manager.installedPackages(), IsEmpty());
    EXPECT_EQ(captured.text(), "Creating new database...\n");
    EXPECT_EQ(tablesAndIndexes(sandbox.databasePath()), fullSchema);
}

TEST_F(DatabaseOpen, OldDatabaseGainsVersionColumnAndRebuiltIndexes)
{
    fs::create_directories(sandbox.databasePath().parent_path());
    {
        SQLite::Database old(sandbox.databasePath().string(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        old.exec("CREATE TABLE package (id integer primary key, name text);"
                 "CREATE TABLE file (package_id integer, name text);"
                 "CREATE INDEX i_package ON package(name);"
                 "CREATE INDEX i_file_by_name ON file(package_id);"
                 "INSERT INTO package(id, name) VALUES (1, 'beta'), (2, 'alpha');"
                 "INSERT INTO file VALUES (1, 'usr/bin/beta');");
    }
    PackageManager manager(config, false);
    Vandrel::Test::CapturedStderr captured;
    EXPECT_THAT(manager.installedPackages(), ElementsAre("alpha", "beta"));
    EXPECT_EQ(captured.text(), "");
    EXPECT_EQ(manager.installedVersion("beta"), "0");
    EXPECT_THAT(manager.findPackageFiles("beta"), ElementsAre("usr/bin/beta"));
    EXPECT_EQ(tablesAndIndexes(sandbox.databasePath()), fullSchema);
    EXPECT_THAT(queryColumn(sandbox.databasePath(), "SELECT sql FROM sqlite_master WHERE name = 'i_package'"),
                ElementsAre("CREATE UNIQUE INDEX i_package ON package(name)"));
    EXPECT_THAT(
        queryColumn(sandbox.databasePath(), "SELECT sql FROM sqlite_master WHERE name = 'i_file_by_name'"),
        ElementsAre("CREATE INDEX i_file_by_name ON file(name)"));
}

TEST_F(DatabaseOpen, InitDatabaseRecreatesOnlyOnTheFirstOpen)
{
    config.database = "state/packages.db"; // relative: the prefix change below keeps the file
    WorkingDirectoryGuard inSandbox(sandbox.root());
    PackageManager(config, false).savePackageIntoDb(makePackage("old", "1"));

    PackageManager manager(config, true);
    Vandrel::Test::CapturedStderr captured;
    EXPECT_THAT(manager.installedPackages(), IsEmpty());
    manager.savePackageIntoDb(makePackage("new", "1"));
    manager.setInstallPrefix(prefix().string());
    EXPECT_THAT(manager.installedPackages(), ElementsAre("new"));
    EXPECT_EQ(captured.text(), "Creating new database...\n");
}

TEST_F(DatabaseOpen, MissingSqlFileFailsWithTheSharedFileError)
{
    config.shareDir = (sandbox.root() / "noshare").string();
    PackageManager manager(config, false);
    Vandrel::Test::CapturedStderr captured;
    EXPECT_EQ(messageOf([&] { manager.db(); }),
              "Could not open file: " + config.shareDir + "/vdpk/sql/drop-everything.sql");
    captured.text();
}

class DatabaseLocation : public PackageManagerTest {};

TEST_F(DatabaseLocation, AbsoluteSettingMovesUnderThePrefix)
{
    config.database = "/d/x.db";
    PackageManager manager(config, false);
    EXPECT_EQ(manager.databaseFilePath(), "/d/x.db");
    manager.setInstallPrefix((sandbox.root() / "p").string());
    EXPECT_EQ(manager.databaseFilePath(), (sandbox.root() / "p/d/x.db").string());
    Vandrel::Test::CapturedStderr captured;
    manager.db();
    captured.text();
    EXPECT_TRUE(fs::is_regular_file(sandbox.root() / "p/d/x.db"));
}

TEST_F(DatabaseLocation, RelativeSettingIsNotPrefixedAndKeepsItsStartingDirectory)
{
    config.database = "rel/x.db";
    config.shareDir = "share";
    fs::create_directory_symlink(Vandrel::Test::shareDir(), sandbox.root() / "share");
    std::optional<PackageManager> manager;
    {
        WorkingDirectoryGuard inSandbox(sandbox.root());
        manager.emplace(config, false);
        manager->setInstallPrefix("p");
    }
    EXPECT_EQ(manager->databaseFilePath(), (sandbox.root() / "rel/x.db").string());
    EXPECT_EQ(manager->destinationPath("usr/bin/tool"), (sandbox.root() / "p/usr/bin/tool").string());
    Vandrel::Test::CapturedStderr captured;
    manager->savePackageIntoDb(makePackage("alpha", "1"));
    captured.text();
    EXPECT_THAT(queryColumn(sandbox.root() / "rel/x.db", "SELECT name FROM package"), ElementsAre("alpha"));
}

TEST_F(DatabaseLocation, EmptyPrefixIsAFilesystemError)
{
    PackageManager manager(config, false);
    EXPECT_THROW(manager.setInstallPrefix(""), fs::filesystem_error);
}

class DatabaseRecords : public PackageManagerTest {
  protected:
    void SetUp() override
    {
        PackageManagerTest::SetUp();
        pm.emplace(config, false);
        Vandrel::Test::CapturedStderr captured;
        pm->db();
        captured.text();
    }
    std::optional<PackageManager> pm;
};

TEST_F(DatabaseRecords, QueriesSeeWhatWasSaved)
{
    pm->saveIntoDb(makePackage("beta", "2.0", {"alpha"}), {"usr/bin/beta", "usr/share/common"});
    pm->saveIntoDb(makePackage("alpha", "1.0"), {"usr/share/common"});
    pm->saveIntoDb(makePackage("gamma", "1.0", {"alpha", "zeta"}), {});

    EXPECT_THAT(pm->installedPackages(), ElementsAre("alpha", "beta", "gamma"));
    EXPECT_EQ(pm->installedVersion("beta"), "2.0");
    EXPECT_TRUE(pm->isInstall("gamma"));
    EXPECT_THAT(pm->findPackageFiles("beta"), ElementsAre("usr/bin/beta", "usr/share/common"));
    EXPECT_THAT(pm->findDirectDependents("alpha"), ::testing::UnorderedElementsAre("beta", "gamma"));
    EXPECT_THAT(pm->findDirectDependents("gamma"), IsEmpty());
    int const beta = pm->findPackageId("beta");
    EXPECT_TRUE(pm->hasOtherFileOwners("usr/share/common", beta));
    EXPECT_FALSE(pm->hasOtherFileOwners("usr/bin/beta", beta));
    EXPECT_TRUE(pm->hasOtherFileOwners("usr/bin/beta", beta + 100));
}

TEST_F(DatabaseRecords, DuplicateNameFailsWithTheFullSqlErrorAndStoresNothing)
{
    pm->saveIntoDb(makePackage("alpha", "1.0"), {"usr/bin/alpha"});
    std::string const error =
        messageOf([&] { pm->saveIntoDb(makePackage("alpha", "2.0", {"beta"}), {"usr/bin/other"}); });
    EXPECT_EQ(error, "Failed to save package 'alpha' into package database\n"
                     "database: '" +
                         sandbox.databasePath().string() +
                         "'\n"
                         "sqlite error code: 19\n"
                         "sqlite extended error code: 2067\n"
                         "sqlite error string: constraint failed\n"
                         "sqlite message: UNIQUE constraint failed: package.name\n"
                         "sql: insert into package(name, version) values('alpha', '2.0')");
    EXPECT_THAT(queryColumn(sandbox.databasePath(), "SELECT name FROM file"), ElementsAre("usr/bin/alpha"));
    EXPECT_THAT(queryColumn(sandbox.databasePath(), "SELECT version FROM package"), ElementsAre("1.0"));
}

TEST_F(DatabaseRecords, DuplicateFileFailsNamingTheFileAndRollsBackThePackage)
{
    std::string const error = messageOf([&] {
        pm->saveIntoDb(makePackage("alpha", "1.0"), {"usr/it's", "usr/it's"});
    });
    EXPECT_THAT(error, ::testing::StartsWith("Failed to save file 'usr/it's' for package id 1 into package "
                                             "database\ndatabase: '"));
    EXPECT_THAT(error,
                ::testing::EndsWith("\nsql: insert into file(package_id, name) values(1, 'usr/it''s')"));
    EXPECT_THAT(pm->installedPackages(), IsEmpty());
}

TEST_F(DatabaseRecords, QuotesAndInjectionAttemptsAreStoredVerbatim)
{
    std::string const hostile = "x'); DROP TABLE package; --";
    pm->saveIntoDb(makePackage(hostile, "1"), {"usr/share/it's here", "usr/'"});
    pm->saveIntoDb(makePackage("o'brien", "1", {hostile, "d''q"}), {});
    EXPECT_THAT(pm->installedPackages(), ElementsAre("o'brien", hostile));
    EXPECT_THAT(pm->findPackageFiles(hostile), ElementsAre("usr/'", "usr/share/it's here"));
    EXPECT_THAT(queryColumn(sandbox.databasePath(), "SELECT dependency_name FROM dependency ORDER BY id"),
                ElementsAre(hostile, "d''q"));
    EXPECT_THAT(pm->findDirectDependents(hostile), ElementsAre("o'brien"));
}

TEST_F(DatabaseRecords, BrokenSqlFileReportsFileDatabaseAndText)
{
    fs::path const share = sandbox.root() / "share";
    sandbox.writeFile("share/vdpk/sql/bad.sql", "CREATE TABLE (;");
    config.shareDir = share.string();
    PackageManager other(config, false);
    Vandrel::Test::CapturedStderr captured;
    std::string const error = messageOf([&] { other.executeSqlFromFile("bad.sql"); });
    captured.text();
    EXPECT_EQ(error, "Failed to execute SQL file 'vdpk/sql/bad.sql'\n"
                     "database: '" +
                         sandbox.databasePath().string() +
                         "'\n"
                         "sqlite error code: 1\n"
                         "sqlite extended error code: 1\n"
                         "sqlite error string: SQL logic error\n"
                         "sqlite message: near \"(\": syntax error\n"
                         "sql: CREATE TABLE (;");
}

} // namespace
} // namespace Vandrel::Linux::PmTest
