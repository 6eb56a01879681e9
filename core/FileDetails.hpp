#pragma once

#include <sodium/crypto_hash_sha256.h>

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace Vandrel::Linux {

using Sha256Digest = std::array<unsigned char, crypto_hash_sha256_BYTES>;

// SHA-256 over bytes fed in any number of pieces.
class Sha256 {
  public:
    Sha256();
    void update(void const* data, std::size_t size);
    Sha256Digest finish();

  private:
    crypto_hash_sha256_state state;
};

// The lower-case hexadecimal form, as the package database stores it, and back
// (nothing for text that is not 64 hexadecimal digits).
std::string toHex(Sha256Digest const& digest);
std::optional<Sha256Digest> digestFromHex(std::string_view text);

// The digest of everything readable from a descriptor, from its current offset.
Sha256Digest sha256Of(int fd);

// While one is alive, the installer's byte copy on the same thread feeds every
// byte it copies into it, so an installed file's digest costs no second read.
class CopyDigest {
  public:
    CopyDigest();
    ~CopyDigest();
    CopyDigest(CopyDigest const&) = delete;
    CopyDigest& operator=(CopyDigest const&) = delete;

    // The innermost one alive on this thread, if any.
    static CopyDigest* active();
    void update(void const* data, std::size_t size);
    // Whether a copy has fed it, and its digest then.
    bool fed() const { return wasFed; }
    Sha256Digest finish() { return hash.finish(); }

  private:
    Sha256 hash;
    bool wasFed = false;
    CopyDigest* outer;
};

enum class FileType : unsigned char { regular, symlink, other };

// "file", "link" or "other", as recorded; and back (nothing for other text).
char const* typeName(FileType type);
std::optional<FileType> typeFromName(std::string_view name);

// What an installed entry is: what the package database records of it and
// what verifying it compares.
struct FileDetails {
    FileType type = FileType::other;
    mode_t mode = 0; // permission bits only (07777)
    uid_t uid = 0;
    gid_t gid = 0;
    off_t size = 0;
    std::optional<Sha256Digest> sha256; // regular files
    std::string linkTarget;             // symlinks
};

// Describes the entry `base` of the open directory `directory` without
// following a final symlink. A regular file's digest is taken from `digest`
// when a copy fed it, else by reading the file. Throws the library's
// filesystem error, naming `path`.
FileDetails describeEntry(int directory, std::string const& base, CopyDigest& digest,
                          std::string const& path);

// The target of the symlink an O_PATH descriptor refers to.
std::string linkTargetOf(int fd, std::string const& path);

} // namespace Vandrel::Linux
