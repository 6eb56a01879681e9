// Runs the built vdpk against loopback repositories that carry an index.yml
// made by the built "vd-build --index-repository": names and dependencies
// come from the index before the prompt, each archive is checked against its
// entry, and with trusted keys the index itself must be signed and no older
// than one already accepted. Every hostile case is refused with its message
// and installs nothing.
#include "tests/support/Minisign.hpp"
#include "tests/support/VdpkSandbox.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>

namespace Vandrel::Test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

void replaceInFile(fs::path const& file, std::string const& from, std::string const& to)
{
    std::string text = readFile(file);
    auto const at = text.find(from);
    if (at == std::string::npos)
        throw std::runtime_error("'" + from + "' is not in " + file.string());
    text.replace(at, from.size(), to);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

// beta 1.0 and alpha 1.9 and 1.10 (both needing beta), among others.
class VdpkIndex : public ::testing::Test {
  public:
    VdpkIndex()
    {
        beta = box.publish("core", "beta", "1.0");
        box.publish("extra", "alpha", "1.9", {"beta"});
        alpha = box.publish("extra", "alpha", "1.10", {"beta"});
        box.publish("core", "other", "3.0");
    }

    void index(fs::path const& key = {}) const
    {
        RunResult const indexed = box.indexRepository(key);
        ASSERT_EQ(indexed.status, 0) << indexed.err;
    }

    std::vector<std::string> sortedRequests() const
    {
        auto requests = box.server().requests();
        std::sort(requests.begin(), requests.end());
        return requests;
    }

    fs::path indexFile() const { return box.repo() / "index.yml"; }
    fs::path indexSignature() const { return box.repo() / "index.yml.minisig"; }
    std::string indexUrl() const { return box.repoUrl() + "/index.yml"; }

    VdpkSandbox box;
    fs::path beta;
    fs::path alpha;
};

TEST_F(VdpkIndex, InstallsTheNewestVersionWithItsDependenciesAskingOnlyForTheIndexAndTheArchives)
{
    index();
    box.serve();
    RunResult const run = box.vdpk({"--install", "alpha"}, "y\n");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.err, HasSubstr("This package requires 1 packages: beta\n"
                                   "Are you sure you want to install 2 packages? [y/N] "));
    EXPECT_EQ(box.installedVersion("alpha"), "1.10\n");
    EXPECT_EQ(box.installedVersion("beta"), "1.0\n");
    EXPECT_EQ(sortedRequests(), (std::vector<std::string>{
                                    "GET /repo/core/beta/1.0/beta-1.0-x64.vdpk.tar.bz2 200",
                                    "GET /repo/extra/alpha/1.10/alpha-1.10-x64.vdpk.tar.bz2 200",
                                    "GET /repo/index.yml 200",
                                }));
}

TEST_F(VdpkIndex, ThePromptComesBeforeAnyArchiveIsDownloaded)
{
    index();
    box.serve();
    RunResult const run = box.vdpk({"--install", "alpha"}, "n\n");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(box.server().requests(), std::vector<std::string>{"GET /repo/index.yml 200"});
    EXPECT_FALSE(fs::exists(box.cacheDir() / "extra"));
    EXPECT_FALSE(fs::exists(box.prefix() / "usr"));
}

TEST_F(VdpkIndex, ANameTheIndexLacksIsAMissingPackageWithoutReadingListings)
{
    index();
    box.serve();
    RunResult const run = box.vdpk({"--install", "zeta"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, errorOutput("Package 'zeta' was not found in repository '" + box.repoUrl() + "'"));
    EXPECT_EQ(box.server().requests(), std::vector<std::string>{"GET /repo/index.yml 200"});
}

TEST_F(VdpkIndex, AnArchiveCachedIntactIsNotDownloadedAgain)
{
    index();
    box.serve();
    ASSERT_EQ(box.vdpk({"--install", "beta"}).status, 0);
    box.server().clearRequests();
    RunResult const again = box.vdpk({"--install", "beta"}, std::nullopt, box.root() / "prefix2");
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(box.installedVersion("beta", box.root() / "prefix2"), "1.0\n");
    EXPECT_EQ(box.server().requests(), std::vector<std::string>{"GET /repo/index.yml 200"});
}

TEST_F(VdpkIndex, AnUnchangedIndexIsAskedForConditionallyAndAChangedOneIsReadAfresh)
{
    index();
    // Older than the second in which a change could go unnoticed.
    auto const past = fs::file_time_type::clock::now() - std::chrono::minutes(10);
    fs::last_write_time(indexFile(), past);
    box.serve();
    ASSERT_EQ(box.vdpk({"--install", "beta"}).status, 0);
    EXPECT_EQ(readFile(box.cacheDir() / "index.yml"), readFile(indexFile()));

    box.server().clearRequests();
    RunResult const again = box.vdpk({"--install", "beta"}, std::nullopt, box.root() / "prefix2");
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(box.server().requests(), std::vector<std::string>{"GET /repo/index.yml 304"});
    EXPECT_EQ(box.installedVersion("beta", box.root() / "prefix2"), "1.0\n");

    // A new version: the index changes, and the cached copy is not used.
    box.publish("core", "beta", "1.1");
    index();
    box.server().clearRequests();
    RunResult const newer = box.vdpk({"--install", "beta"}, std::nullopt, box.root() / "prefix3");
    ASSERT_EQ(newer.status, 0) << newer.err;
    EXPECT_EQ(box.installedVersion("beta", box.root() / "prefix3"), "1.1\n");
    EXPECT_EQ(box.server().requests().front(), "GET /repo/index.yml 200");
    // Too recent to be told apart from a change within the same second.
    EXPECT_FALSE(fs::exists(box.cacheDir() / "index.yml"));
}

TEST_F(VdpkIndex, ALocalArchiveTakesItsDependenciesFromTheIndex)
{
    index();
    box.serve();
    RunResult const run = box.vdpk({"--install", "--file", alpha.string()}, "y\n");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(box.installedVersion("alpha"), "1.10\n");
    EXPECT_EQ(box.installedVersion("beta"), "1.0\n");
    EXPECT_EQ(sortedRequests(), (std::vector<std::string>{
                                    "GET /repo/core/beta/1.0/beta-1.0-x64.vdpk.tar.bz2 200",
                                    "GET /repo/index.yml 200",
                                }));
}

TEST_F(VdpkIndex, ADownloadThatFailsInstallsNothingOfTheSetAndLeavesNoPartialFile)
{
    index();
    fs::remove(beta);
    box.serve();
    RunResult const run = box.vdpk({"--install", "alpha"}, "y\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.substr(run.err.find("Error: ")),
              errorOutput("Failed to download '" + box.repoUrl() +
                          "/core/beta/1.0/beta-1.0-x64.vdpk.tar.bz2': HTTP response code said error"));
    EXPECT_FALSE(fs::exists(box.prefix() / "usr"));
    EXPECT_FALSE(fs::exists(box.cacheDir() / "core/beta/1.0/beta-1.0-x64.vdpk.tar.bz2.part"));
    EXPECT_FALSE(fs::exists(box.cacheDir() / "extra/alpha/1.10/alpha-1.10-x64.vdpk.tar.bz2.part"));
}

TEST_F(VdpkIndex, ManyArchivesAreDownloadedOverAtMostFourConnections)
{
    std::vector<std::string> names;
    for (int i = 0; i < 9; ++i)
        names.push_back("part-" + std::to_string(i));
    for (auto const& name : names)
        box.publish("core", name, "1.0");
    box.publish("core", "all", "1.0", names);
    index();
    box.serve();
    RunResult const run = box.vdpk({"--install", "all"}, "y\n");
    ASSERT_EQ(run.status, 0) << run.err;
    for (auto const& name : names)
        EXPECT_EQ(box.installedVersion(name), "1.0\n") << name;
    EXPECT_EQ(box.server().requests().size(), 11u);
    EXPECT_GE(box.server().connections(), 1);
    EXPECT_LE(box.server().connections(), 4);
}

// With the public key of a minisign key pair trusted, and the index signed by
// vd-build with its secret key.
class VdpkSignedIndex : public VdpkIndex {
  public:
    VdpkSignedIndex() : keys(makeMinisignKeyPair(box.root() / "signer", "repo"))
    {
        fs::create_directories(box.configDir() / "keys");
        fs::copy_file(keys.publicKey, box.configDir() / "keys" / "repo.pub");
    }

    // Re-signs an edited index with the trusted key, by minisign itself.
    void resign() const
    {
        RunResult const signedByMinisign = minisignSign(keys.secretKey, indexFile());
        ASSERT_EQ(signedByMinisign.status, 0) << signedByMinisign.err;
    }

    MinisignKeyPair keys;
};

TEST_F(VdpkSignedIndex, AnIndexSignedByVdBuildVerifiesWithMinisignAndInstallsWithoutArchiveSignatures)
{
    index(keys.secretKey);
    RunResult const verified = minisignVerify(keys.publicKey, indexFile());
    EXPECT_EQ(verified.status, 0) << verified.err;
    box.serve();
    RunResult const run = box.vdpk({"--install", "alpha"}, "y\n");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(box.installedVersion("alpha"), "1.10\n");
    EXPECT_EQ(box.installedVersion("beta"), "1.0\n");
    // The archives carry no signatures of their own, and none was asked for.
    EXPECT_EQ(sortedRequests(), (std::vector<std::string>{
                                    "GET /repo/core/beta/1.0/beta-1.0-x64.vdpk.tar.bz2 200",
                                    "GET /repo/extra/alpha/1.10/alpha-1.10-x64.vdpk.tar.bz2 200",
                                    "GET /repo/index.yml 200",
                                    "GET /repo/index.yml.minisig 200",
                                }));
    // The generation time accepted is remembered for the repository.
    EXPECT_THAT(readFile(box.cacheDir() / ".index-generations"), HasSubstr(" " + indexUrl() + "\n"));
}

TEST_F(VdpkSignedIndex, AnIndexSignedByMinisignVerifies)
{
    index();
    resign();
    box.serve();
    RunResult const run = box.vdpk({"--install", "alpha"}, "y\n");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(box.installedVersion("alpha"), "1.10\n");
}

TEST_F(VdpkSignedIndex, ANewerIndexIsAcceptedAfterAnOlderOne)
{
    index(keys.secretKey);
    box.serve();
    ASSERT_EQ(box.vdpk({"--install", "beta"}).status, 0);
    box.publish("core", "beta", "1.1");
    index(keys.secretKey);
    RunResult const run = box.vdpk({"--install", "beta"}, std::nullopt, box.root() / "prefix2");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(box.installedVersion("beta", box.root() / "prefix2"), "1.1\n");
}

TEST_F(VdpkSignedIndex, AnIndexThatCannotBeReadIsAnErrorAndNotAWayRoundIt)
{
    index(keys.secretKey);
    box.serve({"--fail-path", "/repo/index.yml"});
    RunResult const run = box.vdpk({"--install", "alpha"}, "y\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.err, HasSubstr("Error: Failed to fetch '" + indexUrl() + "': "));
    EXPECT_EQ(sortedRequests(), (std::vector<std::string>{"GET /repo/index.yml 500"}));
    EXPECT_FALSE(fs::exists(box.prefix() / "usr"));

    // Without trusted keys the listings are read instead, as for no index.
    fs::remove_all(box.configDir() / "keys");
    RunResult const unsignedRun = box.vdpk({"--install", "alpha"}, "y\n");
    ASSERT_EQ(unsignedRun.status, 0) << unsignedRun.err;
    EXPECT_EQ(box.installedVersion("alpha"), "1.10\n");
}

// A way the repository is tampered with after it was indexed (and served).
struct HostileIndex {
    std::string label;
    bool signedIndex;
    std::function<void(VdpkSignedIndex&)> tamper;
    std::string message; // "{index}" stands for the index URL, "{key}" for the unknown key's id

    friend void PrintTo(HostileIndex const& c, std::ostream* os) { *os << c.label; }
};

class VdpkHostileIndex : public VdpkSignedIndex, public ::testing::WithParamInterface<HostileIndex> {};

TEST_P(VdpkHostileIndex, IsRefusedAndNothingIsInstalled)
{
    if (!GetParam().signedIndex)
        fs::remove_all(box.configDir() / "keys");
    index(GetParam().signedIndex ? keys.secretKey : fs::path());
    box.serve();
    GetParam().tamper(*this);
    std::string message = GetParam().message;
    if (auto at = message.find("{index}"); at != std::string::npos)
        message.replace(at, 7, indexUrl());
    if (auto at = message.find("{key}"); at != std::string::npos) {
        std::string const comment = readFile(box.root() / "other" / "other.pub");
        std::string const prefix = "untrusted comment: minisign public key ";
        message.replace(at, 5, comment.substr(prefix.size(), comment.find('\n') - prefix.size()));
    }

    RunResult const run = box.vdpk({"--install", "alpha"}, "y\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.err, HasSubstr("Error: " + message + "\n"));
    EXPECT_FALSE(fs::exists(box.prefix() / "usr"));
    EXPECT_FALSE(fs::exists(box.prefix() / "var"));
}

std::string const betaSha = "sha256: \"";

INSTANTIATE_TEST_SUITE_P(
    Cases, VdpkHostileIndex,
    ::testing::Values(
        HostileIndex{"FlippedByteInAnArchive", true, [](VdpkSignedIndex& t) { flipByte(t.beta, 100); },
                     "Package 'beta' does not match the repository index"},
        HostileIndex{"FlippedByteInAnArchiveOfAnUnsignedIndex", false,
                     [](VdpkSignedIndex& t) { flipByte(t.beta, 100); },
                     "Package 'beta' does not match the repository index"},
        HostileIndex{"FlippedByteInTheIndexSignature", true,
                     [](VdpkSignedIndex& t) { flipByte(t.indexSignature(), -4); },
                     "Bad signature on repository index '{index}'"},
        HostileIndex{"FlippedByteInTheIndex", true, [](VdpkSignedIndex& t) { flipByte(t.indexFile(), 40); },
                     "Bad signature on repository index '{index}'"},
        HostileIndex{"ArchiveSwappedForAnotherSignedArchive", true,
                     [](VdpkSignedIndex& t) {
                         fs::path const gamma = t.box.publish("core", "gamma", "3.0");
                         t.index(t.keys.secretKey);
                         fs::copy_file(gamma, t.beta, fs::copy_options::overwrite_existing);
                     },
                     "Package 'beta' does not match the repository index"},
        HostileIndex{"OlderSignedIndexReplayed", true,
                     [](VdpkSignedIndex& t) {
                         fs::path const saved = t.box.root() / "saved";
                         fs::create_directories(saved);
                         fs::copy_file(t.indexFile(), saved / "index.yml");
                         fs::copy_file(t.indexSignature(), saved / "index.yml.minisig");
                         t.index(t.keys.secretKey);
                         // Seen (and accepted) by a run that declines to install.
                         ASSERT_EQ(t.box.vdpk({"--install", "alpha"}, "n\n").status, 0);
                         fs::copy_file(saved / "index.yml", t.indexFile(),
                                       fs::copy_options::overwrite_existing);
                         fs::copy_file(saved / "index.yml.minisig", t.indexSignature(),
                                       fs::copy_options::overwrite_existing);
                     },
                     "Repository index '{index}' is older than one already seen"},
        HostileIndex{"UnsignedIndexWhileAKeyIsTrusted", true,
                     [](VdpkSignedIndex& t) { fs::remove(t.indexSignature()); },
                     "Repository index '{index}' has no signature"},
        HostileIndex{"IndexSignedByAnUnknownKey", true,
                     [](VdpkSignedIndex& t) {
                         auto const other = makeMinisignKeyPair(t.box.root() / "other", "other");
                         ASSERT_EQ(minisignSign(other.secretKey, t.indexFile()).status, 0);
                     },
                     "Repository index '{index}' is signed by an unknown key {key}"},
        HostileIndex{"IndexEntryWhoseHashDoesNotMatch", true,
                     [](VdpkSignedIndex& t) {
                         // beta is the first entry by path: its hash is the first one.
                         std::string const text = readFile(t.indexFile());
                         auto const at = text.find(betaSha) + betaSha.size();
                         replaceInFile(t.indexFile(), text.substr(at, 64), std::string(64, '0'));
                         t.resign();
                     },
                     "Package 'beta' does not match the repository index"},
        HostileIndex{
            "ManifestThatDisagreesWithItsEntry", true,
            [](VdpkSignedIndex& t) {
                // alpha 1.10 claims no dependencies; its manifest names beta.
                replaceInFile(
                    t.indexFile(),
                    "depends: [\"beta\"]\n    path: \"extra/alpha/1.10/alpha-1.10-x64.vdpk.tar.bz2\"",
                    "depends: []\n    path: \"extra/alpha/1.10/alpha-1.10-x64.vdpk.tar.bz2\"");
                t.resign();
            },
            "Package 'alpha' does not match the repository index"}),
    [](auto const& info) { return info.param.label; });

} // namespace
} // namespace Vandrel::Test
