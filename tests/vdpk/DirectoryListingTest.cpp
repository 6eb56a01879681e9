#include "vdpk/PackageFetcher.hpp"

#include "tests/support/Paths.hpp"
#include "tests/support/Sandbox.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <regex>
#include <string>
#include <vector>

namespace Vandrel::Linux {

// Lets EXPECT_EQ compare and print entries.
bool operator==(PackageFetcher::RepoEntry const& a, PackageFetcher::RepoEntry const& b)
{
    return a.name == b.name && a.isDirectory == b.isDirectory;
}

void PrintTo(PackageFetcher::RepoEntry const& e, std::ostream* os)
{
    *os << "{\"" << e.name << "\", " << (e.isDirectory ? "dir" : "file") << "}";
}

namespace {

using Entries = std::vector<PackageFetcher::RepoEntry>;

PackageFetcher::RepoEntry dir(std::string name)
{
    return {std::move(name), true};
}
PackageFetcher::RepoEntry file(std::string name)
{
    return {std::move(name), false};
}

Entries parse(std::string const& text)
{
    return PackageFetcher::parseDirectoryEntries(text);
}

std::string savedPage(std::string const& name)
{
    return Vandrel::Test::readFile(Vandrel::Test::sourceDir() / "tests/vdpk/data" / name);
}

struct ListingCase {
    char const* name;
    std::string page;
    Entries expected;
};

void PrintTo(ListingCase const& c, std::ostream* os)
{
    *os << c.name;
}

std::string caseName(::testing::TestParamInfo<ListingCase> const& info)
{
    return info.param.name;
}

// Listings as the common web servers write them.
class SavedListingPages : public ::testing::TestWithParam<ListingCase> {};

TEST_P(SavedListingPages, YieldTheirEntriesInListingOrder)
{
    EXPECT_EQ(parse(savedPage(GetParam().page)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, SavedListingPages,
    ::testing::Values(ListingCase{"PythonHttpServer", "python-http-server.html",
                                  Entries{dir("bash"), dir("core-utils"), dir("current%40"),
                                          file("README.txt"), dir("tcl%20tk"), dir("zlib")}},
                      ListingCase{"NginxAutoindex", "nginx-autoindex.html",
                                  Entries{dir("glibc"), dir("linux"),
                                          dir("a-very-long-directory-name-that-the-index-cuts-short"),
                                          file("checksums.txt"), file("notes%20%26%20news.txt")}},
                      // The XHTML namespace and DTD URLs are not href attributes; the
                      // script's href = '#' is a fragment only.
                      ListingCase{"LighttpdDirListingWithScript", "lighttpd-dirlisting.html",
                                  Entries{dir("5.1.16"), dir("5.2.21"), file("SIGNATURES.asc")}},
                      ListingCase{"ApacheAutoindexWithSortLinks", "apache-autoindex.html",
                                  Entries{dir("1.9"), dir("1.10"), file("README.html")}}),
    caseName);

// Which link targets are kept, and how they are cut to a name.
class ListingCleaning : public ::testing::TestWithParam<ListingCase> {};

TEST_P(ListingCleaning, KeepsOnlyNamesBelowTheListedDirectory)
{
    EXPECT_EQ(parse(GetParam().page), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Links, ListingCleaning,
    ::testing::Values(
        ListingCase{"NavigationLinksAroundOneSubdirectory",
                    R"(<a href="../">up</a> <a href="?C=M;O=A">sort</a> <a href="/icons/x.gif">)"
                    R"(<a href="http://example.invalid/pkg/">ext</a> <a href="sub/">sub</a>)",
                    Entries{dir("sub")}},
        ListingCase{"FragmentCut", R"(<a href="docs/#top">)", Entries{dir("docs")}},
        ListingCase{"QueryCut", R"(<a href="file.txt?download=1">)", Entries{file("file.txt")}},
        ListingCase{"QueryCutBeforeFragmentAndSlash", R"(<a href="a?b#c/">)", Entries{file("a")}},
        ListingCase{"OnlyFragmentsAndQueries", R"(<a href="#top"> <a href="?x"> <a href="#"> <a href="?">)",
                    Entries{}},
        ListingCase{"OnlyOneTrailingSlashIsRemoved",
                    R"(<a href="a//"> <a href="..//"> <a href="./"> <a href=".">)",
                    Entries{dir("a/"), dir("../"), dir("."), file(".")}},
        // "/" alone and "//" (absolute after its slash is removed) leave nothing.
        ListingCase{"RootAndParentLinks", R"(<a href="/"> <a href="//"> <a href=".."> <a href="../">)",
                    Entries{}},
        ListingCase{"OtherSitesAndAbsolutePaths",
                    R"(<a href="ftp://host/x"> <a href="a://b"> <a href="sub/http://x/"> <a href="/abs/">)",
                    Entries{}},
        // Two characters cannot hold "://", but a colon alone is harmless.
        ListingCase{"ColonWithoutScheme", R"(<a href="c:/">)", Entries{dir("c:")}},
        ListingCase{"DuplicatesAndListingOrderStay", R"(<a href="b/"><a href="a"><a href="b/">)",
                    Entries{dir("b"), file("a"), dir("b")}},
        ListingCase{"SpacedAndMixedQuotes", "<a href = \t\n'single/'> <a href=\"mixed'> <a href='other\">",
                    Entries{dir("single"), file("mixed"), file("other")}},
        // Not percent-decoded, and spaces inside the quotes stay.
        ListingCase{"NoDecoding", R"(<a href="with space%2F/">)", Entries{dir("with space%2F")}},
        // An empty target does not match; the search goes on after it.
        ListingCase{"EmptyTargetSkipped", R"(<a href="">x</a><a href="y">)", Entries{file("y")}},
        ListingCase{"UpperCaseAttributeIsNotRecognised",
                    R"(<A HREF="upper/"> <a Href="mixed/"> <a href="lower/">)", Entries{dir("lower")}}),
    caseName);

// The scanner must find exactly what the regular expression finds.
class HrefScanner : public ::testing::Test {
  protected:
    static std::vector<std::string> regexTargets(std::string const& text)
    {
        static std::regex const pattern(R"re(href\s*=\s*["']([^"']+)["'])re");
        std::vector<std::string> out;
        for (std::sregex_iterator it(text.begin(), text.end(), pattern), end; it != end; ++it)
            out.push_back((*it)[1].str());
        return out;
    }
};

TEST_F(HrefScanner, AgreesWithRegexOnAdversarialInputs)
{
    std::vector<std::string> const cases = {"",
                                            "href",
                                            "href=",
                                            "href=\"",
                                            "href=\"\"",
                                            "href=\"a",
                                            "href=\"a\"",
                                            "hrefhref=\"a\"",
                                            "hhref='x'",
                                            "href=href='x'",
                                            "href='href='x''",
                                            "href = \v\f\r'a b'",
                                            "href=\"a'\"b\"",
                                            "href\n=\n\"\n\"",
                                            "href=\"\"\"x\"",
                                            "href='\"",
                                            "hre f='x'",
                                            "href=='x'",
                                            "href= = 'x'",
                                            "href=\"x\"href=\"y\"",
                                            std::string("href=\"\0\"", 8),
                                            "href=\"\xe9\xff\"",
                                            "href=\xa0\"x\"",
                                            "href\x85=\"x\""};
    for (auto const& text : cases)
        EXPECT_EQ(PackageFetcher::findHrefTargets(text), regexTargets(text)) << testing::PrintToString(text);
}

// Random texts made mostly of near-matches: the attribute with one part
// dropped, replaced or doubled, between bytes of every kind.
class NearMatchGenerator {
  public:
    std::string text()
    {
        std::string out;
        for (int n = number(0, 4); n > 0; --n)
            out += chance(0.6) ? nearMatch() : any(noise);
        return out;
    }

  private:
    std::mt19937 random{20240312};
    std::vector<std::string> const noise = {"a",    "b/",   "#",    "?", "..", "/",    std::string(1, '\0'),
                                            "\xe9", "\xa0", "\x85", "f", "h",  "href", "HREF",
                                            "=",    "\"",   "'",    " ", "\n", "\v"};
    std::vector<std::string> const spaces = {"", "", " ", "\t", "\n", "\v", "\f", "\r", " \r\n"};
    std::vector<std::string> const quotes = {"\"", "'"};

    int number(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); }
    bool chance(double p) { return std::bernoulli_distribution(p)(random); }
    std::string const& any(std::vector<std::string> const& from)
    {
        return from[static_cast<std::size_t>(number(0, static_cast<int>(from.size()) - 1))];
    }
    std::string content()
    {
        std::string out;
        for (int n = number(0, 3); n > 0; --n) {
            std::string const& piece = any(noise);
            if ((piece == "\"" || piece == "'") && !chance(0.1))
                continue;
            out += piece;
        }
        return out;
    }
    std::string nearMatch()
    {
        std::string out;
        for (std::string const& part : {std::string("href"), any(spaces), std::string("="), any(spaces),
                                        any(quotes), content(), any(quotes)}) {
            if (chance(0.08))
                continue;
            if (chance(0.08)) {
                out += any(noise);
                continue;
            }
            out += part;
            if (chance(0.04))
                out += part;
        }
        return out;
    }
};

TEST_F(HrefScanner, AgreesWithRegexOnRandomInputs)
{
    NearMatchGenerator generator;
    int withMatches = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string const text = generator.text();
        auto const expected = regexTargets(text);
        withMatches += expected.empty() ? 0 : 1;
        ASSERT_EQ(PackageFetcher::findHrefTargets(text), expected) << testing::PrintToString(text);
    }
    // Guards the generator itself: the comparison must see plenty of matches.
    EXPECT_GT(withMatches, 4000);
}

class HugeListings : public ::testing::Test {};

TEST_F(HugeListings, OneMegabyteLinkIsOneEntry)
{
    std::string const name(1 << 20, 'a');
    auto entries = parse("<a href=\"x/\">x</a><a href=\"" + name + "/\">big</a><a href='z'>");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[1], dir(name));
    EXPECT_EQ(entries[2], file("z"));
}

TEST_F(HugeListings, TwentyMegabyteListingIsParsedInFull)
{
    std::string text;
    int count = 0;
    while (text.size() < 20u << 20)
        text += "<tr><td><a href=\"pkg-" + std::to_string(count++) + "/\">pkg</a></td><td>-</td></tr>\n";
    auto const start = std::chrono::steady_clock::now();
    auto entries = parse(text);
    auto const seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(entries.size(), static_cast<std::size_t>(count));
    EXPECT_EQ(entries.back(), dir("pkg-" + std::to_string(count - 1)));
    EXPECT_LT(seconds, 10.0);
}

TEST_F(HugeListings, UnterminatedAttributesEndQuickly)
{
    // An opening quote never closed, then many attribute starts: no match,
    // and no per-start rescan of the rest of the text.
    std::string text = "<a href=\"";
    std::string noise;
    while (noise.size() < 20u << 20)
        noise += "href=";
    auto const start = std::chrono::steady_clock::now();
    EXPECT_TRUE(parse(text + noise).empty());
    EXPECT_TRUE(parse(noise + "href='x").empty());
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 10.0);
}

} // namespace
} // namespace Vandrel::Linux
