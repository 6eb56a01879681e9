#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Vandrel::Linux {

// Detached signatures in the minisign format (Ed25519 over the BLAKE2b-512
// hash of the file, plus a signature over that signature and the trusted
// comment), so that keys and signatures interoperate with the minisign tool.
namespace Signature {

using KeyId = std::array<unsigned char, 8>;

struct PublicKey {
    KeyId keyId{};
    std::array<unsigned char, 32> key{};
    std::string origin; // the file it was read from, for messages
};

// Wiped when it goes out of scope.
struct SecretKey {
    SecretKey() = default;
    SecretKey(SecretKey const&) = delete;
    SecretKey& operator=(SecretKey const&) = delete;
    SecretKey(SecretKey&&) noexcept;
    SecretKey& operator=(SecretKey&&) noexcept;
    ~SecretKey();

    KeyId keyId{};
    std::array<unsigned char, 64> key{};
};

// The environment variable holding the passphrase of an encrypted secret key.
inline constexpr char const* passphraseVariable = "VD_BUILD_KEY_PASSPHRASE";

// What a signature vouches for; it chooses the wording of the messages.
enum class Subject { package, repositoryIndex };

// A key id the way minisign prints it: the eight bytes as one little-endian
// number in upper-case hex, without leading zeros.
std::string keyIdText(KeyId const& keyId);

// A minisign public key file: an untrusted comment line, then the key.
PublicKey loadPublicKey(std::filesystem::path const& path);
// Every "*.pub" file of directory, in name order; none when it does not exist.
std::vector<PublicKey> loadTrustedKeys(std::filesystem::path const& directory);

// A minisign secret key file, unencrypted or encrypted with a passphrase
// (scrypt). Without a passphrase argument an encrypted key takes it from
// VD_BUILD_KEY_PASSPHRASE.
SecretKey loadSecretKey(std::filesystem::path const& path,
                        std::optional<std::string> const& passphrase = std::nullopt);

// Signs file into signatureFile (written under a temporary name and renamed
// into place) with the trusted comment "timestamp:T\tfile:NAME\thashed" as
// minisign writes it.
void signFile(std::filesystem::path const& file, std::filesystem::path const& signatureFile,
              SecretKey const& key);

// Checks that signatureFile holds a valid signature of file by one of keys
// whose trusted comment names expectedFileName; throws the user-facing
// message naming subject and name otherwise. Returns the trusted comment.
std::string verifyFile(std::filesystem::path const& file, std::filesystem::path const& signatureFile,
                       std::vector<PublicKey> const& keys, Subject subject, std::string const& name,
                       std::string const& expectedFileName);

} // namespace Signature

} // namespace Vandrel::Linux
