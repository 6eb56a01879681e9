#include "vdpk/PackageFetcher.hpp"

#include "core/RepositoryIndex.hpp"

#include "tests/vdpk/RepositoryFixture.hpp"

#include <chrono>
#include <fstream>

namespace Vandrel::Linux::FetcherTests {
namespace {

// Listings are canned index.html pages: the test server serves a directory's
// index.html as its listing, so any link text can be offered.
class HostileRepository : public RepositoryFixture {
  protected:
    void listing(std::string const& dir, std::string const& page)
    {
        sandbox.writeFile("www/repo/" + dir + (dir.empty() ? "" : "/") + "index.html", page);
    }

    bool anyRequestStartsWith(std::string const& prefix) const
    {
        for (auto const& line : server->requests())
            if (line.rfind(prefix, 0) == 0)
                return true;
        return false;
    }
};

TEST_F(HostileRepository, OsDirectoryLinksOutOfTheRepositoryAreIgnored)
{
    // What "../../x/" would reach: a complete package outside the repository.
    Vandrel::Test::PackageSpec spec;
    spec.name = "pkg";
    Vandrel::Test::publishPackage(www / "x", "", spec);
    publish("linux", "bash", "5.2");
    listing("", R"(<a href="../../x/">x</a> <a href="./">.</a> <a href="linux/">linux</a>)");

    fs::path cache = sandbox.root() / "a" / "b" / "cache";
    EXPECT_EQ(messageOf([&] { fetcher({}, cache).fetch("pkg"); }),
              "Package 'pkg' was not found in repository '" + repoUrl() + "'");
    EXPECT_FALSE(anyRequestStartsWith("GET /x"));
    EXPECT_FALSE(anyRequestStartsWith("GET /repo/."));
    EXPECT_TRUE(anyRequestStartsWith("GET /repo/linux"));
    EXPECT_FALSE(fs::exists(sandbox.root() / "a"));

    EXPECT_EQ(messageOf([&] { fetcher({}, cache).resolveInsideOsDirectory("../../x", "pkg"); }),
              "Invalid repository OS directory '../../x'");
}

TEST_F(HostileRepository, UnsafePackageNamesAreRefusedBeforeAnyRequest)
{
    publish("linux", "bash", "5.2");
    for (std::string const name : {"../x", "..", ".", "linux/bash", "/etc", "bash/"}) {
        EXPECT_EQ(messageOf([&] { fetcher().fetch(name); }), "Invalid package name '" + name + "'");
        EXPECT_EQ(messageOf([&] { fetcher().resolveInsideOsDirectory("linux", name); }),
                  "Invalid package name '" + name + "'");
    }
    EXPECT_EQ(messageOf([&] { fetcher().fetch(""); }), "Package name cannot be empty");
    // what() ends at the NUL byte.
    EXPECT_EQ(messageOf([&] { fetcher().fetch(std::string("a\0b", 3)); }), "Invalid package name 'a");
    EXPECT_TRUE(server->requests().empty());
    EXPECT_FALSE(fs::exists(sandbox.cacheDir()));
}

TEST_F(HostileRepository, VersionDirectoryThatIsNotOneComponentIsRefused)
{
    // No link can clean to exactly ".." (both ".." and "../" are dropped);
    // these are the nearest a listing can get.
    publish("linux", "bash", "5.2");
    struct Case {
        std::string link, version;
    };
    for (auto const& c : {Case{"..//", "../"}, Case{"./", "."}, Case{"5.2/../../", "5.2/../.."}}) {
        listing("linux/bash", "<a href=\"" + c.link + "\">v</a>");
        EXPECT_EQ(messageOf([&] { fetcher().fetch("bash"); }),
                  "Invalid package version '" + c.version + "' found at '" + repoUrl() + "/linux/bash'");
    }
    EXPECT_FALSE(fs::exists(sandbox.cacheDir()));
    EXPECT_FALSE(anyRequestStartsWith("GET /repo/linux/bash/5.2"));

    // Among several, the version check itself refuses such a name.
    listing("linux/bash", R"(<a href="5.2/">5.2</a> <a href="./">.</a>)");
    EXPECT_EQ(messageOf([&] { fetcher().fetch("bash"); }),
              "Invalid package version format '.': empty component");
}

TEST_F(HostileRepository, CachePathNeverLeavesTheCache)
{
    for (std::string const root : {"/srv/cache", "/srv/cache/", "cache", ""}) {
        PkgConfig config;
        config.pkgRepoCachePath = root;
        PackageFetcher const f(config);
        EXPECT_EQ(f.cachePath("linux/a/1.0/a-1.0-x64.vdpk.tar.bz2"),
                  fs::path(root) / "linux/a/1.0/a-1.0-x64.vdpk.tar.bz2");
        for (std::string const rel : {"../x", "/etc/passwd", "a/../..", "a/..", "a/../../cache2/x", "", "."})
            EXPECT_EQ(messageOf([&] { f.cachePath(rel); }),
                      "Refusing cache path '" + rel + "' outside the package cache '" + root + "'")
                << root << " " << rel;
    }
}

TEST_F(HostileRepository, HugeListingsAndLinksStillResolve)
{
    fs::path published = publish("linux", "bash", "5.2");
    std::string base =
        "<a href=\"linux/\">linux</a>\n<a href=\"" + std::string(1 << 20, 'n') + "\">long</a>\n";
    for (int i = 0; base.size() < 20u << 20; ++i)
        base += "<a href=\"file-" + std::to_string(i) + ".txt\">file</a>\n";
    listing("", base);
    listing("linux/bash", "<a href=\"" + std::string(1 << 20, 'v') + "\">x</a> <a href=\"5.2/\">5.2</a>");
    EXPECT_EQ(Vandrel::Test::readFile(fetcher().fetch("bash")), Vandrel::Test::readFile(published));
}

TEST_F(HostileRepository, HugeDirectoryLinkEndsInAnError)
{
    // A megabyte-long OS directory becomes a request the server refuses.
    listing("", "<a href=\"" + std::string(1 << 20, 'd') + "/\">d</a>");
    std::string const message = messageOf([&] { fetcher().fetch("bash"); });
    EXPECT_EQ(message.rfind("Failed to fetch '" + repoUrl() + "/ddd", 0), 0u) << message.substr(0, 200);
    EXPECT_NE(message.find("/index.html': "), std::string::npos);
}

TEST_F(HostileRepository, EndlessListingEndsInAnError)
{
    // Sparse: served as zeros without taking the disk space.
    fs::path huge = www / "repo" / "huge";
    std::ofstream(huge).close();
    fs::resize_file(huge, PackageFetcher::maxListingBytes + 1);
    EXPECT_EQ(messageOf([&] { fetcher().fetchText(repoUrl() + "/huge"); }),
              "Failed to fetch '" + repoUrl() + "/huge': response larger than 268435456 bytes");
    // Exactly at the limit is still a listing.
    fs::resize_file(huge, PackageFetcher::maxListingBytes);
    EXPECT_EQ(fetcher().fetchText(repoUrl() + "/huge").size(), PackageFetcher::maxListingBytes);
}

template <typename Action> std::pair<std::string, double> timed(Action action)
{
    auto const start = std::chrono::steady_clock::now();
    std::string message = messageOf(action);
    return {message, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
}

// Servers that stop talking. The limit is shortened here; vdpk's own is
// exercised by the functional tests.
class StalledRepository : public RepositoryFixture {
  protected:
    static constexpr long quietSeconds = 2;
    Vandrel::Test::SilentServer silent;

    PackageFetcher limitedFetcher(std::string const& url) const
    {
        PkgConfig config;
        config.pkgRepoUrl = url;
        config.pkgRepoCachePath = sandbox.cacheDir().string();
        return PackageFetcher(config, {.connectTimeoutSeconds = quietSeconds, .quietSeconds = quietSeconds});
    }
};

TEST_F(StalledRepository, ListingRequestGivesUp)
{
    auto [message, seconds] = timed([&] { limitedFetcher(silent.url()).fetchText(silent.url()); });
    EXPECT_EQ(message, "Failed to fetch '" + silent.url() + "': Timeout was reached");
    EXPECT_GE(seconds, quietSeconds - 0.5);
    EXPECT_LT(seconds, quietSeconds + 3);
}

TEST_F(StalledRepository, DownloadGivesUpAndRemovesThePartialFile)
{
    fs::path part = sandbox.root() / "a.part";
    auto [message, seconds] =
        timed([&] { limitedFetcher(silent.url()).downloadFile(silent.url() + "/a", part); });
    EXPECT_EQ(message, "Failed to download '" + silent.url() + "/a': Timeout was reached");
    EXPECT_LT(seconds, quietSeconds + 3);
    EXPECT_FALSE(fs::exists(part));
}

TEST_F(StalledRepository, TheWholeFetchIsBoundedByOneLimitNotOnePerRequest)
{
    // The listing waits out the limit; its index.html fallback then fails at
    // once instead of waiting as long again.
    auto [message, seconds] = timed([&] { limitedFetcher(silent.url()).fetch("bash"); });
    EXPECT_EQ(message, "Failed to fetch '" + silent.url() + "/index.html': Timeout was reached");
    EXPECT_GE(seconds, quietSeconds - 0.5);
    EXPECT_LT(seconds, 2 * quietSeconds - 0.5);
    EXPECT_FALSE(fs::exists(sandbox.cacheDir()));
}

TEST_F(StalledRepository, ConnectionThatNeverCompletesCountsAgainstTheSameLimit)
{
    Vandrel::Test::SilentServer unreachable(true);
    auto [message, seconds] = timed([&] { limitedFetcher(unreachable.url()).fetch("bash"); });
    EXPECT_EQ(message, "Failed to fetch '" + unreachable.url() + "/index.html': Timeout was reached");
    EXPECT_GE(seconds, quietSeconds - 0.5);
    EXPECT_LT(seconds, 2 * quietSeconds - 0.5);
}

TEST_F(StalledRepository, DownloadThatStopsHalfwayGivesUpAndLeavesNothing)
{
    Vandrel::Test::PackageSpec spec;
    spec.name = "big";
    spec.files["usr/share/big/data"] = Vandrel::Test::incompressibleData(256 << 10);
    Vandrel::Test::publishPackage(repo, "linux", spec);
    startServer({"--stall-after", "1000"});
    std::string const url = repoUrl() + "/linux/big/1.0/big-1.0-x64.vdpk.tar.bz2";
    auto [message, seconds] = timed([&] { limitedFetcher(repoUrl()).fetch("big"); });
    EXPECT_EQ(message, "Failed to download '" + url + "': Timeout was reached");
    EXPECT_LT(seconds, quietSeconds + 3);
    fs::path local = sandbox.cacheDir() / "linux/big/1.0/big-1.0-x64.vdpk.tar.bz2";
    EXPECT_FALSE(fs::exists(local));
    EXPECT_FALSE(fs::exists(local.string() + ".part"));
}

TEST_F(StalledRepository, TricklingDownloadCompletesThoughItOutlastsTheLimit)
{
    Vandrel::Test::PackageSpec spec;
    spec.name = "big";
    spec.files["usr/share/big/data"] = Vandrel::Test::incompressibleData(96 << 10);
    fs::path published = Vandrel::Test::publishPackage(repo, "linux", spec);
    ASSERT_GT(fs::file_size(published), 90u << 10);
    // 16 KiB every 0.75 s: about 4.5 s in all, more than twice the limit.
    startServer({"--trickle", "16384,0.75"});
    auto const start = std::chrono::steady_clock::now();
    fs::path local = limitedFetcher(repoUrl()).fetch("big");
    double const seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GT(seconds, 2.0 * quietSeconds);
    EXPECT_EQ(Vandrel::Test::readFile(local), Vandrel::Test::readFile(published));
}

// Several archives at once from an index, every one of them stalling: the
// transfers share the one limit, and none of them leaves a file behind.
TEST_F(StalledRepository, ParallelDownloadsShareTheLimitAndLeaveNothing)
{
    std::vector<std::string> const names = {"a", "b", "c", "d", "e"};
    for (auto const& name : names) {
        Vandrel::Test::PackageSpec spec;
        spec.name = name;
        spec.files["usr/share/" + name + "/data"] = Vandrel::Test::incompressibleData(64 << 10);
        Vandrel::Test::publishPackage(repo, "linux", spec);
    }
    RepositoryIndexUpdate::rebuild(repo, nullptr);
    startServer({"--stall-after", "1000"});
    PackageFetcher const fetcher = limitedFetcher(repoUrl());
    std::vector<RepositoryIndexEntry const*> entries;
    for (auto const& name : names)
        entries.push_back(&fetcher.indexEntry(name));
    auto [message, seconds] = timed([&] { fetcher.fetchIndexed(entries); });
    EXPECT_EQ(message, "Failed to download '" + repoUrl() +
                           "/linux/a/1.0/a-1.0-x64.vdpk.tar.bz2': Timeout was reached");
    EXPECT_GE(seconds, quietSeconds - 0.5);
    EXPECT_LT(seconds, quietSeconds + 3);
    for (auto const& name : names) {
        fs::path const local = sandbox.cacheDir() / "linux" / name / "1.0" / (name + "-1.0-x64.vdpk.tar.bz2");
        EXPECT_FALSE(fs::exists(local)) << name;
        EXPECT_FALSE(fs::exists(local.string() + ".part")) << name;
    }
}

} // namespace
} // namespace Vandrel::Linux::FetcherTests
