#include "core/FileDetails.hpp"

#include "core/FileDescriptor.hpp"

#include <sodium/core.h>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace Vandrel::Linux {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void throwError(char const* what, std::string const& path, int error)
{
    throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

thread_local CopyDigest* activeDigest = nullptr;

} // namespace

Sha256::Sha256()
{
    static std::once_flag initialized;
    std::call_once(initialized, [] {
        if (::sodium_init() < 0)
            throw std::runtime_error("Cannot initialize libsodium");
    });
    crypto_hash_sha256_init(&state);
}

void Sha256::update(void const* data, std::size_t size)
{
    crypto_hash_sha256_update(&state, static_cast<unsigned char const*>(data), size);
}

Sha256Digest Sha256::finish()
{
    Sha256Digest digest{};
    crypto_hash_sha256_final(&state, digest.data());
    return digest;
}

std::string toHex(Sha256Digest const& digest)
{
    static char const digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(digest.size() * 2);
    for (unsigned char byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 0xf];
    }
    return text;
}

std::optional<Sha256Digest> digestFromHex(std::string_view text)
{
    Sha256Digest digest{};
    if (text.size() != digest.size() * 2)
        return std::nullopt;
    auto const value = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < digest.size(); ++i) {
        int const high = value(text[2 * i]);
        int const low = value(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        digest[i] = static_cast<unsigned char>(high << 4 | low);
    }
    return digest;
}

Sha256Digest sha256Of(int fd)
{
    Sha256 hash;
    std::vector<unsigned char> buffer(128 * 1024);
    while (true) {
        ssize_t const got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw std::system_error(errno, std::generic_category(), "cannot read");
        if (got == 0)
            return hash.finish();
        hash.update(buffer.data(), static_cast<std::size_t>(got));
    }
}

CopyDigest::CopyDigest() : outer(activeDigest)
{
    activeDigest = this;
}

CopyDigest::~CopyDigest()
{
    activeDigest = outer;
}

CopyDigest* CopyDigest::active()
{
    return activeDigest;
}

void CopyDigest::update(void const* data, std::size_t size)
{
    wasFed = true;
    hash.update(data, size);
}

char const* typeName(FileType type)
{
    switch (type) {
    case FileType::regular:
        return "file";
    case FileType::symlink:
        return "link";
    default:
        return "other";
    }
}

std::optional<FileType> typeFromName(std::string_view name)
{
    if (name == "file")
        return FileType::regular;
    if (name == "link")
        return FileType::symlink;
    if (name == "other")
        return FileType::other;
    return std::nullopt;
}

std::string linkTargetOf(int fd, std::string const& path)
{
    std::vector<char> buffer(256);
    while (true) {
        // An empty name reads the link an O_PATH | O_NOFOLLOW descriptor refers to.
        ssize_t const length = ::readlinkat(fd, "", buffer.data(), buffer.size());
        if (length < 0)
            throwError("cannot read symlink", path, errno);
        if (static_cast<std::size_t>(length) < buffer.size())
            return std::string(buffer.data(), static_cast<std::size_t>(length));
        buffer.resize(buffer.size() * 4);
    }
}

FileDetails describeEntry(int directory, std::string const& base, CopyDigest& digest, std::string const& path)
{
    FileDescriptor entry(::openat(directory, base.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (!entry || ::fstat(entry.get(), &status) != 0)
        throwError("cannot read the status of", path, errno);

    FileDetails details;
    details.mode = status.st_mode & 07777;
    details.uid = status.st_uid;
    details.gid = status.st_gid;
    details.size = status.st_size;
    if (S_ISLNK(status.st_mode)) {
        details.type = FileType::symlink;
        details.linkTarget = linkTargetOf(entry.get(), path);
    } else if (S_ISREG(status.st_mode)) {
        details.type = FileType::regular;
        if (digest.fed()) {
            details.sha256 = digest.finish();
        } else {
            // Moved into place rather than copied: its bytes are read once here.
            FileDescriptor in(
                ::openat(directory, base.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            if (!in)
                throwError("cannot read", path, errno);
            try {
                details.sha256 = sha256Of(in.get());
            } catch (std::system_error const& e) {
                throwError("cannot read", path, e.code().value());
            }
        }
    }
    return details;
}

} // namespace Vandrel::Linux
