#include "vdpk/PackageFetcher.hpp"

#include "tests/vdpk/RepositoryFixture.hpp"

#include <fstream>

namespace Vandrel::Linux::FetcherTests {
namespace {

class RepositoryFetch : public RepositoryFixture {};

TEST_F(RepositoryFetch, DownloadsIntoTheCacheUnderTheRepositoryPath)
{
    fs::path published = publish("linux", "bash", "5.2");
    fs::path local = fetcher().fetch("bash");
    EXPECT_EQ(local, sandbox.cacheDir() / "linux/bash/5.2/bash-5.2-x64.vdpk.tar.bz2");
    EXPECT_EQ(Vandrel::Test::readFile(local), Vandrel::Test::readFile(published));
    EXPECT_FALSE(fs::exists(local.string() + ".part"));

    // Every listing once, the archive once; python answers a directory
    // without "/" by a redirect, which is followed once.
    auto requests = server->requests();
    EXPECT_EQ(countOf(requests, "GET /repo 301"), 1);
    EXPECT_EQ(countOf(requests, "GET /repo/ 200"), 1);
    EXPECT_EQ(countOf(requests, "GET /repo/linux/ 200"), 1);
    EXPECT_EQ(countOf(requests, "GET /repo/linux/bash/ 200"), 1);
    EXPECT_EQ(countOf(requests, "GET /repo/linux/bash/5.2/bash-5.2-x64.vdpk.tar.bz2 200"), 1);
    EXPECT_EQ(requests.size(), 5u);
}

TEST_F(RepositoryFetch, OneFetcherReadsEachListingOnceOverOneConnection)
{
    publish("core", "zlib", "1.3");
    publish("core", "bash", "5.2");
    publish("extra", "vim", "9.0");
    publish("desktop", "xterm", "390");
    PackageFetcher const f = fetcher();
    for (std::string const name : {"zlib", "vim", "bash", "zlib"})
        f.fetch(name);

    auto requests = server->requests();
    std::sort(requests.begin(), requests.end());
    // One redirect teaches the fetcher to ask for directories with their slash.
    EXPECT_EQ(requests, (std::vector<std::string>{
                            "GET /repo 301",
                            "GET /repo/ 200",
                            "GET /repo/core/ 200",
                            "GET /repo/core/bash/ 200",
                            "GET /repo/core/bash/5.2/bash-5.2-x64.vdpk.tar.bz2 200",
                            "GET /repo/core/zlib/ 200",
                            "GET /repo/core/zlib/1.3/zlib-1.3-x64.vdpk.tar.bz2 200",
                            "GET /repo/desktop/ 200",
                            "GET /repo/extra/ 200",
                            "GET /repo/extra/vim/ 200",
                            "GET /repo/extra/vim/9.0/vim-9.0-x64.vdpk.tar.bz2 200",
                        }));
    EXPECT_EQ(server->connections(), 1);

    // Another fetcher (another command) reads the repository afresh.
    server->clearRequests();
    fetcher().fetch("zlib");
    EXPECT_EQ(countOf(server->requests(), "GET /repo/core/zlib/ 200"), 1);
    EXPECT_EQ(server->connections(), 1);
}

TEST_F(RepositoryFetch, NewestVersionByVersionOrderNotTextOrder)
{
    publish("linux", "zlib", "1.9");
    publish("linux", "zlib", "1.10");
    publish("linux", "zlib", "1.2");
    EXPECT_EQ(fetcher().resolvePackageRelativePath("zlib"),
              fs::path("linux/zlib/1.10/zlib-1.10-x64.vdpk.tar.bz2"));
}

TEST_F(RepositoryFetch, InvalidVersionAmongSeveralFailsWithTheVersionError)
{
    publish("linux", "zlib", "1.9");
    publish("linux", "zlib", "1.0-rc1");
    EXPECT_EQ(messageOf([&] { fetcher().fetch("zlib"); }),
              "Invalid package version format '1.0-rc1': only letters, digits and dots are allowed");
}

TEST_F(RepositoryFetch, BaseDirectoryWinsAndOsDirectoriesAreNotExamined)
{
    publish("", "make", "4.3");
    publish("linux", "make", "4.4");
    EXPECT_EQ(fetcher().resolvePackageRelativePath("make"), fs::path("make/4.3/make-4.3-x64.vdpk.tar.bz2"));
    for (auto const& line : server->requests())
        EXPECT_EQ(line.find("/repo/linux"), std::string::npos) << line;
}

TEST_F(RepositoryFetch, PackageInTwoOsDirectoriesIsAmbiguous)
{
    publish("linux", "gcc", "12.2");
    publish("musl", "gcc", "12.2");
    EXPECT_EQ(messageOf([&] { fetcher().fetch("gcc"); }),
              "Package 'gcc' was found in multiple repository OS directories");
    EXPECT_FALSE(fs::exists(sandbox.cacheDir()));
}

TEST_F(RepositoryFetch, DirectoryLinkedTwiceIsOneOsDirectory)
{
    // Listings with icon links name each directory twice.
    publish("linux", "gcc", "12.2");
    sandbox.writeFile("www/repo/index.html", R"(<a href="linux/"><img></a> <a href="linux/">linux/</a>)");
    EXPECT_EQ(fetcher().resolvePackageRelativePath("gcc"),
              fs::path("linux/gcc/12.2/gcc-12.2-x64.vdpk.tar.bz2"));
    EXPECT_EQ(countOf(server->requests(), "GET /repo/linux/ 200"), 1);
}

TEST_F(RepositoryFetch, MissingPackageNamesTheRepositoryAsConfigured)
{
    publish("linux", "bash", "5.2");
    std::string const url = repoUrl() + "//";
    EXPECT_EQ(messageOf([&] { fetcher(url).fetch("tcsh"); }),
              "Package 'tcsh' was not found in repository '" + url + "'");
    // Names match byte for byte.
    EXPECT_EQ(messageOf([&] { fetcher().fetch("Bash"); }),
              "Package 'Bash' was not found in repository '" + repoUrl() + "'");
}

TEST_F(RepositoryFetch, TrailingSlashOnTheBaseChangesNoRequest)
{
    publish("linux", "bash", "5.2");
    publish("", "make", "4.3");
    std::vector<std::vector<std::string>> logs;
    int round = 0;
    for (std::string const& url : {repoUrl(), repoUrl() + "/", repoUrl() + "///"}) {
        server->clearRequests();
        fs::path cache = sandbox.root() / ("cache" + std::to_string(round++));
        fetcher(url, cache).fetch("bash");
        fetcher(url, cache).fetch("make");
        logs.push_back(server->requests());
    }
    EXPECT_FALSE(logs[0].empty());
    EXPECT_EQ(logs[1], logs[0]);
    EXPECT_EQ(logs[2], logs[0]);
}

TEST_F(RepositoryFetch, CachedArchiveIsNotDownloadedAgainUntilANewerVersionAppears)
{
    publish("linux", "bash", "5.1");
    std::string const oldArchive = "GET /repo/linux/bash/5.1/bash-5.1-x64.vdpk.tar.bz2 200";
    fs::path first = fetcher().fetch("bash");
    fs::path second = fetcher().fetch("bash");
    EXPECT_EQ(second, first);
    EXPECT_EQ(countOf(server->requests(), oldArchive), 1);

    fs::path newer = publish("linux", "bash", "5.2");
    fs::path third = fetcher().fetch("bash");
    EXPECT_EQ(third, sandbox.cacheDir() / "linux/bash/5.2/bash-5.2-x64.vdpk.tar.bz2");
    EXPECT_EQ(Vandrel::Test::readFile(third), Vandrel::Test::readFile(newer));
    EXPECT_TRUE(fs::exists(first));
    EXPECT_EQ(countOf(server->requests(), oldArchive), 1);
}

TEST_F(RepositoryFetch, LeftoverPartFileIsOverwritten)
{
    fs::path published = publish("linux", "bash", "5.2");
    fs::path local = sandbox.cacheDir() / "linux/bash/5.2/bash-5.2-x64.vdpk.tar.bz2";
    sandbox.writeFile(fs::relative(local, sandbox.root()).string() + ".part", std::string(1 << 20, 'x'));
    EXPECT_EQ(fetcher().fetch("bash"), local);
    EXPECT_EQ(Vandrel::Test::readFile(local), Vandrel::Test::readFile(published));
    EXPECT_FALSE(fs::exists(local.string() + ".part"));
}

TEST_F(RepositoryFetch, FailedDownloadLeavesNoFileBehind)
{
    fs::path published = publish("linux", "bash", "5.2");
    fs::remove(published);
    std::string const url = repoUrl() + "/linux/bash/5.2/bash-5.2-x64.vdpk.tar.bz2";
    EXPECT_EQ(messageOf([&] { fetcher().fetch("bash"); }),
              "Failed to download '" + url + "': HTTP response code said error");
    fs::path local = sandbox.cacheDir() / "linux/bash/5.2/bash-5.2-x64.vdpk.tar.bz2";
    EXPECT_FALSE(fs::exists(local));
    EXPECT_FALSE(fs::exists(local.string() + ".part"));
}

TEST_F(RepositoryFetch, NoVersionDirectoriesNamesThePackageDirectory)
{
    sandbox.writeFile("www/repo/linux/bash/README", "only a file");
    sandbox.writeFile("www/repo/linux/bash/bash-5.2-x64.vdpk.tar.bz2", "misplaced");
    EXPECT_EQ(messageOf([&] { fetcher(repoUrl() + "/").fetch("bash"); }),
              "No package versions found at '" + repoUrl() + "/linux/bash'");
}

// Writes an index.html into every directory below root listing its children
// the way python does, for servers that do not list directories.
void writeIndexFiles(fs::path const& root)
{
    std::vector<fs::path> dirs{root};
    for (auto const& entry : fs::recursive_directory_iterator(root))
        if (entry.is_directory())
            dirs.push_back(entry.path());
    for (auto const& dir : dirs) {
        std::string page = "<ul>\n";
        for (auto const& child : fs::directory_iterator(dir)) {
            std::string name = child.path().filename().string() + (child.is_directory() ? "/" : "");
            page += "<li><a href=\"" + name + "\">" + name + "</a></li>\n";
        }
        std::ofstream(dir / "index.html") << page << "</ul>\n";
    }
}

TEST_F(RepositoryFetch, DirectoriesThatFailAreListedFromTheirIndexFile)
{
    fs::path published = publish("linux", "bash", "5.2");
    writeIndexFiles(repo);
    startServer({"--fail-dirs"});
    EXPECT_EQ(Vandrel::Test::readFile(fetcher().fetch("bash")), Vandrel::Test::readFile(published));
    auto requests = server->requests();
    EXPECT_EQ(countOf(requests, "GET /repo 404"), 1);
    EXPECT_EQ(countOf(requests, "GET /repo/index.html 200"), 1);
    EXPECT_EQ(countOf(requests, "GET /repo/linux 404"), 1);
    EXPECT_EQ(countOf(requests, "GET /repo/linux/index.html 200"), 1);
    EXPECT_EQ(countOf(requests, "GET /repo/linux/bash/index.html 200"), 1);
}

TEST_F(RepositoryFetch, ListingThatFailsTwiceReportsTheIndexUrl)
{
    startServer({"--fail-dirs"});
    EXPECT_EQ(messageOf([&] { fetcher().listDirectory(repoUrl() + "/linux"); }),
              "Failed to fetch '" + repoUrl() + "/linux/index.html': HTTP response code said error");
}

// Transfers on their own, against the same server.
class Transfers : public RepositoryFetch {};

TEST_F(Transfers, FetchTextReturnsTheBodyAndReportsFailures)
{
    sandbox.writeFile("www/repo/hello.txt", std::string("bytes\0kept\n", 11));
    EXPECT_EQ(fetcher().fetchText(repoUrl() + "/hello.txt"), std::string("bytes\0kept\n", 11));
    EXPECT_EQ(messageOf([&] { fetcher().fetchText(repoUrl() + "/missing.txt"); }),
              "Failed to fetch '" + repoUrl() + "/missing.txt': HTTP response code said error");
}

TEST_F(Transfers, DownloadFileCannotOpenItsTarget)
{
    fs::path target = sandbox.root() / "no such dir" / "x.part";
    EXPECT_EQ(messageOf([&] { fetcher().downloadFile(repoUrl() + "/", target); }),
              "Failed to open '" + target.string() + "' for writing");
}

TEST_F(Transfers, WriteFailureIsADownloadFailureEvenWhenOnlyTheLastBytesAreLost)
{
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    // A small body only reaches the disk when the stream is closed; a large
    // one fails while it is transferred. Either way nothing is left behind.
    sandbox.writeFile("www/repo/small", "tiny");
    sandbox.writeFile("www/repo/large", std::string(4 << 20, 'L'));
    for (std::string const name : {"small", "large"}) {
        fs::path target = sandbox.root() / ("full-" + name);
        fs::create_symlink("/dev/full", target);
        std::string const url = repoUrl() + "/" + name;
        EXPECT_EQ(messageOf([&] { fetcher().downloadFile(url, target); }),
                  "Failed to download '" + url + "': Failed writing received data to disk/application");
        EXPECT_FALSE(fs::exists(fs::symlink_status(target)));
    }
}

// Pure functions: no server.
TEST(FetcherUrls, TrailingSlashesJoinsAndArchiveNames)
{
    EXPECT_EQ(PackageFetcher::trimTrailingSlash("http://h/r//"), "http://h/r");
    EXPECT_EQ(PackageFetcher::trimTrailingSlash("/"), "");
    EXPECT_EQ(PackageFetcher::joinUrl("http://h/r///", "os"), "http://h/r/os");
    EXPECT_EQ(PackageFetcher::joinUrl("http://h/r", "/abs"), "http://h/r//abs");
    EXPECT_EQ(PackageFetcher::packageFileName("tcl tk", "8.6"), "tcl tk-8.6-x64.vdpk.tar.bz2");
}

} // namespace
} // namespace Vandrel::Linux::FetcherTests
