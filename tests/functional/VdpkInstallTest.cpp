// Runs the built vdpk against a real loopback repository: install by name with
// dependencies and prompts, install from a local archive, uninstall with
// dependents, and the failures a user meets.
#include "tests/support/Archive.hpp"
#include "tests/support/HttpServer.hpp"
#include "tests/support/Run.hpp"
#include "tests/support/Sandbox.hpp"

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
    VdpkRepository() { fs::create_directories(repo()); }

    fs::path repo() const { return box.root() / "repo"; }

    // Starts the server once the repository has been filled.
    void serve()
    {
        server = std::make_unique<HttpServer>(repo());
        box.writePkgConfig(server->url());
    }

    void publish(std::string const& os, std::string const& name, std::string const& version,
                 std::vector<std::string> depends = {})
    {
        PackageSpec spec;
        spec.name = name;
        spec.version = version;
        spec.os = os;
        spec.depends = std::move(depends);
        spec.files["usr/share/" + name + "/VERSION"] = version + "\n";
        publishPackage(repo(), os, spec);
    }

    RunResult vdpk(std::vector<std::string> args, std::optional<std::string> input = std::nullopt)
    {
        args.insert(args.end(), {"--config", box.configDir().string(), "--prefix", box.prefix().string()});
        // The runner's log files and unpack directories stay inside the sandbox.
        fs::create_directories(box.root() / "tmp");
        return runVdpk(args, {.input = std::move(input),
                              .env = {{"TMPDIR", (box.root() / "tmp").string()}},
                              .workDir = box.root()});
    }

    std::string installed(std::string const& name) const
    {
        return readFile(box.prefix() / "usr/share" / name / "VERSION");
    }

    int archiveRequests() const
    {
        auto lines = server->requests();
        return static_cast<int>(std::count_if(lines.begin(), lines.end(), [](std::string const& l) {
            return l.find(".vdpk.tar.bz2") != std::string::npos;
        }));
    }

    Sandbox box;
    std::unique_ptr<HttpServer> server;
};

TEST_F(VdpkRepository, InstallsAChainWithADiamondAfterConfirmation)
{
    // alpha -> {gamma, beta}; beta -> delta; gamma -> delta; in two OS directories.
    publish("core", "delta", "1.0");
    publish("core", "beta", "2.1", {"delta"});
    publish("extra", "gamma", "0.3", {"delta"});
    publish("extra", "alpha", "1.5", {"gamma", "beta"});
    serve();

    auto r = vdpk({"--install", "alpha"}, "y\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("This package requires 3 packages: delta, beta, gamma\n"
                                 "Are you sure you want to install 4 packages? [y/N] "));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(installed("alpha"), "1.5\n");
    EXPECT_EQ(installed("delta"), "1.0\n");
    EXPECT_EQ(vdpk({"--list"}).out, "alpha\nbeta\ndelta\ngamma\n");
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
        publish(os[i % 3], chain[i], "1.9", next);
        publish(os[i % 3], chain[i], "1.10", next);
    }
    for (int i = 0; i < 12; ++i)
        publish(os[i % 3], "other-" + std::to_string(i), "1.0");
    serve();

    auto r = vdpk({"--install", "app"}, "y\n");
    ASSERT_EQ(r.status, 0) << r.err;
    for (auto const& name : chain)
        EXPECT_EQ(installed(name), "1.10\n");

    // The base, three OS directories, six package directories and six
    // archives, and the one redirect that shows directories end in "/".
    auto requests = server->requests();
    EXPECT_EQ(requests.size(), 17u) << ::testing::PrintToString(requests);
    EXPECT_EQ(std::count(requests.begin(), requests.end(), "GET / 200"), 1);
    EXPECT_EQ(std::count(requests.begin(), requests.end(), "GET /core 301"), 1);
    for (std::size_t i = 0; i < chain.size(); ++i)
        EXPECT_EQ(
            std::count(requests.begin(), requests.end(), "GET /" + os[i % 3] + "/" + chain[i] + "/ 200"), 1)
            << chain[i];
    EXPECT_EQ(archiveRequests(), 6);
    EXPECT_EQ(server->connections(), 1);
}

TEST_F(VdpkRepository, SilentRepositoryEndsTheInstallWithinAMinute)
{
    // Accepts every connection and never answers: the listing and its
    // index.html fallback share one limit for the whole command.
    SilentServer silent;
    box.writePkgConfig(silent.url());
    auto const start = std::chrono::steady_clock::now();
    auto r = vdpk({"--install", "bash"});
    double const seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Failed to fetch '" + silent.url() +
                         "/index.html': Timeout was reached\nUse --help for help.\n");
    EXPECT_LT(seconds, 60.0);
    EXPECT_FALSE(fs::exists(box.cacheDir()));
}

TEST_F(VdpkRepository, OneMissingDependencyUsesTheFixedPlural)
{
    publish("core", "base", "1");
    publish("core", "app", "1", {"base"});
    serve();
    auto r = vdpk({"-i", "app"}, "YeS\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("This package requires 1 packages: base\n"
                                 "Are you sure you want to install 2 packages? [y/N] "));
    EXPECT_EQ(vdpk({"-l"}).out, "app\nbase\n");
}

TEST_F(VdpkRepository, EveryOtherAnswerDeclinesAndKeepsTheDownloadedArchives)
{
    publish("core", "base", "1");
    publish("core", "app", "1", {"base"});
    serve();
    for (std::optional<std::string> answer :
         {std::optional<std::string>("\n"), std::optional<std::string>(" y\n"),
          std::optional<std::string>("y \n"), std::optional<std::string>("no\n"),
          std::optional<std::string>("yess\n"), std::optional<std::string>(std::nullopt)}) {
        auto r = vdpk({"--install", "app"}, answer);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_THAT(r.err, ::testing::EndsWith("[y/N] "));
        EXPECT_EQ(vdpk({"--list"}).out, "");
    }
    EXPECT_TRUE(fs::exists(box.cacheDir() / "core/base/1/base-1-x64.vdpk.tar.bz2"));
    EXPECT_TRUE(fs::exists(box.cacheDir() / "core/app/1/app-1-x64.vdpk.tar.bz2"));
}

TEST_F(VdpkRepository, SinglePackageAsksNothingAndASecondRunDownloadsNothing)
{
    publish("core", "base", "1");
    publish("core", "app", "1", {"base"});
    serve();
    auto r = vdpk({"--install", "base"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err, ::testing::Not(HasSubstr("[y/N]")));

    // base is installed: app asks nothing, but base's archive is still read.
    r = vdpk({"--install", "app"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err, ::testing::Not(HasSubstr("[y/N]")));
    EXPECT_EQ(vdpk({"--list"}).out, "app\nbase\n");

    server->clearRequests();
    r = vdpk({"--install", "app"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("Skipping package app 1 because installed version 1 is the same or newer"));
    EXPECT_EQ(archiveRequests(), 0);
}

TEST_F(VdpkRepository, NewerVersionPublishedLaterReplacesTheInstalledOne)
{
    publish("core", "base", "1.9");
    serve();
    ASSERT_EQ(vdpk({"--install", "base"}).status, 0);
    publish("core", "base", "1.10");
    auto r = vdpk({"--install", "base"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(installed("base"), "1.10\n");
    EXPECT_TRUE(fs::exists(box.cacheDir() / "core/base/1.9/base-1.9-x64.vdpk.tar.bz2"));
    EXPECT_TRUE(fs::exists(box.cacheDir() / "core/base/1.10/base-1.10-x64.vdpk.tar.bz2"));
}

TEST_F(VdpkRepository, UninstallAsksAboutDependentsAndRemovesThemFirst)
{
    publish("core", "base", "1");
    publish("core", "lib", "1", {"base"});
    publish("core", "app", "1", {"lib"});
    publish("core", "solo", "1");
    serve();
    ASSERT_EQ(vdpk({"--install", "app"}, "y\n").status, 0);
    ASSERT_EQ(vdpk({"--install", "solo"}).status, 0);

    auto r = vdpk({"--uninstall", "base"}, "n\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "This package is required by 2 packages: app, lib\n"
                     "Are you sure you want to delete 3 packages? [y/N] ");
    EXPECT_EQ(vdpk({"--list"}).out, "app\nbase\nlib\nsolo\n");

    r = vdpk({"-D", "base"}, "y\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(vdpk({"--list"}).out, "solo\n");
    EXPECT_FALSE(fs::exists(box.prefix() / "usr/share/base"));

    r = vdpk({"--uninstall", "solo"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(vdpk({"--list"}).out, "");
}

TEST_F(VdpkRepository, InstallAndUninstallInOneRun)
{
    publish("core", "base", "1");
    serve();
    auto r = vdpk({"--uninstall", "--install", "base"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("Installing package"));
    EXPECT_EQ(vdpk({"--list"}).out, "");
}

TEST_F(VdpkRepository, DependencyCycleIsReported)
{
    publish("core", "alpha", "1", {"beta"});
    publish("core", "beta", "1", {"alpha"});
    serve();
    auto r = vdpk({"--install", "alpha"}, "y\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: E1: dependency cycle detected while resolving 'alpha'\nUse --help for help.\n");
    EXPECT_EQ(vdpk({"--list"}).out, "");
}

TEST_F(VdpkRepository, MissingPackageAndMissingDependency)
{
    publish("core", "app", "1", {"ghost"});
    serve();
    auto r = vdpk({"--install", "nothing"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Package 'nothing' was not found in repository '" + server->url() +
                         "'\nUse --help for help.\n");
    r = vdpk({"--install", "app"}, "y\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("Package 'ghost' was not found"));
    EXPECT_EQ(vdpk({"--list"}).out, "");
}

TEST_F(VdpkRepository, LocalArchiveTakesItsDependenciesFromTheRepository)
{
    publish("core", "base", "3");
    serve();
    PackageSpec local;
    local.name = "local-app";
    local.depends = {"base"};
    local.files["usr/share/local-app/VERSION"] = "local\n";
    // An archive path that a shell would otherwise take apart.
    fs::path dir = box.root() / "it's a \"dir\" $(touch pwned) `touch pwned2`; x";
    fs::path archive = makeArchive(dir, local);

    auto r = vdpk({"--install", "--file", archive.string()}, "y\n");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.err, HasSubstr("This package requires 1 packages: base\n"));
    EXPECT_EQ(installed("local-app"), "local\n");
    EXPECT_EQ(installed("base"), "3\n");
    EXPECT_FALSE(fs::exists(box.root() / "pwned"));
    EXPECT_FALSE(fs::exists(box.root() / "pwned2"));
}

TEST_F(VdpkRepository, RelativeArchivePathIsTakenFromTheWorkingDirectory)
{
    serve();
    PackageSpec local;
    local.name = "rel";
    local.files["usr/share/rel/VERSION"] = "rel\n";
    makeArchive(box.root() / "pkgs", local);
    auto r = vdpk({"-i", "-f", "pkgs/rel-1.0-x64.vdpk.tar.bz2"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(installed("rel"), "rel\n");
}

TEST_F(VdpkRepository, MissingOrDamagedLocalArchiveFailsInspection)
{
    serve();
    auto r = vdpk({"--install", "--file", "missing.vdpk.tar.bz2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error: Failed to inspect package '" + (box.root() / "missing.vdpk.tar.bz2").string() +
                         "'\nUse --help for help.\n");

    PackageSpec spec;
    spec.name = "broken";
    spec.files["usr/share/broken/VERSION"] = std::string(200000, 'x');
    fs::path archive = makeArchive(box.root(), spec);
    fs::resize_file(archive, fs::file_size(archive) / 2);
    r = vdpk({"--install", "--file", archive.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("Error: Failed to inspect package"));
    EXPECT_EQ(vdpk({"--list"}).out, "");
}

TEST_F(VdpkRepository, ArchiveWithoutManifestIsRejected)
{
    serve();
    PackageSpec spec;
    spec.name = "nomanifest";
    spec.withManifest = false;
    fs::path archive = makeArchive(box.root(), spec);
    auto r = vdpk({"--install", "--file", archive.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("Error: "));
    EXPECT_EQ(vdpk({"--list"}).out, "");
}

} // namespace
} // namespace Vandrel::Test
