#include "core/Signature.hpp"

#include "tests/support/Errors.hpp"
#include "tests/support/Minisign.hpp"
#include "tests/support/Sandbox.hpp"
#include "tests/support/ScopedEnv.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

namespace Vandrel::Linux {
namespace {

namespace fs = std::filesystem;
namespace support = Vandrel::Test;
using ::testing::MatchesRegex;
using Vandrel::Test::messageOf;
using Vandrel::Test::ScopedEnv;

class SignatureTest : public ::testing::Test {
  public:
    SignatureTest() : keys(support::makeMinisignKeyPair(box.root() / "keys", "trusted"))
    {
        file = box.writeFile("alpha-1.0-x64.vdpk.tar.bz2", "the archive's bytes\n");
    }

    fs::path signatureOf(fs::path const& path) const { return path.string() + ".minisig"; }

    std::string verify(fs::path const& path, std::vector<Signature::PublicKey> const& trusted,
                       Signature::Subject subject = Signature::Subject::package) const
    {
        return messageOf([&] {
            Signature::verifyFile(path, signatureOf(path), trusted, subject, "alpha",
                                  "alpha-1.0-x64.vdpk.tar.bz2");
        });
    }

    support::Sandbox box;
    support::MinisignKeyPair keys;
    fs::path file;
};

TEST_F(SignatureTest, ASignatureMadeByMinisignVerifies)
{
    ASSERT_EQ(support::minisignSign(keys.secretKey, file).status, 0);
    auto const trusted = std::vector{Signature::loadPublicKey(keys.publicKey)};
    std::string const comment = Signature::verifyFile(
        file, signatureOf(file), trusted, Signature::Subject::package, "alpha", "alpha-1.0-x64.vdpk.tar.bz2");
    EXPECT_THAT(comment, MatchesRegex("timestamp:[0-9]+\tfile:alpha-1\\.0-x64\\.vdpk\\.tar\\.bz2\thashed"));
}

TEST_F(SignatureTest, ASignatureMadeWithAMinisignKeyVerifiesWithMinisign)
{
    Signature::signFile(file, signatureOf(file), Signature::loadSecretKey(keys.secretKey));
    support::RunResult const verified = support::minisignVerify(keys.publicKey, file);
    EXPECT_EQ(verified.status, 0) << verified.err;
    // The trusted comment is the one minisign itself writes.
    std::string const text = support::readFile(signatureOf(file));
    EXPECT_THAT(
        text, ::testing::ContainsRegex(
                  "\ntrusted comment: timestamp:[0-9]+\tfile:alpha-1\\.0-x64\\.vdpk\\.tar\\.bz2\thashed\n"));
    EXPECT_EQ(verify(file, {Signature::loadPublicKey(keys.publicKey)}), "<no error>");
}

TEST_F(SignatureTest, AnEncryptedKeyTakesItsPassphraseFromTheEnvironment)
{
    fs::path const encrypted = box.root() / "keys" / "encrypted.key";
    support::encryptMinisignKey(keys.secretKey, encrypted, "correct horse");
    // minisign reads the encrypted key the same way.
    fs::path const byMinisign = box.root() / "by-minisign.minisig";
    ASSERT_EQ(support::minisignSign(encrypted, file, byMinisign, "correct horse").status, 0);
    ASSERT_EQ(support::minisignVerify(keys.publicKey, file, byMinisign).status, 0);

    {
        ScopedEnv passphrase(Signature::passphraseVariable, "correct horse");
        Signature::signFile(file, signatureOf(file), Signature::loadSecretKey(encrypted));
    }
    EXPECT_EQ(support::minisignVerify(keys.publicKey, file).status, 0);

    ScopedEnv wrong(Signature::passphraseVariable, "wrong horse");
    EXPECT_EQ(messageOf([&] { Signature::loadSecretKey(encrypted); }),
              "Wrong passphrase for secret key '" + encrypted.string() + "'");
    ScopedEnv none(Signature::passphraseVariable, std::nullopt);
    EXPECT_EQ(messageOf([&] { Signature::loadSecretKey(encrypted); }),
              "The secret key '" + encrypted.string() +
                  "' is encrypted: set VD_BUILD_KEY_PASSPHRASE to its passphrase");
}

TEST_F(SignatureTest, KeyIdsArePrintedAsMinisignPrintsThem)
{
    // minisign names the key id in the public key's comment.
    std::string const comment =
        support::readFile(keys.publicKey).substr(0, support::readFile(keys.publicKey).find('\n'));
    auto const key = Signature::loadPublicKey(keys.publicKey);
    EXPECT_EQ(comment, "untrusted comment: minisign public key " + Signature::keyIdText(key.keyId));
    EXPECT_EQ(Signature::loadSecretKey(keys.secretKey).keyId, key.keyId);
}

TEST_F(SignatureTest, TrustedKeysAreThePublicKeyFilesOfTheDirectory)
{
    EXPECT_TRUE(Signature::loadTrustedKeys(box.root() / "absent").empty());
    support::makeMinisignKeyPair(box.root() / "trust", "b");
    support::makeMinisignKeyPair(box.root() / "trust", "a");
    auto const trusted = Signature::loadTrustedKeys(box.root() / "trust");
    ASSERT_EQ(trusted.size(), 2u);
    EXPECT_EQ(trusted[0].origin, (box.root() / "trust" / "a.pub").string());
    fs::path const broken = box.writeFile("trust/c.pub", "untrusted comment: x\nnot a key\n");
    EXPECT_EQ(messageOf([&] { Signature::loadTrustedKeys(box.root() / "trust"); }),
              "Invalid public key file '" + broken.string() + "'");
}

// One way a signed file can be tampered with, and the refusal it earns.
struct TamperCase {
    std::string label;
    std::function<void(SignatureTest const&, fs::path const& file, fs::path const& signature)> tamper;
    std::string expected; // the message; "{}" stands for the trusted key's id, "{other}" for another key's
    Signature::Subject subject = Signature::Subject::package;

    friend void PrintTo(TamperCase const& c, std::ostream* os) { *os << c.label; }
};

class SignatureTamperTest : public SignatureTest, public ::testing::WithParamInterface<TamperCase> {};

TEST_P(SignatureTamperTest, IsRefusedWithItsMessage)
{
    ASSERT_EQ(support::minisignSign(keys.secretKey, file).status, 0);
    auto const trusted = std::vector{Signature::loadPublicKey(keys.publicKey)};
    ASSERT_EQ(verify(file, trusted), "<no error>");
    GetParam().tamper(*this, file, signatureOf(file));
    std::string expected = GetParam().expected;
    if (auto at = expected.find("{other}"); at != std::string::npos) {
        auto const other = Signature::loadPublicKey(box.root() / "other" / "other.pub");
        expected.replace(at, 7, Signature::keyIdText(other.keyId));
    }
    EXPECT_EQ(verify(file, trusted, GetParam().subject), expected);
}

// Rewrites one line (0-based) of a signature file.
void editLine(fs::path const& signature, std::size_t index, std::function<void(std::string&)> const& edit)
{
    std::ifstream in(signature);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    in.close();
    edit(lines.at(index));
    std::ofstream out(signature, std::ios::trunc);
    for (auto const& line : lines)
        out << line << '\n';
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SignatureTamperTest,
    ::testing::Values(
        TamperCase{"FlippedByteInTheFile", [](auto&, auto const& f, auto const&) { support::flipByte(f, 3); },
                   "Bad signature on package 'alpha'"},
        TamperCase{
            "FlippedByteInTheSignature",
            // A character of the signature proper, past algorithm and key id.
            [](auto&, auto const&, auto const& s) { editLine(s, 1, [](std::string& l) { l[40] ^= 1; }); },
            "Bad signature on package 'alpha'"},
        TamperCase{
            "FlippedByteInTheGlobalSignature",
            [](auto&, auto const&, auto const& s) { editLine(s, 3, [](std::string& l) { l[5] ^= 1; }); },
            "Bad signature on package 'alpha'"},
        TamperCase{"EditedTrustedComment",
                   [](auto&, auto const&, auto const& s) {
                       editLine(s, 2, [](std::string& l) { l.replace(l.find("alpha-1.0"), 9, "alpha-2.0"); });
                   },
                   "Bad signature on package 'alpha'"},
        TamperCase{"NotASignatureFile",
                   [](auto&, auto const&, auto const& s) {
                       std::ofstream(s, std::ios::trunc) << "<html>404</html>\n";
                   },
                   "Bad signature on package 'alpha'"},
        TamperCase{"NoSignature", [](auto&, auto const&, auto const& s) { fs::remove(s); },
                   "Package 'alpha' has no signature"},
        TamperCase{"SwappedForAnotherSignedFile",
                   [](SignatureTest const& t, auto const& f, auto const& s) {
                       fs::path const other = t.box.writeFile("beta-1.0-x64.vdpk.tar.bz2", "other bytes\n");
                       ASSERT_EQ(support::minisignSign(t.keys.secretKey, other).status, 0);
                       fs::copy_file(other, f, fs::copy_options::overwrite_existing);
                       fs::copy_file(other.string() + ".minisig", s, fs::copy_options::overwrite_existing);
                   },
                   "Signature of package 'alpha' is for another file 'beta-1.0-x64.vdpk.tar.bz2'"},
        TamperCase{"SignedByAnUnknownKey",
                   [](SignatureTest const& t, auto const& f, auto const&) {
                       auto const other = support::makeMinisignKeyPair(t.box.root() / "other", "other");
                       ASSERT_EQ(support::minisignSign(other.secretKey, f).status, 0);
                   },
                   "Package 'alpha' is signed by an unknown key {other}"},
        TamperCase{"IndexWording", [](auto&, auto const& f, auto const&) { support::flipByte(f, -1); },
                   "Bad signature on repository index 'alpha'", Signature::Subject::repositoryIndex},
        TamperCase{"IndexWithoutSignature", [](auto&, auto const&, auto const& s) { fs::remove(s); },
                   "Repository index 'alpha' has no signature", Signature::Subject::repositoryIndex}),
    [](auto const& info) { return info.param.label; });

} // namespace
} // namespace Vandrel::Linux
