#include "vdpk/PackageFetcher.hpp"

#include "tests/vdpk/RepositoryFixture.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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
    EXPECT_EQ(errorOf([&] { fetcher({}, cache).fetch("pkg"); }),
              "Package 'pkg' was not found in repository '" + repoUrl() + "'");
    EXPECT_FALSE(anyRequestStartsWith("GET /x"));
    EXPECT_FALSE(anyRequestStartsWith("GET /repo/."));
    EXPECT_TRUE(anyRequestStartsWith("GET /repo/linux"));
    EXPECT_FALSE(fs::exists(sandbox.root() / "a"));

    EXPECT_EQ(errorOf([&] { fetcher({}, cache).resolveInsideOsDirectory("../../x", "pkg"); }),
              "Invalid repository OS directory '../../x'");
}

TEST_F(HostileRepository, UnsafePackageNamesAreRefusedBeforeAnyRequest)
{
    publish("linux", "bash", "5.2");
    for (std::string const name : {"../x", "..", ".", "linux/bash", "/etc", "bash/"}) {
        EXPECT_EQ(errorOf([&] { fetcher().fetch(name); }), "Invalid package name '" + name + "'");
        EXPECT_EQ(errorOf([&] { fetcher().resolveInsideOsDirectory("linux", name); }),
                  "Invalid package name '" + name + "'");
    }
    EXPECT_EQ(errorOf([&] { fetcher().fetch(""); }), "Package name cannot be empty");
    // what() ends at the NUL byte.
    EXPECT_EQ(errorOf([&] { fetcher().fetch(std::string("a\0b", 3)); }), "Invalid package name 'a");
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
        EXPECT_EQ(errorOf([&] { fetcher().fetch("bash"); }),
                  "Invalid package version '" + c.version + "' found at '" + repoUrl() + "/linux/bash'");
    }
    EXPECT_FALSE(fs::exists(sandbox.cacheDir()));
    EXPECT_FALSE(anyRequestStartsWith("GET /repo/linux/bash/5.2"));

    // Among several, the version check itself refuses such a name.
    listing("linux/bash", R"(<a href="5.2/">5.2</a> <a href="./">.</a>)");
    EXPECT_EQ(errorOf([&] { fetcher().fetch("bash"); }),
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
            EXPECT_EQ(errorOf([&] { f.cachePath(rel); }),
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
    std::string const message = errorOf([&] { fetcher().fetch("bash"); });
    EXPECT_EQ(message.rfind("Failed to fetch '" + repoUrl() + "/ddd", 0), 0u) << message.substr(0, 200);
    EXPECT_NE(message.find("/index.html': "), std::string::npos);
}

TEST_F(HostileRepository, EndlessListingEndsInAnError)
{
    // Sparse: served as zeros without taking the disk space.
    fs::path huge = www / "repo" / "huge";
    std::ofstream(huge).close();
    fs::resize_file(huge, PackageFetcher::maxListingBytes + 1);
    EXPECT_EQ(errorOf([&] { PackageFetcher::fetchText(repoUrl() + "/huge"); }),
              "Failed to fetch '" + repoUrl() + "/huge': response larger than 268435456 bytes");
    // Exactly at the limit is still a listing.
    fs::resize_file(huge, PackageFetcher::maxListingBytes);
    EXPECT_EQ(PackageFetcher::fetchText(repoUrl() + "/huge").size(), PackageFetcher::maxListingBytes);
}

// A server that accepts connections (the kernel does, into the backlog) and
// never answers.
class SilentServer {
  public:
    SilentServer()
    {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(fd, 16) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("cannot open silent server socket");
        port = ntohs(address.sin_port);
    }
    ~SilentServer() { close(fd); }
    SilentServer(SilentServer const&) = delete;
    SilentServer& operator=(SilentServer const&) = delete;

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port) + "/repo"; }

  private:
    int fd = -1;
    int port = 0;
};

class StalledRepository : public ::testing::Test {
  protected:
    static constexpr long stallSeconds = 2;
    Vandrel::Test::Sandbox sandbox;
    SilentServer silent;

    void SetUp() override { PackageFetcher::setStallLimits(stallSeconds, stallSeconds); }
    void TearDown() override
    {
        PackageFetcher::setStallLimits(PackageFetcher::defaultConnectTimeoutSeconds,
                                       PackageFetcher::defaultStallSeconds);
    }

    template <typename Action> std::pair<std::string, double> timed(Action action)
    {
        auto const start = std::chrono::steady_clock::now();
        std::string message = errorOf(action);
        return {message, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count()};
    }
};

TEST_F(StalledRepository, ListingRequestGivesUp)
{
    auto [message, seconds] = timed([&] { PackageFetcher::fetchText(silent.url()); });
    EXPECT_EQ(message, "Failed to fetch '" + silent.url() + "': Timeout was reached");
    EXPECT_GE(seconds, stallSeconds - 0.5);
    EXPECT_LT(seconds, stallSeconds + 8);
}

TEST_F(StalledRepository, DownloadGivesUpAndRemovesThePartialFile)
{
    fs::path part = sandbox.root() / "a.part";
    auto [message, seconds] = timed([&] { PackageFetcher::downloadFile(silent.url() + "/a", part); });
    EXPECT_EQ(message, "Failed to download '" + silent.url() + "/a': Timeout was reached");
    EXPECT_LT(seconds, stallSeconds + 8);
    EXPECT_FALSE(fs::exists(part));
}

TEST_F(StalledRepository, FetchEndsWithTheFallbackListingError)
{
    PkgConfig config;
    config.pkgRepoUrl = silent.url();
    config.pkgRepoCachePath = sandbox.cacheDir().string();
    // The listing and its index.html fallback each wait out the limit once.
    auto [message, seconds] = timed([&] { PackageFetcher(config).fetch("bash"); });
    EXPECT_EQ(message, "Failed to fetch '" + silent.url() + "/index.html': Timeout was reached");
    EXPECT_LT(seconds, 2 * stallSeconds + 8);
    EXPECT_FALSE(fs::exists(sandbox.cacheDir()));
}

} // namespace
} // namespace Vandrel::Linux::FetcherTests
