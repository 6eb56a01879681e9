// Runs the built vdpk as a user would: usage text, option forms and their
// precedence, the configuration directory, error format and exit status.
#include "tests/support/Paths.hpp"
#include "tests/support/Run.hpp"
#include "tests/support/Sandbox.hpp"

#include <SQLiteCpp/SQLiteCpp.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace Vandrel::Test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// The one copy of the usage text, which the program embeds at build time.
std::string const usage = readFile(sourceDir() / "vdpk/usage.txt");

// A database at `path` made from the shipped SQL files, holding the given packages.
void seedDatabase(fs::path const& path, std::vector<std::string> const& names)
{
    fs::create_directories(path.parent_path());
    SQLite::Database db(path.string(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    for (char const* file : {"drop-everything.sql", "package.sql", "file.sql", "dependency.sql"})
        db.exec(readFile(shareDir() / "vdpk/sql" / file));
    for (auto const& name : names) {
        SQLite::Statement insert(db, "insert into package(name, version) values(?, '1.0')");
        insert.bind(1, name);
        insert.exec();
    }
}

class VdpkHelp : public ::testing::Test {};

TEST_F(VdpkHelp, PrintsTheExactUsageTextOnStandardOutput)
{
    auto r = runVdpk({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, usage);
    EXPECT_EQ(r.err, "");
}

TEST_F(VdpkHelp, WinsOverEveryOtherOptionWithoutReadingTheConfiguration)
{
    auto r = runVdpk({"--list", "--help", "--config", "/nonexistent/dir"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, usage);
    r = runVdpk({"--help"}, {.env = {{"VDPK_CONFIG", "/nonexistent/dir"}}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, usage);
}

TEST_F(VdpkHelp, ShortHIsNotHelpButAnIgnoredFlag)
{
    Sandbox box;
    box.writePkgConfig();
    auto r = runVdpk({"-h", "--config", box.configDir().string()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

class VdpkErrors : public ::testing::Test {
  protected:
    Sandbox box;
};

TEST_F(VdpkErrors, MissingConfigurationFileIsReportedInTheErrorFormat)
{
    auto r = runVdpk({"--list", "--config", box.configDir().string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, StartsWith("Error: "));
    EXPECT_THAT(r.err, HasSubstr((box.configDir() / "pkg.yml").string()));
    EXPECT_THAT(r.err, ::testing::EndsWith("\nUse --help for help.\n"));
}

TEST_F(VdpkErrors, MissingKeyNamesTheKeyAndTheFile)
{
    box.writeFile("etc/pkg.yml", "database: /x.db\nshareDir: /s\n");
    auto r = runVdpk({"-l", "-c", box.configDir().string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              errorOutput("Missing required field 'pkgRepoUrl' in " + box.configDir().string() + "/pkg.yml"));
}

TEST_F(VdpkErrors, InstallWithoutPackageNameFails)
{
    box.writePkgConfig();
    auto r = runVdpk({"--install", "--config", box.configDir().string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, errorOutput("Package name cannot be empty"));
}

TEST_F(VdpkErrors, EmptyArgumentIsAnEmptyPackageNameNotACrash)
{
    box.writePkgConfig();
    auto r = runVdpk({"--install", "", "--config", box.configDir().string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, errorOutput("Package name cannot be empty"));
}

TEST_F(VdpkErrors, UninstallOfAPackageThatIsNotInstalled)
{
    box.writePkgConfig();
    seedDatabase(box.databasePath(), {"alpha"});
    auto r = runVdpk({"--uninstall", "beta", "--config", box.configDir().string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, errorOutput("Package not found: beta"));
}

TEST_F(VdpkErrors, ArgumentThatReadsAsANumberIsPositional)
{
    box.writePkgConfig();
    seedDatabase(box.databasePath(), {});
    auto r = runVdpk({"--uninstall", "-5", "-c", box.configDir().string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, errorOutput("Package not found: -5"));
}

TEST_F(VdpkErrors, FileWithoutArchivePathFailsCleanly)
{
    box.writePkgConfig();
    auto r = runVdpk({"--install", "--file", "-c", box.configDir().string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, StartsWith("Error: "));
    EXPECT_THAT(r.err, ::testing::EndsWith("\nUse --help for help.\n"));
}

class VdpkConfigDirectory : public ::testing::Test {
  protected:
    VdpkConfigDirectory()
    {
        // Two configurations whose databases hold different packages, so the
        // listing shows which one was read.
        first.writePkgConfig();
        seedDatabase(first.databasePath(), {"from-first"});
        second.writePkgConfig();
        seedDatabase(second.databasePath(), {"from-second"});
    }
    std::string firstDir() const { return first.configDir().string(); }
    std::string secondDir() const { return second.configDir().string(); }

    Sandbox first;
    Sandbox second;
};

TEST_F(VdpkConfigDirectory, LongFormWithEqualsAndShortFormWithSeparateValue)
{
    EXPECT_EQ(runVdpk({"--list", "--config=" + firstDir()}).out, "from-first\n");
    EXPECT_EQ(runVdpk({"-l", "-c", secondDir()}).out, "from-second\n");
    EXPECT_EQ(runVdpk({"-l", "-c=" + secondDir()}).out, "from-second\n");
}

TEST_F(VdpkConfigDirectory, LongFormWinsOverShortFormWhateverTheOrder)
{
    EXPECT_EQ(runVdpk({"-l", "-c", secondDir(), "--config", firstDir()}).out, "from-first\n");
    EXPECT_EQ(runVdpk({"-l", "--config", firstDir(), "-c", secondDir()}).out, "from-first\n");
}

TEST_F(VdpkConfigDirectory, FirstValueOfAnOptionWins)
{
    EXPECT_EQ(runVdpk({"-l", "--config", secondDir(), "--config", firstDir()}).out, "from-second\n");
}

TEST_F(VdpkConfigDirectory, OnlyTheFirstWordOfTheValueCounts)
{
    EXPECT_EQ(runVdpk({"-l", "--config", "  " + firstDir() + " ignored words"}).out, "from-first\n");
}

TEST_F(VdpkConfigDirectory, EnvironmentVariableIsUsedWithoutOption)
{
    auto r = runVdpk({"--list"}, {.env = {{"VDPK_CONFIG", secondDir()}}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "from-second\n");
    EXPECT_EQ(runVdpk({"--list", "-c", firstDir()}, {.env = {{"VDPK_CONFIG", secondDir()}}}).out,
              "from-first\n");
}

TEST_F(VdpkConfigDirectory, ConfigFollowedByAnotherOptionFallsBackToTheEnvironment)
{
    auto r = runVdpk({"--config", "--list"}, {.env = {{"VDPK_CONFIG", secondDir()}}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "from-second\n");
}

TEST_F(VdpkConfigDirectory, EmptyEnvironmentVariableMeansEtcVdpk)
{
    if (fs::exists("/etc/vdpk/pkg.yml"))
        GTEST_SKIP() << "this machine has a real /etc/vdpk";
    auto r = runVdpk({"--list"}, {.env = {{"VDPK_CONFIG", ""}}});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("/etc/vdpk/pkg.yml"));
}

class VdpkCommands : public ::testing::Test {
  protected:
    VdpkCommands() { box.writePkgConfig(); }
    RunResult vdpk(std::vector<std::string> args)
    {
        args.push_back("--config");
        args.push_back(box.configDir().string());
        return runVdpk(args, {.workDir = box.root()});
    }
    Sandbox box;
};

TEST_F(VdpkCommands, ListPrintsNamesSortedOnePerLine)
{
    seedDatabase(box.databasePath(), {"zeta", "Alpha", "beta"});
    auto r = vdpk({"--list"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Alpha\nbeta\nzeta\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(VdpkCommands, ListWithoutDatabasePrintsNothingAndCreatesNothing)
{
    auto r = vdpk({"--list"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(fs::exists(box.databasePath()));
    EXPECT_FALSE(fs::exists(box.databasePath().parent_path()));
}

TEST_F(VdpkCommands, NoCommandLoadsTheConfigurationAndTouchesNoDatabase)
{
    auto r = vdpk({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(fs::exists(box.databasePath()));
    r = vdpk({"--init-database"});
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(fs::exists(box.databasePath()));
}

TEST_F(VdpkCommands, ListWinsOverInstallAndUninstall)
{
    seedDatabase(box.databasePath(), {"alpha"});
    auto r = vdpk({"--install", "--uninstall", "alpha", "--list"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "alpha\n");
}

TEST_F(VdpkCommands, OptionWrittenWithEqualsIsAValueNotAFlag)
{
    seedDatabase(box.databasePath(), {"alpha"});
    auto r = vdpk({"--install=alpha", "--list=yes"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST_F(VdpkCommands, InitDatabaseRecreatesTheDatabaseForTheCommand)
{
    seedDatabase(box.databasePath(), {"alpha"});
    auto r = vdpk({"--init-database", "--list"});
    // Listing reads an existing file; --init-database takes effect as it opens.
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Creating new database...\n");
    EXPECT_EQ(vdpk({"--list"}).out, "");
}

TEST_F(VdpkCommands, PrefixRelocatesAnAbsoluteDatabase)
{
    fs::path const prefixed = box.prefix() / box.databasePath().relative_path();
    seedDatabase(prefixed, {"under-prefix"});
    seedDatabase(box.databasePath(), {"outside"});
    EXPECT_EQ(vdpk({"--list", "--prefix", box.prefix().string()}).out, "under-prefix\n");
    EXPECT_EQ(vdpk({"--list", "-r", box.prefix().string()}).out, "under-prefix\n");
    EXPECT_EQ(vdpk({"--list"}).out, "outside\n");
}

TEST_F(VdpkCommands, RelativePrefixWithASpaceIsTakenWhole)
{
    fs::path const prefixed = box.root() / "my root" / box.databasePath().relative_path();
    seedDatabase(prefixed, {"spaced"});
    EXPECT_EQ(vdpk({"--list", "--prefix", "my root"}).out, "spaced\n");
}

} // namespace
} // namespace Vandrel::Test
