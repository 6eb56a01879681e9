#include "vd-build/BuildConfig.hpp"
#include "core/PkgConfig.hpp"
#include "core/Shell.hpp"
#include "tests/support/DangerousPaths.hpp"
#include "tests/support/Errors.hpp"
#include "tests/support/Paths.hpp"
#include "tests/support/Sandbox.hpp"
#include "vd-build/BuildFilesystem.hpp"
#include "vd-build/PackageBuilder.hpp"
#include "vd-build/PkgBuildCli.hpp"

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <yaml-cpp/yaml.h>

namespace Vandrel::Test {
namespace {

namespace fs = std::filesystem;
using Linux::BuildConfig;
using Linux::PackageBuilder;

std::string loadError(std::string const& configDir)
{
    return messageOf([&] { BuildConfig::load(configDir); });
}

class BuildConfigLoad : public ::testing::Test {
  protected:
    void write(std::string const& text) { std::ofstream(box.configDir() / "build.yml") << text; }
    std::string file() const { return box.configDir().string() + "/build.yml"; }
    Sandbox box;
};

TEST_F(BuildConfigLoad, ReadsTheFiveKeysVerbatimAndIgnoresOthers)
{
    write("other: 1\nbuildFs:\n  extra: x\n  template: t.tar\n  workDir: wd/\n  packageSources: ../src\n"
          "  packageRepo: \"/r e/po\"\n  pkgDatabasePath: /var/lib/db\n");
    auto const c = BuildConfig::load(box.configDir().string());
    EXPECT_EQ(c.template_, "t.tar");
    EXPECT_EQ(c.workDir, "wd/");
    EXPECT_EQ(c.packageSources, "../src");
    EXPECT_EQ(c.packageRepo, "/r e/po");
    EXPECT_EQ(c.pkgDatabasePath, "/var/lib/db");
}

TEST_F(BuildConfigLoad, ReportsTheFirstMissingKeyOrTheMissingSection)
{
    write("buildFs:\n  template: t\n  workDir: w\n  packageSources: s\n");
    EXPECT_EQ(loadError(box.configDir().string()), "Missing required field 'packageRepo' in " + file());
    write("template: t\nworkDir: w\npackageSources: s\npackageRepo: r\npkgDatabasePath: d\n");
    EXPECT_EQ(loadError(box.configDir().string()), "Missing required section 'buildFs' in " + file());
    write("buildFs:\n");
    EXPECT_EQ(loadError(box.configDir().string()), "Missing required field 'template' in " + file());
    EXPECT_EQ(loadError("conf"), "bad file: conf/build.yml");
}

TEST_F(BuildConfigLoad, EmptyValueIsTheTextNullAndASequenceIsAConversionError)
{
    write(
        "buildFs:\n  template:\n  workDir: w\n  packageSources: s\n  packageRepo: r\n  pkgDatabasePath: d\n");
    EXPECT_EQ(BuildConfig::load(box.configDir().string()).template_, "null");
    write("buildFs:\n  template: [a]\n  workDir: w\n  packageSources: s\n  packageRepo: r\n  "
          "pkgDatabasePath: d\n");
    EXPECT_THROW(BuildConfig::load(box.configDir().string()), YAML::Exception);
}

TEST(PackageBuilderPaths, MakesFourSettingsAbsoluteAndDerivesTheBuildPaths)
{
    Linux::PkgConfig pkg{.database = "db", .shareDir = "share", .pkgRepoUrl = "u", .pkgRepoCachePath = "c"};
    BuildConfig build{.template_ = "tpl",
                      .workDir = "wd",
                      .packageSources = "",
                      .packageRepo = "/abs/repo",
                      .pkgDatabasePath = "var/db"};
    PackageBuilder const builder(pkg, build);
    fs::path const cwd = fs::current_path();
    EXPECT_EQ(builder.pkgConfig.shareDir, (cwd / "share").string());
    EXPECT_EQ(builder.pkgConfig.database, "db");
    EXPECT_EQ(builder.buildConfig.workDir, (cwd / "wd").string());
    EXPECT_EQ(builder.buildConfig.packageSources, "");
    EXPECT_EQ(builder.buildConfig.packageRepo, "/abs/repo");
    EXPECT_EQ(builder.buildConfig.template_, "tpl");
    EXPECT_EQ(builder.buildConfig.pkgDatabasePath, "var/db");
    EXPECT_EQ(builder.getBuildHomeDir(), cwd / "wd" / "pkg-build");
    EXPECT_EQ(builder.buildDir, cwd / "wd" / "pkg-build" / "build");
    EXPECT_EQ(builder.toolBinDir, cwd / "share" / "vd-build" / "bin");
    EXPECT_FALSE(fs::exists(cwd / "wd"));

    auto const vars = builder.createScriptVariables();
    EXPECT_EQ(vars.at("VDPK_PACKAGE_BUILD_DIR"), "/pkg-build/build");
    EXPECT_EQ(vars.at("VDPK_PACKAGE_BUILD_DIST_DIR"), "/pkg-build/dist/files");
    EXPECT_EQ(PackageBuilder::packageFileName({.os = "core", .name = "alpha", .version = "2.4.1"}),
              "alpha-2.4.1-x64.vdpk.tar.bz2");
}

struct SandboxOptionsCase {
    std::string keys;    // the optional keys, as written in build.yml
    std::string outcome; // "network on|off, limit N|none" or the error
};

void PrintTo(SandboxOptionsCase const& c, std::ostream* out)
{
    *out << c.keys;
}

class BuildConfigSandboxOptions : public BuildConfigLoad,
                                  public ::testing::WithParamInterface<SandboxOptionsCase> {};

TEST_P(BuildConfigSandboxOptions, AreReadOrRefusedWithTheKeyAndTheValue)
{
    write("buildFs:\n  template: t\n  workDir: w\n  packageSources: s\n  packageRepo: r\n  "
          "pkgDatabasePath: d\n" +
          GetParam().keys);
    std::string outcome;
    std::string const error = messageOf([&] {
        auto const c = BuildConfig::load(box.configDir().string());
        outcome = fmt::format("network {}, limit {}", c.allowNetwork ? "on" : "off",
                              c.buildTimeout ? std::to_string(c.buildTimeout->count()) : "none");
    });
    std::string expected = GetParam().outcome;
    if (auto const at = expected.find("FILE"); at != std::string::npos)
        expected.replace(at, 4, file());
    EXPECT_EQ(error == "<no error>" ? outcome : error, expected);
}

std::string const limitRange = "expected a whole number of seconds from 1 to 31622400";

INSTANTIATE_TEST_SUITE_P(
    Keys, BuildConfigSandboxOptions,
    ::testing::Values(
        SandboxOptionsCase{"", "network off, limit none"},
        SandboxOptionsCase{"  allowNetwork: true\n  buildTimeout: 90\n", "network on, limit 90"},
        SandboxOptionsCase{"  allowNetwork: false\n  buildTimeout: 31622400\n",
                           "network off, limit 31622400"},
        SandboxOptionsCase{"  allowNetwork: yes\n",
                           "Invalid value 'yes' for 'allowNetwork' in FILE: expected true or false"},
        SandboxOptionsCase{"  allowNetwork:\n",
                           "Invalid value 'null' for 'allowNetwork' in FILE: expected true or false"},
        SandboxOptionsCase{"  allowNetwork: [true]\n",
                           "Invalid value '' for 'allowNetwork' in FILE: expected true or false"},
        SandboxOptionsCase{"  buildTimeout: 0\n",
                           "Invalid value '0' for 'buildTimeout' in FILE: " + limitRange},
        SandboxOptionsCase{"  buildTimeout: -5\n",
                           "Invalid value '-5' for 'buildTimeout' in FILE: " + limitRange},
        SandboxOptionsCase{"  buildTimeout: 1.5\n",
                           "Invalid value '1.5' for 'buildTimeout' in FILE: " + limitRange},
        SandboxOptionsCase{"  buildTimeout: 10s\n",
                           "Invalid value '10s' for 'buildTimeout' in FILE: " + limitRange},
        SandboxOptionsCase{"  buildTimeout: 31622401\n",
                           "Invalid value '31622401' for 'buildTimeout' in FILE: " + limitRange},
        SandboxOptionsCase{"  buildTimeout: 99999999999999999999\n",
                           "Invalid value '99999999999999999999' for 'buildTimeout' in FILE: " + limitRange}),
    [](auto const& info) { return "Case" + std::to_string(info.index); });

// The build script's interpreter line: bwrap with the build filesystem as
// its root, every namespace of its own, the network only when allowed, and
// the time limit as the runner's.
TEST(PackageBuilderShell, SandboxLineCarriesTheRootAsOneWordOrIsRefused)
{
    std::string const start =
        "bwrap --dev-bind /tmp/build-root / --proc /proc --unshare-pid --unshare-ipc "
        "--unshare-uts --hostname vd-build --die-with-parent --new-session --cap-drop ALL ";
    std::string const kept =
        "--cap-add CAP_CHOWN --cap-add CAP_DAC_OVERRIDE --cap-add CAP_DAC_READ_SEARCH "
        "--cap-add CAP_FOWNER --cap-add CAP_FSETID --cap-add CAP_KILL --cap-add CAP_SETGID "
        "--cap-add CAP_SETUID --cap-add CAP_NET_BIND_SERVICE --cap-add CAP_SETFCAP "
        "--cap-add CAP_SYS_NICE --cap-add CAP_SETPCAP --ro-bind " +
        (binDir() / "vd-build-sandbox-init").string() +
        " /run/vd-build-sandbox-init --chdir / -- /run/vd-build-sandbox-init 808004ff bash --noediting";
    BuildConfig build{.workDir = "/tmp/build-root"};
    PackageBuilder builder({}, build);
    auto sandbox = builder.createShellConfig(true);
    EXPECT_EQ(sandbox.shell, start + "--unshare-net " + kept);
    EXPECT_TRUE(sandbox.verbose && sandbox.mergeStderr && sandbox.commandViaStdin);
    EXPECT_FALSE(sandbox.timeout);
    EXPECT_EQ(builder.createShellConfig(false).shell, "/usr/bin/fakeroot");

    build.allowNetwork = true;
    build.buildTimeout = std::chrono::seconds(7);
    sandbox = PackageBuilder({}, build).createShellConfig(true);
    EXPECT_EQ(sandbox.shell, start + kept);
    EXPECT_EQ(sandbox.timeout, std::chrono::seconds(7));

    build.workDir = "/tmp/build root";
    PackageBuilder spaced({}, build);
    EXPECT_THAT([&] { spaced.createShellConfig(true); },
                ::testing::ThrowsMessage<std::runtime_error>(
                    "Build filesystem root must not contain whitespace: '/tmp/build root'"));
    EXPECT_EQ(spaced.createShellConfig(false).shell, "/usr/bin/fakeroot");
}

std::string refusal(std::string const& dir)
{
    static std::vector<std::string> const dangerous = Linux::BuildFilesystem::loadDangerousPaths(shareDir());
    std::string accepted;
    std::string const error =
        messageOf([&] { accepted = Linux::BuildFilesystem::validateWorkDir(dir, dangerous); });
    return error == "<no error>" ? "accepted " + accepted : error;
}

TEST(WorkDirValidation, RefusesSystemDirectoriesHoweverTheyAreSpelt)
{
    Sandbox box;
    for (auto const& spelling : dangerousSpellings(box.root()))
        EXPECT_EQ(refusal(spelling.given), "Refusing to operate on dangerous path: '" + spelling.shown + "'")
            << "'" << spelling.given << "'";
}

TEST(WorkDirValidation, AMissingOrEmptyListRefusesEveryDirectory)
{
    Sandbox box;
    EXPECT_EQ(messageOf([&] { Linux::BuildFilesystem::loadDangerousPaths(box.root()); }),
              "Cannot read the list of dangerous paths: '" +
                  (box.root() / "vd-build/dangerous-paths").string() + "'");
    box.writeFile("vd-build/dangerous-paths", "# only a comment\n\n");
    EXPECT_EQ(messageOf([&] { Linux::BuildFilesystem::loadDangerousPaths(box.root()); }),
              "The list of dangerous paths is empty: '" + (box.root() / "vd-build/dangerous-paths").string() +
                  "'");
}

TEST(WorkDirValidation, AcceptsOrdinaryDirectoriesAndKeepsTheTrimmedText)
{
    EXPECT_EQ(refusal("/usr/local"), "accepted /usr/local");
    EXPECT_EQ(refusal(" /tmp/build-fs/ "), "accepted /tmp/build-fs/");
    EXPECT_EQ(refusal("/var/tmp/x"), "accepted /var/tmp/x");
    EXPECT_EQ(refusal("relative/wd"), "accepted relative/wd");
}

TEST(RunLock, LockFileLiesBesideTheWorkDirectoryNeverInsideIt)
{
    EXPECT_EQ(Linux::PkgBuildCli::lockFilePath("/srv/build/wd"), "/srv/build/wd.lock");
    EXPECT_EQ(Linux::PkgBuildCli::lockFilePath("/srv/build/wd/"), "/srv/build/wd.lock");
    EXPECT_EQ(Linux::PkgBuildCli::lockFilePath("/srv/build/./wd/."), "/srv/build/wd.lock");
    EXPECT_EQ(Linux::PkgBuildCli::lockFilePath("wd"), fs::current_path() / "wd.lock");
}

} // namespace
} // namespace Vandrel::Test
