#pragma once

#include "tests/support/Run.hpp"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace Vandrel::Test {

// A key pair made by the real minisign program.
struct MinisignKeyPair {
    std::filesystem::path publicKey;
    std::filesystem::path secretKey;
};

// "minisign -G -W": an unencrypted key pair NAME.pub and NAME.key in dir.
MinisignKeyPair makeMinisignKeyPair(std::filesystem::path const& dir, std::string const& name);

// "minisign -S" of file with secretKey (its passphrase on standard input,
// when given), writing file + ".minisig" unless signatureFile is given.
RunResult minisignSign(std::filesystem::path const& secretKey, std::filesystem::path const& file,
                       std::filesystem::path const& signatureFile = {}, std::string const& passphrase = {});

// "minisign -V -q" of file against publicKey.
RunResult minisignVerify(std::filesystem::path const& publicKey, std::filesystem::path const& file,
                         std::filesystem::path const& signatureFile = {});

// Writes an encrypted copy of an unencrypted minisign secret key, in the
// format minisign reads, with scrypt limits small enough for tests (the
// program's own defaults need a gigabyte).
void encryptMinisignKey(std::filesystem::path const& plainKey, std::filesystem::path const& encryptedKey,
                        std::string const& passphrase);

// Inverts every bit of the byte at offset (from the end when negative).
void flipByte(std::filesystem::path const& file, std::int64_t offset);

} // namespace Vandrel::Test
