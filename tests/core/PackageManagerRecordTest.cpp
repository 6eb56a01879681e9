// Recording a package must leave exactly the database that one insert text
// per row, with every value written as a quoted SQL literal, used to leave:
// same schema, same rows, same row ids, same bytes, and the same error texts.
// The literal-text way is kept here, and only here, as the reference.
#include "core/PackageManager.hpp"

#include "tests/core/PackageManagerTestSupport.hpp"
#include "tests/support/DatabaseDump.hpp"
#include "tests/support/Errors.hpp"

#include <SQLiteCpp/Transaction.h>
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

// --- the reference: schema by four separate scripts, rows by literal texts ---

std::string literal(std::string_view text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += '\'';
        quoted += c;
    }
    return quoted + "'";
}

void createByScripts(PkgConfig const& config)
{
    SQLite::Database db(config.database, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    for (char const* file :
         {"drop-everything.sql", "package.sql", "file.sql", "dependency.sql", "details.sql", "journal.sql"})
        db.exec(config.readSharedFile(std::string("vdpk/sql/") + file));
}

// A dump without the rows of the detail tables, which the literal way never
// wrote (they hold an install time); their schema entries stay.
std::vector<std::string> withoutDetailRows(std::vector<std::string> dump)
{
    std::erase_if(dump, [](std::string const& line) {
        return line.starts_with("package_detail ") || line.starts_with("file_detail ");
    });
    return dump;
}

// The error text a failing literal insert produced.
std::string literalError(PackageManager const& pm, std::string const& context, std::string const& sql,
                         SQLite::Database& db)
{
    try {
        db.exec(sql);
    } catch (SQLite::Exception const& e) {
        try {
            pm.throwSqlError(context, e, sql);
        } catch (std::runtime_error const& error) {
            return error.what();
        }
    }
    return "<no error>";
}

// Records like saveIntoDb did with literal texts; returns the error text of the
// first failing insert, or nothing.
std::optional<std::string> recordByLiterals(PackageManager& pm, Package const& package,
                                            std::vector<std::string> const& files)
{
    SQLite::Database& db = pm.db();
    SQLite::Transaction transaction(db);
    std::string const packageSql = "insert into package(name, version) values(" + literal(package.name) +
                                   ", " + literal(package.version) + ")";
    std::string error = literalError(
        pm, fmt::format("Failed to save package '{}' into package database", package.name), packageSql, db);
    if (error != "<no error>")
        return error;
    int const id = static_cast<int>(db.getLastInsertRowid());
    for (auto const& file : files) {
        error = literalError(
            pm, fmt::format("Failed to save file '{}' for package id {} into package database", file, id),
            fmt::format("insert into file(package_id, name) values({}, {})", id, literal(file)), db);
        if (error != "<no error>")
            return error;
    }
    for (auto const& dependency : package.depends) {
        error =
            literalError(pm,
                         fmt::format("Failed to save dependency '{}' for package id {} into package database",
                                     dependency, id),
                         fmt::format("insert into dependency(package_id, dependency_name) values({}, {})", id,
                                     literal(dependency)),
                         db);
        if (error != "<no error>")
            return error;
    }
    transaction.commit();
    return std::nullopt;
}

std::optional<std::string> recordByStatements(PackageManager& pm, Package const& package,
                                              std::vector<std::string> const& files)
{
    try {
        pm.saveIntoDb(package, files);
    } catch (std::runtime_error const& error) {
        return error.what();
    }
    return std::nullopt;
}

// Names that a literal text has to get exactly right.
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

// Two databases side by side: "reference" written the literal way, "tested"
// through PackageManager.
class RecordedRows : public PackageManagerTest {
  protected:
    void SetUp() override
    {
        PackageManagerTest::SetUp();
        referenceConfig = config;
        referenceConfig.database = (sandbox.root() / "reference.db").string();
        testedConfig = config;
        testedConfig.database = (sandbox.root() / "tested.db").string();
    }

    // Creates both databases, each its own way, and opens a manager on each the
    // way a later run would (which also runs the migration step).
    void createBoth()
    {
        createByScripts(referenceConfig);
        Vandrel::Test::CapturedStderr captured;
        PackageManager(testedConfig, false).db();
        captured.text();
        reference.emplace(referenceConfig, false);
        tested.emplace(testedConfig, false);
    }

    // The same recording on both sides, with the same outcome.
    void recordBoth(Package const& package, std::vector<std::string> const& files)
    {
        auto const expected = recordByLiterals(*reference, package, files);
        auto actual = recordByStatements(*tested, package, files);
        // The error names its own database file; everything else is the same.
        if (actual)
            *actual = replaceAll(*actual, testedConfig.database, referenceConfig.database);
        EXPECT_EQ(actual, expected) << "package " << package.name;
    }

    static std::string replaceAll(std::string text, std::string const& from, std::string const& to)
    {
        for (size_t pos = 0; (pos = text.find(from, pos)) != std::string::npos; pos += to.size())
            text.replace(pos, from.size(), to);
        return text;
    }

    std::vector<std::string> referenceDump() const { return databaseDump(referenceConfig.database); }
    std::vector<std::string> testedDump() const
    {
        return withoutDetailRows(databaseDump(testedConfig.database));
    }

    PkgConfig referenceConfig;
    PkgConfig testedConfig;
    std::optional<PackageManager> reference;
    std::optional<PackageManager> tested;
};

TEST_F(RecordedRows, NewDatabaseHasTheScriptsSchemaEntryForEntry)
{
    createByScripts(referenceConfig);
    Vandrel::Test::CapturedStderr captured;
    PackageManager(testedConfig, false).db();
    EXPECT_EQ(captured.text(), "Creating new database...\n");

    auto const dump = testedDump();
    EXPECT_EQ(dump, referenceDump());
    // Six tables and seven indexes, each with its root page and text.
    EXPECT_EQ(dump.size(), 13u);
    EXPECT_THAT(tablesAndIndexes(testedConfig.database),
                ElementsAreArray({"dependency", "file", "file_detail", "i_dependency_by_name",
                                  "i_dependency_by_package_name", "i_file_by_name", "i_file_by_package",
                                  "i_file_by_package_name", "i_file_detail_by_package_name", "i_package",
                                  "journal", "package", "package_detail"}));
}

TEST_F(RecordedRows, PackagesFilesAndDependenciesMatchTheLiteralTextsByteForByte)
{
    createBoth();
    recordBoth(makePackage("alpha", "1.2'rc", {"beta", "o'brien", "d''q", "x'); DROP TABLE package; --"}),
               hostileFiles());
    recordBoth(makePackage("beta", "2.0"), {});
    recordBoth(makePackage("gamma", "0.1", {"alpha"}), manyFiles("lib/gamma", 2000));
    // Shared file names across packages are allowed.
    recordBoth(makePackage("it's", "3"), {"usr/bin/alpha", "usr/share/it's"});
    // Ids after a removal in the middle and at the end.
    reference->removePackageFromDb(reference->findPackageId("beta"));
    tested->removePackageFromDb(tested->findPackageId("beta"));
    reference->removePackageFromDb(reference->findPackageId("it's"));
    tested->removePackageFromDb(tested->findPackageId("it's"));
    recordBoth(makePackage("delta", "4", {"gamma"}), manyFiles("share/delta", 100));

    auto const dump = testedDump();
    EXPECT_EQ(dump, referenceDump());
    // Not two equal mistakes: what was asked for is what a query returns.
    EXPECT_THAT(tested->findPackageFiles("alpha"), UnorderedElementsAreArray(hostileFiles()));
    EXPECT_EQ(tested->installedVersion("alpha"), "1.2'rc");
    EXPECT_THAT(queryColumn(testedConfig.database,
                            "SELECT typeof(name) || ':' || typeof(package_id) FROM file "
                            "WHERE name = '7'"),
                ElementsAre("text:integer"));
    EXPECT_THAT(queryColumn(testedConfig.database, "SELECT id || ' ' || name FROM package ORDER BY id"),
                ElementsAre("1 alpha", "3 gamma", "4 delta"));
    EXPECT_THAT(tested->findDirectDependents("o'brien"), ElementsAre("alpha"));
}

TEST_F(RecordedRows, FailingInsertsReportWhatTheLiteralTextsReported)
{
    createBoth();
    recordBoth(makePackage("alpha", "1"), {"usr/bin/alpha"});
    auto const before = testedDump();
    ASSERT_EQ(before, referenceDump());

    // Each failure names the row and shows it as a literal text; nothing of the
    // failed package stays.
    recordBoth(makePackage("alpha", "2"), {"usr/bin/other"});
    recordBoth(makePackage("beta", "1"), {"usr/bin/b'1", "usr/bin/b2", "usr/bin/b'1"});
    recordBoth(makePackage("gamma", "1", {"x'y", "z", "x'y"}), {"usr/bin/gamma"});
    EXPECT_EQ(testedDump(), before);

    std::string actual =
        recordByStatements(*tested, makePackage("gamma", "1", {"x'y", "x'y"}), {}).value_or("");
    EXPECT_EQ(actual, "Failed to save dependency 'x'y' for package id 2 into package database\n"
                      "database: '" +
                          testedConfig.database +
                          "'\n"
                          "sqlite error code: 19\n"
                          "sqlite extended error code: 2067\n"
                          "sqlite error string: constraint failed\n"
                          "sqlite message: UNIQUE constraint failed: dependency.package_id, "
                          "dependency.dependency_name\n"
                          "sql: insert into dependency(package_id, dependency_name) values(2, 'x''y')");
    EXPECT_EQ(testedDump(), before);
}

TEST_F(RecordedRows, AMissingTableIsReportedForTheFirstRowThatNeedsIt)
{
    createBoth();
    reference->db().exec("DROP TABLE dependency");
    tested->db().exec("DROP TABLE dependency");
    // No dependencies: the table is never needed.
    recordBoth(makePackage("alpha", "1"), {"usr/bin/alpha"});
    recordBoth(makePackage("beta", "1", {"alpha"}), {"usr/bin/beta"});
    reference->db().exec("DROP TABLE file");
    tested->db().exec("DROP TABLE file");
    recordBoth(makePackage("gamma", "1"), {"usr/bin/g'amma"});

    std::string const actual =
        recordByStatements(*tested, makePackage("gamma", "1"), {"usr/bin/g'amma"}).value_or("");
    EXPECT_THAT(actual, ::testing::StartsWith("Failed to save file 'usr/bin/g'amma' for package id 2 into "
                                              "package database\n"));
    EXPECT_THAT(actual,
                ::testing::EndsWith("sqlite error code: 1\n"
                                    "sqlite extended error code: 1\n"
                                    "sqlite error string: SQL logic error\n"
                                    "sqlite message: no such table: file\n"
                                    "sql: insert into file(package_id, name) values(2, 'usr/bin/g''amma')"));
    EXPECT_EQ(testedDump(), referenceDump());
    EXPECT_THAT(tested->installedPackages(), ElementsAre("alpha"));
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
