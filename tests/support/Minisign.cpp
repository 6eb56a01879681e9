#include "tests/support/Minisign.hpp"

#include "tests/support/Sandbox.hpp"

#include <sodium.h>

#include <array>
#include <fstream>
#include <stdexcept>

namespace Vandrel::Test {

namespace fs = std::filesystem;

namespace {

RunResult minisign(std::vector<std::string> const& args, std::string const& input = {})
{
    RunOptions options;
    if (!input.empty())
        options.input = input;
    return runProgram("/usr/bin/minisign", args, options);
}

std::string decode(std::string const& text)
{
    std::string bytes(text.size(), '\0');
    std::size_t length = 0;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), text.data(),
                          text.size(), nullptr, &length, nullptr, sodium_base64_VARIANT_ORIGINAL) != 0)
        throw std::runtime_error("not base64: " + text);
    bytes.resize(length);
    return bytes;
}

std::string encode(std::string const& bytes)
{
    std::string text(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), reinterpret_cast<unsigned char const*>(bytes.data()),
                      bytes.size(), sodium_base64_VARIANT_ORIGINAL);
    text.pop_back();
    return text;
}

} // namespace

MinisignKeyPair makeMinisignKeyPair(fs::path const& dir, std::string const& name)
{
    fs::create_directories(dir);
    MinisignKeyPair pair{dir / (name + ".pub"), dir / (name + ".key")};
    RunResult const made =
        minisign({"-G", "-W", "-f", "-p", pair.publicKey.string(), "-s", pair.secretKey.string()});
    if (made.status != 0)
        throw std::runtime_error("minisign -G failed: " + made.err);
    return pair;
}

RunResult minisignSign(fs::path const& secretKey, fs::path const& file, fs::path const& signatureFile,
                       std::string const& passphrase)
{
    std::vector<std::string> args{"-S", "-s", secretKey.string(), "-m", file.string()};
    if (!signatureFile.empty()) {
        args.push_back("-x");
        args.push_back(signatureFile.string());
    }
    return minisign(args, passphrase.empty() ? std::string() : passphrase + "\n");
}

RunResult minisignVerify(fs::path const& publicKey, fs::path const& file, fs::path const& signatureFile)
{
    std::vector<std::string> args{"-V", "-q", "-p", publicKey.string(), "-m", file.string()};
    if (!signatureFile.empty()) {
        args.push_back("-x");
        args.push_back(signatureFile.string());
    }
    return minisign(args);
}

void encryptMinisignKey(fs::path const& plainKey, fs::path const& encryptedKey, std::string const& passphrase)
{
    if (sodium_init() < 0)
        throw std::runtime_error("sodium_init failed");
    std::ifstream in(plainKey);
    std::string comment, line;
    std::getline(in, comment);
    std::getline(in, line);
    std::string bytes = decode(line);
    if (bytes.size() != 158)
        throw std::runtime_error("not a minisign secret key: " + plainKey.string());
    // Algorithm "Ed", kdf, checksum algorithm "B2", salt, opslimit, memlimit,
    // then key id, secret key and checksum, the part that is encrypted.
    auto* raw = reinterpret_cast<unsigned char*>(bytes.data());
    unsigned char* salt = raw + 6;
    unsigned char* block = salt + 32 + 16;
    unsigned long long const opsLimit = crypto_pwhash_scryptsalsa208sha256_OPSLIMIT_MIN;
    std::size_t const memLimit = crypto_pwhash_scryptsalsa208sha256_MEMLIMIT_MIN;
    bytes[2] = 'S';
    bytes[3] = 'c';
    randombytes_buf(salt, 32);
    for (int i = 0; i < 8; ++i) {
        salt[32 + i] = static_cast<unsigned char>(opsLimit >> (8 * i));
        salt[40 + i] = static_cast<unsigned char>(static_cast<unsigned long long>(memLimit) >> (8 * i));
    }
    // minisign 0.11 leaves the checksum of an unencrypted key zero: compute it.
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, 32);
    crypto_generichash_update(&state, raw, 2);
    crypto_generichash_update(&state, block, 8 + 64);
    crypto_generichash_final(&state, block + 8 + 64, 32);
    std::array<unsigned char, 104> stream{};
    if (crypto_pwhash_scryptsalsa208sha256(stream.data(), stream.size(), passphrase.data(), passphrase.size(),
                                           salt, opsLimit, memLimit) != 0)
        throw std::runtime_error("scrypt failed");
    for (std::size_t i = 0; i < stream.size(); ++i)
        block[i] ^= stream[i];
    std::ofstream out(encryptedKey, std::ios::trunc);
    out << "untrusted comment: minisign encrypted secret key\n" << encode(bytes) << "\n";
}

void flipByte(fs::path const& file, std::int64_t offset)
{
    std::string content = readFile(file);
    if (content.empty())
        throw std::runtime_error("empty file: " + file.string());
    auto const size = static_cast<std::int64_t>(content.size());
    std::int64_t const at = offset < 0 ? size + offset : offset;
    if (at < 0 || at >= size)
        throw std::runtime_error("offset outside the file: " + file.string());
    content[static_cast<std::size_t>(at)] = static_cast<char>(~content[static_cast<std::size_t>(at)]);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
}

} // namespace Vandrel::Test
