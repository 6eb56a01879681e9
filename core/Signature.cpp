#include "core/Signature.hpp"

#include <fmt/format.h>
#include <sodium.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <system_error>

namespace Vandrel::Linux::Signature {

namespace fs = std::filesystem;

namespace {

// The layout of minisign's files.
constexpr std::string_view untrustedPrefix = "untrusted comment: ";
// What a comment line must begin with; the space after the colon is optional.
constexpr std::string_view untrustedTag = "untrusted comment:";
constexpr std::string_view trustedPrefix = "trusted comment: ";
constexpr std::size_t algorithmSize = 2;
constexpr std::size_t keyIdSize = 8;
constexpr std::size_t publicKeySize = crypto_sign_PUBLICKEYBYTES;
constexpr std::size_t secretKeySize = crypto_sign_SECRETKEYBYTES;
constexpr std::size_t signatureSize = crypto_sign_BYTES;
constexpr std::size_t saltSize = crypto_pwhash_scryptsalsa208sha256_SALTBYTES;
constexpr std::size_t checksumSize = crypto_generichash_BYTES;
// Key id, secret key and checksum: the part a passphrase encrypts.
constexpr std::size_t keyBlockSize = keyIdSize + secretKeySize + checksumSize;
constexpr std::size_t secretKeyFileSize = 3 * algorithmSize + saltSize + 8 + 8 + keyBlockSize;
// Signature and key files are a few lines; anything much larger is not one.
constexpr std::uintmax_t maxKeyOrSignatureFileSize = 64 * 1024;

static_assert(publicKeySize == 32 && secretKeySize == 64 && signatureSize == 64 && saltSize == 32);

void initialiseSodium()
{
    static int const status = sodium_init();
    if (status < 0)
        throw std::runtime_error("libsodium initialisation failed");
}

// The file's lines without their line ends; nullopt when it cannot be read
// or is too large to be a key or a signature.
std::optional<std::vector<std::string>> readSmallFileLines(fs::path const& path)
{
    std::error_code ec;
    auto const size = fs::file_size(path, ec);
    if (ec || size > maxKeyOrSignatureFileSize)
        return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open())
        return std::nullopt;
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
    }
    if (in.bad())
        return std::nullopt;
    return lines;
}

std::optional<std::string> decodeBase64(std::string_view text)
{
    std::string bytes(text.size(), '\0');
    std::size_t length = 0;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), text.data(),
                          text.size(), nullptr, &length, nullptr, sodium_base64_VARIANT_ORIGINAL) != 0)
        return std::nullopt;
    bytes.resize(length);
    return bytes;
}

std::string encodeBase64(unsigned char const* data, std::size_t size)
{
    std::string text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), data, size, sodium_base64_VARIANT_ORIGINAL);
    text.resize(text.size() - 1); // the terminating NUL
    return text;
}

std::uint64_t readLittleEndian64(unsigned char const* bytes)
{
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | bytes[i];
    return value;
}

// BLAKE2b-512 of a file's content, read in blocks.
std::array<unsigned char, crypto_generichash_BYTES_MAX> hashFile(fs::path const& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open())
        throw std::runtime_error(fmt::format("Failed to read '{}'", path.string()));
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES_MAX);
    std::vector<char> buffer(1 << 16);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        auto const got = in.gcount();
        if (got > 0)
            crypto_generichash_update(&state, reinterpret_cast<unsigned char const*>(buffer.data()),
                                      static_cast<unsigned long long>(got));
    }
    if (in.bad())
        throw std::runtime_error(fmt::format("Failed to read '{}'", path.string()));
    std::array<unsigned char, crypto_generichash_BYTES_MAX> hash{};
    crypto_generichash_final(&state, hash.data(), hash.size());
    return hash;
}

// The value of the "file:" field of a trusted comment ("" when it has none).
std::string fileOfTrustedComment(std::string_view comment)
{
    std::size_t start = 0;
    while (start <= comment.size()) {
        std::size_t end = comment.find('\t', start);
        if (end == std::string_view::npos)
            end = comment.size();
        std::string_view const field = comment.substr(start, end - start);
        if (field.starts_with("file:"))
            return std::string(field.substr(5));
        start = end + 1;
    }
    return {};
}

// The messages of a refused signature, worded for what was signed.
[[noreturn]] void throwMissing(Subject subject, std::string const& name)
{
    if (subject == Subject::package)
        throw std::runtime_error(fmt::format("Package '{}' has no signature", name));
    throw std::runtime_error(fmt::format("Repository index '{}' has no signature", name));
}

[[noreturn]] void throwUnknownKey(Subject subject, std::string const& name, KeyId const& keyId)
{
    if (subject == Subject::package)
        throw std::runtime_error(
            fmt::format("Package '{}' is signed by an unknown key {}", name, keyIdText(keyId)));
    throw std::runtime_error(
        fmt::format("Repository index '{}' is signed by an unknown key {}", name, keyIdText(keyId)));
}

[[noreturn]] void throwBad(Subject subject, std::string const& name)
{
    if (subject == Subject::package)
        throw std::runtime_error(fmt::format("Bad signature on package '{}'", name));
    throw std::runtime_error(fmt::format("Bad signature on repository index '{}'", name));
}

[[noreturn]] void throwOtherFile(Subject subject, std::string const& name, std::string const& file)
{
    if (subject == Subject::package)
        throw std::runtime_error(
            fmt::format("Signature of package '{}' is for another file '{}'", name, file));
    throw std::runtime_error(
        fmt::format("Signature of repository index '{}' is for another file '{}'", name, file));
}

} // namespace

SecretKey::SecretKey(SecretKey&& other) noexcept : keyId(other.keyId), key(other.key)
{
    sodium_memzero(other.key.data(), other.key.size());
}

SecretKey& SecretKey::operator=(SecretKey&& other) noexcept
{
    if (this != &other) {
        keyId = other.keyId;
        key = other.key;
        sodium_memzero(other.key.data(), other.key.size());
    }
    return *this;
}

SecretKey::~SecretKey()
{
    sodium_memzero(key.data(), key.size());
}

std::string keyIdText(KeyId const& keyId)
{
    return fmt::format("{:X}", readLittleEndian64(keyId.data()));
}

PublicKey loadPublicKey(fs::path const& path)
{
    initialiseSodium();
    auto const invalid = [&] {
        return std::runtime_error(fmt::format("Invalid public key file '{}'", path.string()));
    };
    auto const lines = readSmallFileLines(path);
    if (!lines || lines->size() < 2 || !(*lines)[0].starts_with(untrustedTag))
        throw invalid();
    auto const bytes = decodeBase64((*lines)[1]);
    if (!bytes || bytes->size() != algorithmSize + keyIdSize + publicKeySize || bytes->substr(0, 2) != "Ed")
        throw invalid();
    PublicKey key;
    std::copy_n(bytes->begin() + algorithmSize, keyIdSize, key.keyId.begin());
    std::copy_n(bytes->begin() + algorithmSize + keyIdSize, publicKeySize, key.key.begin());
    key.origin = path.string();
    return key;
}

std::vector<PublicKey> loadTrustedKeys(fs::path const& directory)
{
    std::vector<fs::path> files;
    std::error_code ec;
    if (!fs::is_directory(directory, ec))
        return {};
    for (auto const& entry : fs::directory_iterator(directory))
        if (entry.path().extension() == ".pub" && entry.is_regular_file())
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::vector<PublicKey> keys;
    for (auto const& file : files)
        keys.push_back(loadPublicKey(file));
    return keys;
}

SecretKey loadSecretKey(fs::path const& path, std::optional<std::string> const& passphrase)
{
    initialiseSodium();
    std::string const where = path.string();
    auto const lines = readSmallFileLines(path);
    if (!lines)
        throw std::runtime_error(fmt::format("Failed to read secret key '{}'", where));
    std::optional<std::string> decoded;
    if (lines->size() >= 2 && (*lines)[0].starts_with(untrustedTag))
        decoded = decodeBase64((*lines)[1]);
    if (!decoded || decoded->size() != secretKeyFileSize)
        throw std::runtime_error(fmt::format("Invalid secret key file '{}'", where));
    std::string& bytes = *decoded;
    std::string_view const signatureAlgorithm = std::string_view(bytes).substr(0, 2);
    std::string_view const kdfAlgorithm = std::string_view(bytes).substr(2, 2);
    std::string_view const checksumAlgorithm = std::string_view(bytes).substr(4, 2);
    bool const encrypted = kdfAlgorithm == "Sc";
    if (signatureAlgorithm != "Ed" || checksumAlgorithm != "B2" ||
        (!encrypted && kdfAlgorithm != std::string_view("\0\0", 2)))
        throw std::runtime_error(fmt::format("Unsupported secret key '{}'", where));

    auto* const raw = reinterpret_cast<unsigned char*>(bytes.data());
    unsigned char const* const salt = raw + 3 * algorithmSize;
    std::uint64_t const opsLimit = readLittleEndian64(salt + saltSize);
    std::uint64_t const memLimit = readLittleEndian64(salt + saltSize + 8);
    unsigned char* const block = raw + 3 * algorithmSize + saltSize + 16;

    if (encrypted) {
        std::optional<std::string> phrase = passphrase;
        if (!phrase) {
            char const* env = std::getenv(passphraseVariable);
            if (env == nullptr)
                throw std::runtime_error(fmt::format(
                    "The secret key '{}' is encrypted: set {} to its passphrase", where, passphraseVariable));
            phrase = env;
        }
        std::array<unsigned char, keyBlockSize> stream{};
        if (crypto_pwhash_scryptsalsa208sha256(stream.data(), stream.size(), phrase->data(), phrase->size(),
                                               salt, opsLimit, static_cast<std::size_t>(memLimit)) != 0)
            throw std::runtime_error(fmt::format("Failed to derive the key of secret key '{}'", where));
        for (std::size_t i = 0; i < keyBlockSize; ++i)
            block[i] ^= stream[i];
        sodium_memzero(stream.data(), stream.size());
        sodium_memzero(phrase->data(), phrase->size());
    }

    SecretKey key;
    std::copy_n(block, keyIdSize, key.keyId.begin());
    std::copy_n(block + keyIdSize, secretKeySize, key.key.begin());
    unsigned char const* const storedChecksum = block + keyIdSize + secretKeySize;

    // The checksum covers the algorithm, the key id and the secret key; it is
    // how a wrong passphrase shows. minisign 0.11 leaves it zero in keys made
    // without a passphrase, so a zero one is accepted there.
    std::array<unsigned char, checksumSize> checksum{};
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, checksum.size());
    crypto_generichash_update(&state, raw, algorithmSize);
    crypto_generichash_update(&state, key.keyId.data(), key.keyId.size());
    crypto_generichash_update(&state, key.key.data(), key.key.size());
    crypto_generichash_final(&state, checksum.data(), checksum.size());
    bool const zeroChecksum = sodium_is_zero(storedChecksum, checksumSize) == 1;
    bool const matches = sodium_memcmp(checksum.data(), storedChecksum, checksumSize) == 0;
    sodium_memzero(bytes.data(), bytes.size());
    if (!matches && !(zeroChecksum && !encrypted)) {
        if (encrypted)
            throw std::runtime_error(fmt::format("Wrong passphrase for secret key '{}'", where));
        throw std::runtime_error(fmt::format("Invalid secret key file '{}'", where));
    }
    return key;
}

void signFile(fs::path const& file, fs::path const& signatureFile, SecretKey const& key)
{
    initialiseSodium();
    auto const hash = hashFile(file);
    std::string signatureBlock = "ED";
    signatureBlock.append(reinterpret_cast<char const*>(key.keyId.data()), key.keyId.size());
    std::array<unsigned char, signatureSize> signature{};
    crypto_sign_detached(signature.data(), nullptr, hash.data(), hash.size(), key.key.data());
    signatureBlock.append(reinterpret_cast<char const*>(signature.data()), signature.size());

    std::string const trustedComment =
        fmt::format("timestamp:{}\tfile:{}\thashed", static_cast<long long>(std::time(nullptr)),
                    file.filename().string());
    std::string signedComment(reinterpret_cast<char const*>(signature.data()), signature.size());
    signedComment += trustedComment;
    std::array<unsigned char, signatureSize> globalSignature{};
    crypto_sign_detached(globalSignature.data(), nullptr,
                         reinterpret_cast<unsigned char const*>(signedComment.data()), signedComment.size(),
                         key.key.data());

    std::string const text = fmt::format(
        "{}signature from vd-build secret key\n{}\n{}{}\n{}\n", untrustedPrefix,
        encodeBase64(reinterpret_cast<unsigned char const*>(signatureBlock.data()), signatureBlock.size()),
        trustedPrefix, trustedComment, encodeBase64(globalSignature.data(), globalSignature.size()));

    // A reader never sees half a signature, and a failed write leaves the old one.
    std::random_device random;
    fs::path const temporary =
        signatureFile.string() + fmt::format(".tmp-{:08x}", static_cast<unsigned>(random()));
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out) {
            std::error_code ignored;
            fs::remove(temporary, ignored);
            throw std::runtime_error(fmt::format("Failed to write signature '{}'", signatureFile.string()));
        }
    }
    std::error_code ec;
    fs::rename(temporary, signatureFile, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove(temporary, ignored);
        throw std::runtime_error(
            fmt::format("Failed to write signature '{}': {}", signatureFile.string(), ec.message()));
    }
}

std::string verifyFile(fs::path const& file, fs::path const& signatureFile,
                       std::vector<PublicKey> const& keys, Subject subject, std::string const& name,
                       std::string const& expectedFileName)
{
    initialiseSodium();
    std::error_code ec;
    if (!fs::is_regular_file(signatureFile, ec))
        throwMissing(subject, name);
    auto const lines = readSmallFileLines(signatureFile);
    if (!lines || lines->size() < 4 || !(*lines)[0].starts_with(untrustedTag) ||
        !(*lines)[2].starts_with(trustedPrefix))
        throwBad(subject, name);
    auto const signatureBlock = decodeBase64((*lines)[1]);
    auto const globalSignature = decodeBase64((*lines)[3]);
    if (!signatureBlock || signatureBlock->size() != algorithmSize + keyIdSize + signatureSize ||
        !globalSignature || globalSignature->size() != signatureSize)
        throwBad(subject, name);
    std::string_view const algorithm = std::string_view(*signatureBlock).substr(0, algorithmSize);
    // "ED" signs the file's BLAKE2b-512 hash; the older "Ed" the file itself.
    bool const prehashed = algorithm == "ED";
    if (!prehashed && algorithm != "Ed")
        throwBad(subject, name);

    KeyId keyId{};
    std::copy_n(signatureBlock->begin() + algorithmSize, keyIdSize, keyId.begin());
    auto const key =
        std::find_if(keys.begin(), keys.end(), [&](PublicKey const& k) { return k.keyId == keyId; });
    if (key == keys.end())
        throwUnknownKey(subject, name, keyId);

    auto const* const signature =
        reinterpret_cast<unsigned char const*>(signatureBlock->data() + algorithmSize + keyIdSize);
    int verdict = -1;
    if (prehashed) {
        auto const hash = hashFile(file);
        verdict = crypto_sign_verify_detached(signature, hash.data(), hash.size(), key->key.data());
    } else {
        std::ifstream in(file, std::ios::binary);
        if (!in.is_open())
            throw std::runtime_error(fmt::format("Failed to read '{}'", file.string()));
        std::string const content{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        verdict =
            crypto_sign_verify_detached(signature, reinterpret_cast<unsigned char const*>(content.data()),
                                        content.size(), key->key.data());
    }
    if (verdict != 0)
        throwBad(subject, name);

    std::string const trustedComment = (*lines)[2].substr(trustedPrefix.size());
    std::string signedComment(reinterpret_cast<char const*>(signature), signatureSize);
    signedComment += trustedComment;
    if (crypto_sign_verify_detached(reinterpret_cast<unsigned char const*>(globalSignature->data()),
                                    reinterpret_cast<unsigned char const*>(signedComment.data()),
                                    signedComment.size(), key->key.data()) != 0)
        throwBad(subject, name);

    // A valid signature of another file: the file was swapped for one the
    // same key signed.
    std::string const signedFile = fileOfTrustedComment(trustedComment);
    if (signedFile != expectedFileName)
        throwOtherFile(subject, name, signedFile);
    return trustedComment;
}

} // namespace Vandrel::Linux::Signature
