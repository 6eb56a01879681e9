#include "core/RepositoryIndex.hpp"

#include "core/Signature.hpp"

#include "tests/support/Archive.hpp"
#include "tests/support/Errors.hpp"
#include "tests/support/Minisign.hpp"
#include "tests/support/Sandbox.hpp"

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

namespace Vandrel::Linux {
namespace {

namespace fs = std::filesystem;
namespace support = Vandrel::Test;
using support::messageOf;

RepositoryIndexEntry entry(std::string os, std::string name, std::string version,
                           std::vector<std::string> depends = {})
{
    RepositoryIndexEntry e;
    e.os = std::move(os);
    e.name = std::move(name);
    e.version = std::move(version);
    e.depends = std::move(depends);
    e.path = fmt::format("{}/{}/{}/{}-{}-x64.vdpk.tar.bz2", e.os, e.name, e.version, e.name, e.version);
    e.size = 1234;
    e.sha256 = std::string(64, 'a');
    return e;
}

std::string const sha(64, 'a');

// --- The text form -----------------------------------------------------------

TEST(RepositoryIndexText, WhatIsWrittenReadsBackEqualAlsoWithQuotesAndControlCharacters)
{
    RepositoryIndex index;
    index.generated = RepositoryIndex::parseTime("2026-01-02T03:04:05.678901Z");
    index.entries = {entry("core", "alpha", "2.0", {"beta", "gam\"ma\\x"}), entry("extra", "beta", "1.10")};
    index.entries[1].depends = {"tab\there", "new\nline"};
    RepositoryIndex const read = RepositoryIndex::parse(index.toYaml(), "test");
    EXPECT_EQ(read.generated, index.generated);
    EXPECT_EQ(read.entries, index.entries);
    // Read by the fast reader, not through the fall-back: a large index must
    // not take yaml-cpp's time.
    auto const fast = RepositoryIndex::readWrittenLayout(index.toYaml());
    ASSERT_TRUE(fast.has_value());
    EXPECT_EQ(fast->entries, index.entries);
    EXPECT_THAT(index.toYaml(),
                ::testing::StartsWith("generated: \"2026-01-02T03:04:05.678901Z\"\npackages:\n"
                                      "  - os: \"core\"\n    name: \"alpha\"\n"));
}

TEST(RepositoryIndexText, AnEmptyIndexReadsBack)
{
    RepositoryIndex index;
    index.generated = 1;
    EXPECT_EQ(index.toYaml(), "generated: \"1970-01-01T00:00:00.000001Z\"\npackages: []\n");
    EXPECT_TRUE(RepositoryIndex::parse(index.toYaml(), "test").entries.empty());
}

TEST(RepositoryIndexText, OtherYamlLayoutsReadTheSame)
{
    // Block lists, other key order, plain scalars, a comment: what a person
    // or another tool may write.
    std::string const text = "# written by hand\n"
                             "packages:\n"
                             "- name: alpha\n"
                             "  os: core\n"
                             "  version: '2.0'\n"
                             "  depends:\n"
                             "    - beta\n"
                             "  path: core/alpha/2.0/alpha-2.0-x64.vdpk.tar.bz2\n"
                             "  size: 1234\n"
                             "  sha256: " +
                             sha +
                             "\n"
                             "generated: 2026-01-02T03:04:05.000000Z\n";
    EXPECT_FALSE(RepositoryIndex::readWrittenLayout(text).has_value());
    RepositoryIndex const read = RepositoryIndex::parse(text, "test");
    EXPECT_EQ(read.entries, std::vector{entry("core", "alpha", "2.0", {"beta"})});
    EXPECT_EQ(RepositoryIndex::formatTime(read.generated), "2026-01-02T03:04:05.000000Z");
}

struct InvalidIndex {
    std::string label;
    std::string text;
    std::string why;
};

void PrintTo(InvalidIndex const& c, std::ostream* os)
{
    *os << c.label;
}

class RepositoryIndexInvalid : public ::testing::TestWithParam<InvalidIndex> {};

TEST_P(RepositoryIndexInvalid, IsRefusedWithTheReason)
{
    EXPECT_EQ(messageOf([] { RepositoryIndex::parse(GetParam().text, "http://repo/index.yml"); }),
              "Invalid repository index 'http://repo/index.yml': " + GetParam().why);
}

std::string withEntry(std::string const& fields)
{
    return "generated: \"2026-01-02T03:04:05.000000Z\"\npackages:\n  - os: \"core\"\n" + fields;
}

std::string const goodTail = "    size: 1\n    sha256: \"" + sha + "\"\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, RepositoryIndexInvalid,
    ::testing::Values(
        InvalidIndex{
            "PathLeavingTheRepository",
            withEntry("    name: \"a\"\n    version: \"1\"\n    path: \"../../etc/a-1-x64.vdpk.tar.bz2\"\n" +
                      goodTail),
            "invalid path '../../etc/a-1-x64.vdpk.tar.bz2'"},
        InvalidIndex{"AbsolutePath",
                     withEntry("    name: \"a\"\n    version: \"1\"\n    path: \"/a-1-x64.vdpk.tar.bz2\"\n" +
                               goodTail),
                     "invalid path '/a-1-x64.vdpk.tar.bz2'"},
        InvalidIndex{"PathThatIsNoArchive",
                     withEntry("    name: \"a\"\n    version: \"1\"\n    path: \"core/a/1/a\"\n" + goodTail),
                     "invalid path 'core/a/1/a'"},
        InvalidIndex{
            "NameWithASlash",
            withEntry("    name: \"a/b\"\n    version: \"1\"\n    path: \"core/a-1-x64.vdpk.tar.bz2\"\n" +
                      goodTail),
            "invalid name 'a/b' in the entry of 'core/a-1-x64.vdpk.tar.bz2'"},
        InvalidIndex{
            "BadVersion",
            withEntry("    name: \"a\"\n    version: \"1..2\"\n    path: \"core/a-1-x64.vdpk.tar.bz2\"\n" +
                      goodTail),
            "invalid version '1..2' of 'a'"},
        InvalidIndex{
            "ShortHash",
            withEntry("    name: \"a\"\n    version: \"1\"\n    path: \"core/a-1-x64.vdpk.tar.bz2\"\n"
                      "    size: 1\n    sha256: \"abc\"\n"),
            "invalid sha256 of 'core/a-1-x64.vdpk.tar.bz2'"},
        InvalidIndex{"DependencyLeavingTheCache",
                     withEntry("    name: \"a\"\n    version: \"1\"\n    depends: [\"..\"]\n"
                               "    path: \"core/a-1-x64.vdpk.tar.bz2\"\n" +
                               goodTail),
                     "invalid dependency '..' of 'a'"},
        InvalidIndex{"NoGenerationTime", "packages: []\n", "no 'generated' time"},
        InvalidIndex{
            "NoSize",
            withEntry("    name: \"a\"\n    version: \"1\"\n    path: \"core/a-1-x64.vdpk.tar.bz2\"\n"
                      "    sha256: \"" +
                      sha + "\"\n"),
            "a package has no 'size'"},
        InvalidIndex{"NotAMap", "- just\n- a list\n", "not a map"}),
    [](auto const& info) { return info.param.label; });

TEST(RepositoryIndexTime, FormatsAndParsesMicrosecondsInUtc)
{
    EXPECT_EQ(RepositoryIndex::formatTime(0), "1970-01-01T00:00:00.000000Z");
    EXPECT_EQ(RepositoryIndex::parseTime("2000-02-29T23:59:59.999999Z"), 951868799999999);
    EXPECT_EQ(RepositoryIndex::formatTime(951868799999999), "2000-02-29T23:59:59.999999Z");
    for (char const* bad : {"2000-02-29 23:59:59.999999Z", "2000-02-29T23:59:59Z",
                            "2000-13-01T00:00:00.000000Z", "2000-02-29T23:59:59.99999xZ"})
        EXPECT_EQ(messageOf([&] { RepositoryIndex::parseTime(bad); }),
                  fmt::format("Invalid index time '{}'", bad))
            << bad;
}

// --- Choosing a package --------------------------------------------------------

TEST(RepositoryIndexNewest, ChoosesByVersionOrderNotTextOrder)
{
    RepositoryIndex index;
    index.entries = {entry("core", "zlib", "1.9"), entry("core", "zlib", "1.10"),
                     entry("core", "zlib", "1.2"), entry("core", "other", "9")};
    ASSERT_NE(index.newest("zlib"), nullptr);
    EXPECT_EQ(index.newest("zlib")->version, "1.10");
    EXPECT_EQ(index.newest("missing"), nullptr);
}

TEST(RepositoryIndexNewest, ANameInTwoOsDirectoriesIsAmbiguous)
{
    RepositoryIndex index;
    index.entries = {entry("core", "zlib", "1.9"), entry("extra", "zlib", "1.10")};
    EXPECT_EQ(messageOf([&] { index.newest("zlib"); }),
              "Package 'zlib' was found in multiple repository OS directories");
}

// --- Writing the index of a repository ---------------------------------------------

class RepositoryIndexWrite : public ::testing::Test {
  protected:
    fs::path repo() const { return box.root() / "repo"; }
    fs::path publish(std::string const& os, std::string const& name, std::string const& version,
                     std::vector<std::string> depends = {}) const
    {
        return support::publishPackage(repo(), os, {.name = name, .version = version, .depends = depends});
    }
    RepositoryIndex read() const
    {
        return RepositoryIndex::parse(support::readFile(repo() / "index.yml"), "test");
    }

    support::Sandbox box;
};

TEST_F(RepositoryIndexWrite, RebuildListsEveryArchiveWithItsManifestSizeAndHash)
{
    fs::path const alpha = publish("core", "alpha", "2.0", {"beta"});
    publish("core", "beta", "1.0");
    box.writeFile("repo/core/README", "not an archive\n");
    RepositoryIndexUpdate::rebuild(repo(), nullptr);

    RepositoryIndex const index = read();
    ASSERT_EQ(index.entries.size(), 2u);
    RepositoryIndexEntry const& first = index.entries.front();
    EXPECT_EQ(first.path, "core/alpha/2.0/alpha-2.0-x64.vdpk.tar.bz2");
    EXPECT_EQ(first.os, "linux"); // the manifest's os, whatever the directory
    EXPECT_EQ(first.depends, std::vector<std::string>{"beta"});
    EXPECT_EQ(first.size, fs::file_size(alpha));
    support::RunResult const sum = support::runShell("sha256sum '" + alpha.string() + "'");
    EXPECT_EQ(first.sha256, sum.out.substr(0, 64));
    EXPECT_FALSE(fs::exists(repo() / "index.yml.minisig"));
    // Nothing of the temporary files is left.
    for (auto const& item : fs::directory_iterator(repo()))
        EXPECT_THAT(item.path().filename().string(), ::testing::Not(::testing::StartsWith(".index-")));
}

TEST_F(RepositoryIndexWrite, AddingAnArchiveKeepsTheOthersDropsTheGoneAndIsNewerEachTime)
{
    fs::path const alpha = publish("core", "alpha", "2.0");
    fs::path const beta = publish("core", "beta", "1.0");
    RepositoryIndexUpdate::rebuild(repo(), nullptr);
    std::int64_t const first = read().generated;

    fs::remove(beta);
    fs::path const gamma = publish("core", "gamma", "3.0");
    RepositoryIndexUpdate::addArchive(repo(), gamma, Package{.os = "core", .name = "gamma", .version = "3.0"},
                                      nullptr);
    RepositoryIndex const index = read();
    std::vector<std::string> paths;
    for (auto const& e : index.entries)
        paths.push_back(e.path);
    EXPECT_EQ(paths, (std::vector<std::string>{"core/alpha/2.0/alpha-2.0-x64.vdpk.tar.bz2",
                                               "core/gamma/3.0/gamma-3.0-x64.vdpk.tar.bz2"}));
    EXPECT_GT(index.generated, first);
}

TEST_F(RepositoryIndexWrite, AnUnreadableIndexIsRebuiltFromTheArchives)
{
    publish("core", "alpha", "2.0");
    fs::path const beta = publish("core", "beta", "1.0");
    box.writeFile("repo/index.yml", "packages: [\n");
    RepositoryIndexUpdate::addArchive(repo(), beta, Package{.os = "linux", .name = "beta", .version = "1.0"},
                                      nullptr);
    EXPECT_EQ(read().entries.size(), 2u);
}

TEST_F(RepositoryIndexWrite, WithAKeyTheIndexIsSignedSoThatMinisignVerifiesItAndWithoutOneTheSignatureGoes)
{
    auto const keys = support::makeMinisignKeyPair(box.root() / "keys", "repo");
    publish("core", "alpha", "2.0");
    Signature::SecretKey const key = Signature::loadSecretKey(keys.secretKey);
    RepositoryIndexUpdate::rebuild(repo(), &key);
    support::RunResult const verified = support::minisignVerify(keys.publicKey, repo() / "index.yml");
    EXPECT_EQ(verified.status, 0) << verified.err;
    EXPECT_THAT(support::readFile(repo() / "index.yml.minisig"),
                ::testing::HasSubstr("\tfile:index.yml\thashed\n"));

    RepositoryIndexUpdate::rebuild(repo(), nullptr);
    EXPECT_FALSE(fs::exists(repo() / "index.yml.minisig"));
}

TEST_F(RepositoryIndexWrite, AMissingRepositoryIsAnError)
{
    EXPECT_EQ(messageOf([&] { RepositoryIndexUpdate::rebuild(repo(), nullptr); }),
              "Package repository '" + repo().string() + "' does not exist");
}

} // namespace
} // namespace Vandrel::Linux
