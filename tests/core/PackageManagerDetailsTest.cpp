// What the installer records of each installed file and package beside the
// file rows, and that removal and upgrade keep those records in step.
#include "core/FileDetails.hpp"
#include "core/PackageManager.hpp"

#include "tests/core/PackageManagerTestSupport.hpp"
#include "tests/support/Archive.hpp"
#include "tests/support/Errors.hpp"
#include "tests/support/Run.hpp"

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace Vandrel::Linux::PmTest {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Vandrel::Test::PackageSpec;

// sha256sum's verdict on a text, to check the digest against another implementation.
std::string sha256sumOf(Vandrel::Test::Sandbox const& sandbox, std::string const& content)
{
    fs::path const file = sandbox.writeFile("digest-input", content);
    auto const r = Vandrel::Test::runShell("sha256sum " + file.string());
    return r.out.substr(0, 64);
}

class RecordedDetails : public PackageManagerTest {
  protected:
    void SetUp() override
    {
        PackageManagerTest::SetUp();
        captured.emplace();
        manager.emplace(config, false);
        manager->setInstallPrefix(prefix().string());
    }
    void TearDown() override
    {
        captured.reset();
        PackageManagerTest::TearDown();
    }

    void install(PackageSpec const& spec, InstallReason reason = InstallReason::requested)
    {
        manager->install(Vandrel::Test::makeArchive(sandbox.root() / "archives", spec).string(), reason);
    }
    std::vector<std::string> rows(std::string const& sql) const
    {
        return queryColumn(prefixedDatabase(), sql);
    }

    std::optional<Vandrel::Test::CapturedStderr> captured;
    std::optional<PackageManager> manager;
};

TEST_F(RecordedDetails, RecordsTypeModeOwnerSizeDigestAndLinkTargetOfEveryInstalledFile)
{
    std::string const content(200'000, 'x');
    install({.name = "alpha",
             .files = {{"usr/bin/alpha", content}, {"usr/share/alpha/empty", ""}},
             .symlinks = {{"usr/bin/al", "alpha"}}});
    std::string const owner = fmt::format("{}:{}", ::getuid(), ::getgid());
    EXPECT_THAT(
        rows("SELECT name || ' ' || type || ' ' || printf('%o', mode) || ' ' || uid || ':' || gid || "
             "' ' || size || ' ' || ifnull(sha256, '-') || ' ' || ifnull(link_target, '-') "
             "FROM file_detail ORDER BY name"),
        ElementsAre("usr/bin/al link 777 " + owner + " 5 - alpha",
                    "usr/bin/alpha file 644 " + owner + " 200000 " + sha256sumOf(sandbox, content) + " -",
                    "usr/share/alpha/empty file 644 " + owner + " 0 " + sha256sumOf(sandbox, "") + " -"));
    EXPECT_THAT(rows("SELECT reason || ' ' || (installed_at > 0) FROM package_detail"),
                ElementsAre("requested 1"));
}

TEST_F(RecordedDetails, TheByteCopyFeedsTheDigestWhenFilesAreCopiedNotMoved)
{
    // copyFiles on a directory the installer does not own copies every file.
    std::string const content = Vandrel::Test::incompressibleData(300'000);
    Vandrel::Test::stagePackage(sandbox.root() / "stage",
                                {.name = "beta", .files = {{"usr/lib/beta.so", content}}});
    auto const files = manager->copyFiles(sandbox.root() / "stage");
    // A list that is not the one copyFiles returned gets no file details, even of the same length.
    manager->saveIntoDb(makePackage("delta", "1"), {"usr/lib/delta.so"});
    EXPECT_THAT(rows("SELECT count(*) FROM file_detail"), ElementsAre("0"));
    manager->saveIntoDb(makePackage("beta", "1"), files, InstallReason::dependency);
    EXPECT_TRUE(fs::exists(sandbox.root() / "stage/files/usr/lib/beta.so"));
    EXPECT_THAT(rows("SELECT sha256 FROM file_detail"), ElementsAre(sha256sumOf(sandbox, content)));
    EXPECT_THAT(
        rows("SELECT p.name || ' ' || reason FROM package_detail r JOIN package p ON p.id = r.package_id "
             "ORDER BY p.name"),
        ElementsAre("beta dependency", "delta requested"));
    EXPECT_THAT(rows("SELECT count(*) FROM file_detail"), ElementsAre("1"));
}

TEST_F(RecordedDetails, RemovalDropsTheRowsAndAnUpgradeKeepsARequestedPackageRequested)
{
    install({.name = "lib", .files = {{"usr/lib/lib.so", "1"}}}, InstallReason::dependency);
    install({.name = "app", .depends = {"lib"}, .files = {{"usr/bin/app", "1"}}});
    EXPECT_EQ(manager->installReason("lib"), InstallReason::dependency);
    install({.name = "app", .version = "2.0", .depends = {"lib"}, .files = {{"usr/bin/app", "22"}}},
            InstallReason::dependency);
    EXPECT_EQ(manager->installReason("app"), InstallReason::requested);
    EXPECT_THAT(rows("SELECT f.name || ' ' || d.size FROM file_detail d JOIN file f ON f.package_id = "
                     "d.package_id AND f.name = d.name ORDER BY f.name"),
                ElementsAre("usr/bin/app 2", "usr/lib/lib.so 1"));

    // Asking for an installed dependency by name makes it requested.
    install({.name = "lib", .files = {{"usr/lib/lib.so", "1"}}});
    EXPECT_EQ(manager->installReason("lib"), InstallReason::requested);

    manager->uninstall("lib");
    EXPECT_THAT(rows("SELECT count(*) FROM file_detail"), ElementsAre("0"));
    EXPECT_THAT(rows("SELECT count(*) FROM package_detail"), ElementsAre("0"));
    EXPECT_EQ(manager->installReason("lib"), std::nullopt);
}

TEST_F(RecordedDetails, AnOldDatabaseGainsTheTablesAndCountsItsPackagesAsRequested)
{
    fs::create_directories(prefixedDatabase().parent_path());
    {
        SQLite::Database old(prefixedDatabase().string(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        for (char const* file : {"package.sql", "file.sql", "dependency.sql"})
            old.exec(config.readSharedFile(std::string("vdpk/sql/") + file));
        old.exec("INSERT INTO package(id, name, version) VALUES (1, 'old', '1');"
                 "INSERT INTO file VALUES (1, 'usr/bin/old')");
    }
    EXPECT_EQ(manager->installReason("old"), InstallReason::requested);
    EXPECT_THAT(rows("SELECT name FROM sqlite_master WHERE name LIKE '%detail%' ORDER BY name"),
                ElementsAre("file_detail", "i_file_detail_by_package_name", "package_detail"));
    EXPECT_THAT(rows("SELECT count(*) FROM file_detail"), ElementsAre("0"));
}

TEST(Sha256Text, RoundTripsAndRefusesWhatIsNotADigest)
{
    Sha256 hash;
    hash.update("abc", 3);
    std::string const hex = toHex(hash.finish());
    EXPECT_EQ(hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(toHex(*digestFromHex(hex)), hex);
    EXPECT_EQ(digestFromHex(hex.substr(1)), std::nullopt);
    EXPECT_EQ(digestFromHex(std::string(64, 'G')), std::nullopt);
}

} // namespace
} // namespace Vandrel::Linux::PmTest
