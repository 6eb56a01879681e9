// Runs the built vdpk against a real loopback repository: install by name with
// dependencies and prompts, install from a local archive, uninstall with
// dependents, and the failures a user meets.
#include "tests/support/VdpkSandbox.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

namespace Vandrel::Test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

class VdpkRepository : public ::testing::Test {
  protected:
    int archiveRequests() const
    {
        auto lines = box.server().requests();
        return static_cast<int>(std::count_if(lines.begin(), lines.end(), [](std::string const& l) {
            return l.find(".vdpk.tar.bz2") != std::string::npos;
        }));
    }

    VdpkSandbox box;
};

TEST_F(VdpkRepository, InstallsAChainWithADiamondAfterConfirmation)
{
    // alpha -> {gamma, beta}; beta -> delta; gamma -> delta; in two OS directories.
    box.publish("core", "delta", "1.0");
    box.publish("core", "beta", "2.1", {"delta"});
    box.publish("extra", "gamma", "0.3", {"delta"});
    box.publish("extra", "alpha", "1.5", {"gamma", "beta"});
    box.serve();

    auto r = box.vdpk({"--install", "alpha"}, "y\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("This package requires 3 packages: delta, beta, gamma\n"
                                 "Are you sure you want to install 4 packages? [y/N] "));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(box.installedVersion("alpha"), "1.5\n");
    EXPECT_EQ(box.installedVersion("delta"), "1.0\n");
    EXPECT_EQ(box.vdpk({"--list"}).out, "alpha\nbeta\ndelta\ngamma\n");
    // Dependencies went in first: delta's install line comes before alpha's.
    EXPECT_LT(r.err.find("delta-1.0-x64"), r.err.find("alpha-1.5-x64"));
}

TEST_F(VdpkRepository, ChainOfDependenciesReadsEachListingOnceOverOneConnection)
{
    // app -> dep-1 -> ... -> dep-5 over three OS directories, each package
    // with an older version beside it, among unrelated packages.
    std::vector<std::string> const os = {"core", "extra", "desktop"};
    std::vector<std::string> const chain = {"app", "dep-1", "dep-2", "dep-3", "dep-4", "dep-5"};
    for (std::size_t i = 0; i < chain.size(); ++i) {
        std::vector<std::string> next;
        if (i + 1 < chain.size())
            next.push_back(chain[i + 1]);
        box.publish(os[i % 3], chain[i], "1.9", next);
        box.publish(os[i % 3], chain[i], "1.10", next);
    }
    for (int i = 0; i < 12; ++i)
        box.publish(os[i % 3], "other-" + std::to_string(i), "1.0");
    box.serve();

    auto r = box.vdpk({"--install", "app"}, "y\n");
    ASSERT_EQ(r.status, 0) << r.err;
    for (auto const& name : chain)
        EXPECT_EQ(box.installedVersion(name), "1.10\n");

    // The index the repository does not have, the base, three OS
    // directories, six package directories and six archives, and the one
    // redirect that shows directories end in "/".
    auto requests = box.server().requests();
    EXPECT_EQ(requests.size(), 18u) << ::testing::PrintToString(requests);
    EXPECT_EQ(requests.front(), "GET /repo/index.yml 404");
    EXPECT_EQ(std::count(requests.begin(), requests.end(), "GET /repo/ 200"), 1);
    EXPECT_EQ(std::count(requests.begin(), requests.end(), "GET /repo 301"), 1);
    for (std::size_t i = 0; i < chain.size(); ++i)
        EXPECT_EQ(
            std::count(requests.begin(), requests.end(), "GET /repo/" + os[i % 3] + "/" + chain[i] + "/ 200"),
            1)
            << chain[i];
    EXPECT_EQ(archiveRequests(), 6);
    EXPECT_EQ(box.server().connections(), 1);
}

TEST_F(VdpkRepository, SilentRepositoryEndsTheInstallWithinAMinute)
{
    // Accepts every connection and never answers: the listing and its
    // index.html fallback share one limit for the whole command.
    SilentServer silent;
    box.writePkgConfig(silent.url());
    auto const start = std::chrono::steady_clock::now();
    auto r = box.vdpk({"--install", "bash"});
    double const seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Failed to fetch '" + silent.url() +
                         "/index.html': Timeout was reached\nUse --help for help.\n");
    EXPECT_LT(seconds, 60.0);
    EXPECT_FALSE(fs::exists(box.cacheDir()));
}

TEST_F(VdpkRepository, OneMissingDependencyUsesTheFixedPlural)
{
    box.publish("core", "base", "1");
    box.publish("core", "app", "1", {"base"});
    box.serve();
    auto r = box.vdpk({"-i", "app"}, "YeS\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("This package requires 1 packages: base\n"
                                 "Are you sure you want to install 2 packages? [y/N] "));
    EXPECT_EQ(box.vdpk({"-l"}).out, "app\nbase\n");
}

TEST_F(VdpkRepository, EveryOtherAnswerDeclinesAndKeepsTheDownloadedArchives)
{
    box.publish("core", "base", "1");
    box.publish("core", "app", "1", {"base"});
    box.serve();
    for (std::optional<std::string> answer :
         {std::optional<std::string>("\n"), std::optional<std::string>(" y\n"),
          std::optional<std::string>("y \n"), std::optional<std::string>("no\n"),
          std::optional<std::string>("yess\n"), std::optional<std::string>(std::nullopt)}) {
        auto r = box.vdpk({"--install", "app"}, answer);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_THAT(r.err, ::testing::EndsWith("[y/N] "));
        EXPECT_EQ(box.vdpk({"--list"}).out, "");
    }
    EXPECT_TRUE(fs::exists(box.cacheDir() / "core/base/1/base-1-x64.vdpk.tar.bz2"));
    EXPECT_TRUE(fs::exists(box.cacheDir() / "core/app/1/app-1-x64.vdpk.tar.bz2"));
}

TEST_F(VdpkRepository, SinglePackageAsksNothingAndASecondRunDownloadsNothing)
{
    box.publish("core", "base", "1");
    box.publish("core", "app", "1", {"base"});
    box.serve();
    auto r = box.vdpk({"--install", "base"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err, ::testing::Not(HasSubstr("[y/N]")));

    // base is installed: app asks nothing, but base's archive is still read.
    r = box.vdpk({"--install", "app"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err, ::testing::Not(HasSubstr("[y/N]")));
    EXPECT_EQ(box.vdpk({"--list"}).out, "app\nbase\n");

    box.server().clearRequests();
    r = box.vdpk({"--install", "app"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("Skipping package app 1 because installed version 1 is the same or newer"));
    EXPECT_EQ(archiveRequests(), 0);
}

TEST_F(VdpkRepository, NewerVersionPublishedLaterReplacesTheInstalledOne)
{
    box.publish("core", "base", "1.9");
    box.serve();
    ASSERT_EQ(box.vdpk({"--install", "base"}).status, 0);
    box.publish("core", "base", "1.10");
    auto r = box.vdpk({"--install", "base"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(box.installedVersion("base"), "1.10\n");
    EXPECT_TRUE(fs::exists(box.cacheDir() / "core/base/1.9/base-1.9-x64.vdpk.tar.bz2"));
    EXPECT_TRUE(fs::exists(box.cacheDir() / "core/base/1.10/base-1.10-x64.vdpk.tar.bz2"));
}

TEST_F(VdpkRepository, UninstallAsksAboutDependentsAndRemovesThemFirst)
{
    box.publish("core", "base", "1");
    box.publish("core", "lib", "1", {"base"});
    box.publish("core", "app", "1", {"lib"});
    box.publish("core", "solo", "1");
    box.serve();
    ASSERT_EQ(box.vdpk({"--install", "app"}, "y\n").status, 0);
    ASSERT_EQ(box.vdpk({"--install", "solo"}).status, 0);

    auto r = box.vdpk({"--uninstall", "base"}, "n\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "This package is required by 2 packages: app, lib\n"
                     "Are you sure you want to delete 3 packages? [y/N] ");
    EXPECT_EQ(box.vdpk({"--list"}).out, "app\nbase\nlib\nsolo\n");

    r = box.vdpk({"-D", "base"}, "y\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(box.vdpk({"--list"}).out, "solo\n");
    EXPECT_FALSE(fs::exists(box.prefix() / "usr/share/base"));

    r = box.vdpk({"--uninstall", "solo"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(box.vdpk({"--list"}).out, "");
}

TEST_F(VdpkRepository, InstallAndUninstallInOneRun)
{
    box.publish("core", "base", "1");
    box.serve();
    auto r = box.vdpk({"--uninstall", "--install", "base"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("Installing package"));
    EXPECT_EQ(box.vdpk({"--list"}).out, "");
}

TEST_F(VdpkRepository, DependencyCycleIsReported)
{
    box.publish("core", "alpha", "1", {"beta"});
    box.publish("core", "beta", "1", {"alpha"});
    box.serve();
    auto r = box.vdpk({"--install", "alpha"}, "y\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: E1: dependency cycle detected while resolving 'alpha'\nUse --help for help.\n");
    EXPECT_EQ(box.vdpk({"--list"}).out, "");
}

TEST_F(VdpkRepository, MissingPackageAndMissingDependency)
{
    box.publish("core", "app", "1", {"ghost"});
    box.serve();
    auto r = box.vdpk({"--install", "nothing"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Package 'nothing' was not found in repository '" + box.repoUrl() +
                         "'\nUse --help for help.\n");
    r = box.vdpk({"--install", "app"}, "y\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("Package 'ghost' was not found"));
    EXPECT_EQ(box.vdpk({"--list"}).out, "");
}

TEST_F(VdpkRepository, LocalArchiveTakesItsDependenciesFromTheRepository)
{
    box.publish("core", "base", "3");
    box.serve();
    PackageSpec local;
    local.name = "local-app";
    local.depends = {"base"};
    local.files["usr/share/local-app/VERSION"] = "local\n";
    // An archive path that a shell would otherwise take apart.
    fs::path dir = box.root() / "it's a \"dir\" $(touch pwned) `touch pwned2`; x";
    fs::path archive = makeArchive(dir, local);

    auto r = box.vdpk({"--install", "--file", archive.string()}, "y\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("This package requires 1 packages: base\n"));
    EXPECT_EQ(box.installedVersion("local-app"), "local\n");
    EXPECT_EQ(box.installedVersion("base"), "3\n");
    EXPECT_FALSE(fs::exists(box.root() / "pwned"));
    EXPECT_FALSE(fs::exists(box.root() / "pwned2"));
}

TEST_F(VdpkRepository, RelativeArchivePathIsTakenFromTheWorkingDirectory)
{
    box.serve();
    PackageSpec local;
    local.name = "rel";
    local.files["usr/share/rel/VERSION"] = "rel\n";
    makeArchive(box.root() / "pkgs", local);
    auto r = box.vdpk({"-i", "-f", "pkgs/rel-1.0-x64.vdpk.tar.bz2"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(box.installedVersion("rel"), "rel\n");
}

TEST_F(VdpkRepository, MissingOrDamagedLocalArchiveFailsInspection)
{
    box.serve();
    auto r = box.vdpk({"--install", "--file", "missing.vdpk.tar.bz2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Failed to inspect package '" + (box.root() / "missing.vdpk.tar.bz2").string() +
                         "'\nUse --help for help.\n");

    PackageSpec spec;
    spec.name = "broken";
    spec.files["usr/share/broken/VERSION"] = std::string(200000, 'x');
    fs::path archive = makeArchive(box.root(), spec);
    fs::resize_file(archive, fs::file_size(archive) / 2);
    r = box.vdpk({"--install", "--file", archive.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("Error: Failed to inspect package"));
    EXPECT_EQ(box.vdpk({"--list"}).out, "");
}

TEST_F(VdpkRepository, ArchiveWithoutManifestIsRejected)
{
    box.serve();
    PackageSpec spec;
    spec.name = "nomanifest";
    spec.withManifest = false;
    fs::path archive = makeArchive(box.root(), spec);
    auto r = box.vdpk({"--install", "--file", archive.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("Error: "));
    EXPECT_EQ(box.vdpk({"--list"}).out, "");
}

} // namespace
} // namespace Vandrel::Test
