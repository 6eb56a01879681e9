// Runs the built vdpk with trusted keys in its configuration directory against
// a loopback repository whose archives minisign signed: what verifies installs,
// every tampered or unsigned archive is refused before anything is unpacked.
#include "tests/support/Minisign.hpp"
#include "tests/support/VdpkSandbox.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

namespace Vandrel::Test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

class VdpkSignature : public ::testing::Test {
  public:
    VdpkSignature() : keys(makeMinisignKeyPair(box.root() / "signer", "repo"))
    {
        fs::create_directories(box.configDir() / "keys");
        fs::copy_file(keys.publicKey, box.configDir() / "keys" / "repo.pub");
    }

    // Publishes and signs with the trusted key.
    fs::path publishSigned(std::string const& name, std::string const& version,
                           std::vector<std::string> const& depends = {}) const
    {
        fs::path const archive = box.publish("core", name, version, depends);
        RunResult const signedByMinisign = minisignSign(keys.secretKey, archive);
        if (signedByMinisign.status != 0)
            throw std::runtime_error("minisign -S failed: " + signedByMinisign.err);
        return archive;
    }

    VdpkSandbox box;
    MinisignKeyPair keys;
};

TEST_F(VdpkSignature, ArchivesSignedByMinisignInstallByNameWithTheirDependencies)
{
    publishSigned("beta", "1.0");
    publishSigned("alpha", "2.0", {"beta"});
    box.serve();
    RunResult const run = box.vdpk({"--install", "alpha"}, "y\n");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(box.installedVersion("alpha"), "2.0\n");
    EXPECT_EQ(box.installedVersion("beta"), "1.0\n");
    // The signatures were fetched beside the archives.
    EXPECT_TRUE(fs::exists(box.cacheDir() / "core/alpha/2.0/alpha-2.0-x64.vdpk.tar.bz2.minisig"));
}

TEST_F(VdpkSignature, ALocalArchiveNeedsItsSignatureBesideIt)
{
    fs::path const archive = publishSigned("alpha", "2.0");
    box.serve();
    fs::path const local = box.root() / "local" / archive.filename();
    fs::create_directories(local.parent_path());
    fs::copy_file(archive, local);

    RunResult const unsigned_ = box.vdpk({"--install", "--file", local.string()});
    EXPECT_EQ(unsigned_.status, 1);
    EXPECT_THAT(unsigned_.err, HasSubstr("Error: Package '" + local.string() + "' has no signature\n"));
    EXPECT_EQ(box.installedVersion("alpha"), "");

    fs::copy_file(archive.string() + ".minisig", local.string() + ".minisig");
    RunResult const signed_ = box.vdpk({"--install", "--file", local.string()});
    ASSERT_EQ(signed_.status, 0) << signed_.err;
    EXPECT_EQ(box.installedVersion("alpha"), "2.0\n");
}

TEST_F(VdpkSignature, WithoutTrustedKeysNothingIsVerified)
{
    fs::remove_all(box.configDir() / "keys");
    box.publish("core", "alpha", "2.0");
    box.serve();
    RunResult const run = box.vdpk({"--install", "alpha"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(box.installedVersion("alpha"), "2.0\n");
}

// A way the dependency beta's archive in the repository is tampered with.
struct HostileArchive {
    std::string label;
    std::function<void(VdpkSignature const&, fs::path const& beta)> tamper;
    std::string message; // "{key}" stands for the id of the unknown key

    friend void PrintTo(HostileArchive const& c, std::ostream* os) { *os << c.label; }
};

class VdpkHostileSignature : public VdpkSignature, public ::testing::WithParamInterface<HostileArchive> {};

TEST_P(VdpkHostileSignature, IsRefusedAndNothingIsInstalled)
{
    fs::path const beta = publishSigned("beta", "1.0");
    publishSigned("alpha", "2.0", {"beta"});
    std::string message = GetParam().message;
    GetParam().tamper(*this, beta);
    if (auto at = message.find("{key}"); at != std::string::npos) {
        std::string const comment = readFile(box.root() / "other" / "other.pub");
        std::string const prefix = "untrusted comment: minisign public key ";
        message.replace(at, 5, comment.substr(prefix.size(), comment.find('\n') - prefix.size()));
    }
    box.serve();

    RunResult const run = box.vdpk({"--install", "alpha"}, "y\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_THAT(run.err, HasSubstr("Error: " + message + "\n"));
    // Not even the package that verified: a refusal installs nothing of the set.
    EXPECT_FALSE(fs::exists(box.prefix() / "usr"));
    // The refused archive does not stay in the cache to be refused again.
    EXPECT_FALSE(fs::exists(box.cacheDir() / "core/beta/1.0" / beta.filename()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VdpkHostileSignature,
    ::testing::Values(
        HostileArchive{"FlippedByteInTheArchive",
                       [](auto const&, fs::path const& beta) { flipByte(beta, 100); },
                       "Bad signature on package 'beta'"},
        HostileArchive{"FlippedByteInTheSignature",
                       // The last character of the global signature before its padding.
                       [](auto const&, fs::path const& beta) { flipByte(beta.string() + ".minisig", -4); },
                       "Bad signature on package 'beta'"},
        HostileArchive{"Unsigned",
                       [](auto const&, fs::path const& beta) { fs::remove(beta.string() + ".minisig"); },
                       "Package 'beta' has no signature"},
        HostileArchive{"SwappedForAnotherSignedArchive",
                       [](VdpkSignature const& t, fs::path const& beta) {
                           fs::path const gamma = t.publishSigned("gamma", "3.0");
                           fs::copy_file(gamma, beta, fs::copy_options::overwrite_existing);
                           fs::copy_file(gamma.string() + ".minisig", beta.string() + ".minisig",
                                         fs::copy_options::overwrite_existing);
                       },
                       "Signature of package 'beta' is for another file 'gamma-3.0-x64.vdpk.tar.bz2'"},
        HostileArchive{"SignedByAnUnknownKey",
                       [](VdpkSignature const& t, fs::path const& beta) {
                           auto const other = makeMinisignKeyPair(t.box.root() / "other", "other");
                           ASSERT_EQ(minisignSign(other.secretKey, beta).status, 0);
                       },
                       "Package 'beta' is signed by an unknown key {key}"}),
    [](auto const& info) { return info.param.label; });

} // namespace
} // namespace Vandrel::Test
