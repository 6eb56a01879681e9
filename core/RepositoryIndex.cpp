#include "core/RepositoryIndex.hpp"

#include "core/ArchiveManifest.hpp"
#include "core/FileLock.hpp"
#include "core/ScopeGuard.hpp"
#include "core/Signature.hpp"
#include "core/VersionUtils.hpp"

#include <fmt/format.h>
#include <sodium.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <system_error>

namespace Vandrel::Linux {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view archiveSuffix = ".vdpk.tar.bz2";

[[noreturn]] void invalid(std::string const& origin, std::string const& why)
{
    throw std::runtime_error(fmt::format("Invalid repository index '{}': {}", origin, why));
}

std::string yamlQuoted(std::string_view text)
{
    std::string out = "\"";
    for (char c : text) {
        auto const byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\')
            out += {'\\', c};
        else if (byte < 0x20 || byte == 0x7f)
            out += fmt::format("\\x{:02x}", byte);
        else
            out += c;
    }
    out += '"';
    return out;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The fast reader of the layout toYaml writes. It returns nothing at the
// first line it was not written for; yaml-cpp then reads the text.
class FastReader {
  public:
    explicit FastReader(std::string_view text) : text(text) {}

    std::optional<RepositoryIndex> read()
    {
        RepositoryIndex index;
        std::optional<std::string> generated;
        bool inPackages = false;
        RepositoryIndexEntry* entry = nullptr;
        unsigned seen = 0;
        std::string_view line;
        while (nextLine(line)) {
            if (line.empty())
                continue;
            if (!inPackages) {
                if (auto value = after(line, "generated: ")) {
                    std::string text;
                    if (!readQuoted(*value, text) || !value->empty())
                        return std::nullopt;
                    generated = std::move(text);
                } else if (line == "packages:") {
                    inPackages = true;
                } else if (line == "packages: []") {
                    inPackages = true;
                } else {
                    return std::nullopt;
                }
                continue;
            }
            std::string_view field;
            if (auto rest = after(line, "  - ")) {
                if (entry && seen != allFields)
                    return std::nullopt;
                entry = &index.entries.emplace_back();
                seen = 0;
                field = *rest;
            } else if (auto inner = after(line, "    "); inner && entry) {
                field = *inner;
            } else {
                return std::nullopt;
            }
            if (!readField(field, *entry, seen))
                return std::nullopt;
        }
        // A field left out: yaml-cpp's reading names it.
        if (!generated || (entry && seen != allFields))
            return std::nullopt;
        try {
            index.generated = RepositoryIndex::parseTime(*generated);
        } catch (std::runtime_error const&) {
            return std::nullopt;
        }
        return index;
    }

  private:
    bool nextLine(std::string_view& line)
    {
        if (pos >= text.size())
            return false;
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos)
            end = text.size();
        line = text.substr(pos, end - pos);
        pos = end + 1;
        return true;
    }

    static std::optional<std::string_view> after(std::string_view line, std::string_view prefix)
    {
        if (!line.starts_with(prefix))
            return std::nullopt;
        return line.substr(prefix.size());
    }

    // A double-quoted scalar at the start of in, which is advanced past it.
    static bool readQuoted(std::string_view& in, std::string& out)
    {
        if (in.empty() || in.front() != '"')
            return false;
        std::size_t i = 1;
        while (i < in.size() && in[i] != '"') {
            char const c = in[i];
            if (c != '\\') {
                out += c;
                ++i;
                continue;
            }
            if (i + 1 >= in.size())
                return false;
            char const escaped = in[i + 1];
            if (escaped == '"' || escaped == '\\') {
                out += escaped;
                i += 2;
            } else if (escaped == 'x' && i + 3 < in.size() && hexValue(in[i + 2]) >= 0 &&
                       hexValue(in[i + 3]) >= 0) {
                out += static_cast<char>(hexValue(in[i + 2]) * 16 + hexValue(in[i + 3]));
                i += 4;
            } else {
                return false;
            }
        }
        if (i >= in.size())
            return false;
        in.remove_prefix(i + 1);
        return true;
    }

    // One bit per field that every entry must have.
    static constexpr unsigned allFields = 0x7f;

    static bool readField(std::string_view field, RepositoryIndexEntry& entry, unsigned& seen)
    {
        std::size_t const colon = field.find(": ");
        if (colon == std::string_view::npos)
            return false;
        std::string_view const key = field.substr(0, colon);
        std::string_view value = field.substr(colon + 2);
        static constexpr std::string_view keys[] = {"os",   "name", "version", "arch",
                                                    "path", "size", "sha256"};
        auto const known = std::find(std::begin(keys), std::end(keys), key);
        if (known != std::end(keys)) {
            unsigned const bit = 1u << (known - std::begin(keys));
            if (seen & bit)
                return false;
            seen |= bit;
        }
        if (key == "size") {
            auto const [end, error] = std::from_chars(value.data(), value.data() + value.size(), entry.size);
            return error == std::errc() && end == value.data() + value.size();
        }
        if (key == "depends") {
            if (value.empty() || value.front() != '[' || value.back() != ']')
                return false;
            value = value.substr(1, value.size() - 2);
            while (!value.empty()) {
                std::string name;
                if (!readQuoted(value, name))
                    return false;
                entry.depends.push_back(std::move(name));
                if (value.empty())
                    break;
                if (!value.starts_with(", "))
                    return false;
                value.remove_prefix(2);
            }
            return true;
        }
        std::string* target = key == "os"        ? &entry.os
                              : key == "name"    ? &entry.name
                              : key == "version" ? &entry.version
                              : key == "arch"    ? &entry.arch
                              : key == "path"    ? &entry.path
                              : key == "sha256"  ? &entry.sha256
                                                 : nullptr;
        if (target == nullptr)
            return false;
        target->clear();
        return readQuoted(value, *target) && value.empty();
    }

    std::string_view text;
    std::size_t pos = 0;
};

RepositoryIndex readWithYamlCpp(std::string_view text, std::string const& origin)
{
    YAML::Node root;
    try {
        root = YAML::Load(std::string(text));
    } catch (YAML::Exception const& e) {
        invalid(origin, e.what());
    }
    if (!root.IsMap())
        invalid(origin, "not a map");
    RepositoryIndex index;
    try {
        YAML::Node const generated = root["generated"];
        if (!generated.IsDefined())
            invalid(origin, "no 'generated' time");
        index.generated = RepositoryIndex::parseTime(generated.as<std::string>());
        YAML::Node const packages = root["packages"];
        if (packages.IsDefined() && !packages.IsNull()) {
            if (!packages.IsSequence())
                invalid(origin, "'packages' is not a list");
            for (YAML::Node const& node : packages) {
                if (!node.IsMap())
                    invalid(origin, "a package is not a map");
                RepositoryIndexEntry entry;
                auto const text = [&](char const* key, std::string& target, bool required = true) {
                    YAML::Node const value = node[key];
                    if (value.IsDefined())
                        target = value.as<std::string>();
                    else if (required)
                        invalid(origin, fmt::format("a package has no '{}'", key));
                };
                text("os", entry.os);
                text("name", entry.name);
                text("version", entry.version);
                text("arch", entry.arch, false);
                text("path", entry.path);
                text("sha256", entry.sha256);
                if (YAML::Node const size = node["size"]; size.IsDefined())
                    entry.size = size.as<std::uintmax_t>();
                else
                    invalid(origin, "a package has no 'size'");
                if (YAML::Node const depends = node["depends"]; depends.IsDefined() && !depends.IsNull())
                    entry.depends = depends.as<std::vector<std::string>>();
                index.entries.push_back(std::move(entry));
            }
        }
    } catch (YAML::Exception const& e) {
        invalid(origin, e.what());
    }
    return index;
}

bool isSingleComponent(std::string const& text)
{
    return !text.empty() && text != "." && text != ".." && text.find('/') == std::string::npos &&
           text.find('\0') == std::string::npos;
}

// What a client relies on: every name a plain path component, a path that
// stays inside the repository, a hash and a version it can compare.
void validate(RepositoryIndexEntry const& entry, std::string const& origin)
{
    for (auto const* value : {&entry.os, &entry.name, &entry.version})
        if (!isSingleComponent(*value))
            invalid(origin, fmt::format("invalid name '{}' in the entry of '{}'", *value, entry.path));
    if (!VersionUtils::isValidVersion(entry.version))
        invalid(origin, fmt::format("invalid version '{}' of '{}'", entry.version, entry.name));
    for (auto const& depend : entry.depends)
        if (!isSingleComponent(depend))
            invalid(origin, fmt::format("invalid dependency '{}' of '{}'", depend, entry.name));
    fs::path const path(entry.path);
    bool pathOk = !entry.path.empty() && path.is_relative() && entry.path.find('\0') == std::string::npos &&
                  entry.path.ends_with(archiveSuffix);
    for (auto const& part : path)
        pathOk = pathOk && part != ".." && part != "." && !part.empty();
    if (!pathOk)
        invalid(origin, fmt::format("invalid path '{}'", entry.path));
    if (entry.sha256.size() != 64 || !std::all_of(entry.sha256.begin(), entry.sha256.end(), [](char c) {
            return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        }))
        invalid(origin, fmt::format("invalid sha256 of '{}'", entry.path));
}

std::string readFileText(fs::path const& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open())
        throw std::runtime_error(fmt::format("Failed to read '{}'", path.string()));
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFileText(fs::path const& path, std::string const& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out)
        throw std::runtime_error(fmt::format("Failed to write '{}'", path.string()));
}

FileLock lockRepository(fs::path const& root)
{
    fs::create_directories(root);
    return FileLock::acquire((root / ".index.lock").string());
}

} // namespace

std::optional<RepositoryIndex> RepositoryIndex::readWrittenLayout(std::string_view text)
{
    return FastReader(text).read();
}

RepositoryIndex RepositoryIndex::parse(std::string_view text, std::string const& origin)
{
    std::optional<RepositoryIndex> fast = FastReader(text).read();
    RepositoryIndex index = fast ? std::move(*fast) : readWithYamlCpp(text, origin);
    for (auto const& entry : index.entries)
        validate(entry, origin);
    return index;
}

std::string RepositoryIndex::toYaml() const
{
    std::string out = fmt::format("generated: {}\n", yamlQuoted(formatTime(generated)));
    out += entries.empty() ? "packages: []\n" : "packages:\n";
    for (auto const& entry : entries) {
        out += fmt::format("  - os: {}\n    name: {}\n    version: {}\n    arch: {}\n", yamlQuoted(entry.os),
                           yamlQuoted(entry.name), yamlQuoted(entry.version), yamlQuoted(entry.arch));
        out += "    depends: [";
        for (std::size_t i = 0; i < entry.depends.size(); ++i)
            out += (i ? ", " : "") + yamlQuoted(entry.depends[i]);
        out += "]\n";
        out += fmt::format("    path: {}\n    size: {}\n    sha256: {}\n", yamlQuoted(entry.path), entry.size,
                           yamlQuoted(entry.sha256));
    }
    return out;
}

RepositoryIndexEntry const* RepositoryIndex::newest(std::string const& name) const
{
    RepositoryIndexEntry const* best = nullptr;
    for (auto const& entry : entries) {
        if (entry.name != name)
            continue;
        if (best && best->os != entry.os)
            throw std::runtime_error(
                fmt::format("Package '{}' was found in multiple repository OS directories", name));
        if (!best || VersionUtils::compareVersions(entry.version, best->version) > 0)
            best = &entry;
    }
    return best;
}

void RepositoryIndex::put(RepositoryIndexEntry entry)
{
    auto const same = std::find_if(entries.begin(), entries.end(),
                                   [&](RepositoryIndexEntry const& e) { return e.path == entry.path; });
    if (same != entries.end())
        *same = std::move(entry);
    else
        entries.push_back(std::move(entry));
}

std::string RepositoryIndex::formatTime(std::int64_t microseconds)
{
    std::int64_t seconds = microseconds / 1000000;
    std::int64_t fraction = microseconds % 1000000;
    if (fraction < 0) {
        fraction += 1000000;
        --seconds;
    }
    std::time_t const t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:06}Z", tm.tm_year + 1900, tm.tm_mon + 1,
                       tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, fraction);
}

std::int64_t RepositoryIndex::parseTime(std::string_view text)
{
    // 0123456789012345678901234567
    // YYYY-MM-DDTHH:MM:SS.ffffffZ
    auto const bad = [&] { return std::runtime_error(fmt::format("Invalid index time '{}'", text)); };
    if (text.size() != 27 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || text[19] != '.' || text[26] != 'Z')
        throw bad();
    auto const number = [&](std::size_t at, std::size_t length) {
        int value = 0;
        for (std::size_t i = at; i < at + length; ++i) {
            if (text[i] < '0' || text[i] > '9')
                throw bad();
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    std::tm tm{};
    tm.tm_year = number(0, 4) - 1900;
    tm.tm_mon = number(5, 2) - 1;
    tm.tm_mday = number(8, 2);
    tm.tm_hour = number(11, 2);
    tm.tm_min = number(14, 2);
    tm.tm_sec = number(17, 2);
    int const fraction = number(20, 6);
    if (tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 ||
        tm.tm_sec > 60)
        throw bad();
    return static_cast<std::int64_t>(::timegm(&tm)) * 1000000 + fraction;
}

std::int64_t RepositoryIndex::now()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

std::string sha256File(fs::path const& file)
{
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium could not be initialised");
    std::ifstream in(file, std::ios::binary);
    if (!in.is_open())
        throw std::runtime_error(fmt::format("Failed to read '{}'", file.string()));
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    std::array<char, 1 << 16> buffer{};
    while (in) {
        in.read(buffer.data(), buffer.size());
        auto const got = in.gcount();
        if (got > 0)
            crypto_hash_sha256_update(&state, reinterpret_cast<unsigned char const*>(buffer.data()),
                                      static_cast<unsigned long long>(got));
    }
    if (in.bad())
        throw std::runtime_error(fmt::format("Failed to read '{}'", file.string()));
    std::array<unsigned char, crypto_hash_sha256_BYTES> hash{};
    crypto_hash_sha256_final(&state, hash.data());
    std::string hex;
    for (unsigned char byte : hash)
        hex += fmt::format("{:02x}", byte);
    return hex;
}

RepositoryIndexEntry RepositoryIndex::describeArchive(fs::path const& root, fs::path const& archive)
{
    return describeArchive(root, archive, readArchiveManifest(archive));
}

RepositoryIndexEntry RepositoryIndex::describeArchive(fs::path const& root, fs::path const& archive,
                                                      Package const& package)
{
    RepositoryIndexEntry entry;
    entry.os = package.os;
    entry.name = package.name;
    entry.version = package.version;
    entry.arch = Package::archToString(package.arch);
    entry.depends = package.depends;
    entry.path = archive.lexically_relative(root).generic_string();
    entry.size = fs::file_size(archive);
    entry.sha256 = sha256File(archive);
    return entry;
}

RepositoryIndex RepositoryIndex::scan(fs::path const& root, fs::path const& skip)
{
    RepositoryIndex index;
    // Links are not followed: the index lists what lies in the repository.
    for (auto const& item : fs::recursive_directory_iterator(root)) {
        if (item.is_symlink() || !item.is_regular_file() ||
            !item.path().filename().string().ends_with(archiveSuffix) || item.path() == skip)
            continue;
        try {
            index.entries.push_back(describeArchive(root, item.path()));
        } catch (std::runtime_error const& e) {
            std::cerr << fmt::format("Warning: '{}' is left out of the index: {}", item.path().string(),
                                     e.what())
                      << std::endl;
        }
    }
    std::sort(index.entries.begin(), index.entries.end(),
              [](auto const& a, auto const& b) { return a.path < b.path; });
    return index;
}

void RepositoryIndex::write(fs::path const& root, Signature::SecretKey const* key)
{
    std::int64_t previous = 0;
    if (std::error_code ec; fs::is_regular_file(root / fileName, ec)) {
        try {
            previous = parse(readFileText(root / fileName), (root / fileName).string()).generated;
        } catch (std::runtime_error const&) {
            // An unreadable index is replaced whatever its time.
        }
    }
    generated = std::max(now(), previous + 1);
    std::sort(entries.begin(), entries.end(), [](auto const& a, auto const& b) { return a.path < b.path; });

    // Both files are made complete under their final names in a directory
    // of their own on the same file system, then renamed into place.
    std::string pattern = (root / ".index-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::system_error(errno, std::generic_category(),
                                "cannot create a directory in " + root.string());
    fs::path const staging = pattern;
    ScopeGuard const removeStaging([&] {
        std::error_code ignored;
        fs::remove_all(staging, ignored);
    });
    fs::path const index = staging / fileName;
    writeFileText(index, toYaml());
    fs::path const signature = staging / signatureFileName;
    if (key)
        Signature::signFile(index, signature, *key);
    fs::rename(index, root / fileName);
    if (key)
        fs::rename(signature, root / signatureFileName);
    else
        // A signature of an earlier index would not match this one.
        fs::remove(root / signatureFileName);
}

namespace RepositoryIndexUpdate {

void addArchive(fs::path const& root, fs::path const& archive, Package const& package,
                Signature::SecretKey const* key)
{
    FileLock const lock = lockRepository(root);
    fs::path const indexPath = root / RepositoryIndex::fileName;
    std::optional<RepositoryIndex> index;
    if (std::error_code ec; fs::is_regular_file(indexPath, ec)) {
        try {
            index = RepositoryIndex::parse(readFileText(indexPath), indexPath.string());
        } catch (std::runtime_error const&) {
        }
    }
    if (!index) {
        index = RepositoryIndex::scan(root, archive);
    } else {
        std::erase_if(index->entries, [&](RepositoryIndexEntry const& entry) {
            std::error_code ec;
            return !fs::is_regular_file(root / entry.path, ec);
        });
    }
    index->put(RepositoryIndex::describeArchive(root, archive, package));
    index->write(root, key);
}

RepositoryIndex rebuild(fs::path const& root, Signature::SecretKey const* key)
{
    if (!fs::is_directory(root))
        throw std::runtime_error(fmt::format("Package repository '{}' does not exist", root.string()));
    FileLock const lock = lockRepository(root);
    RepositoryIndex index = RepositoryIndex::scan(root);
    index.write(root, key);
    return index;
}

} // namespace RepositoryIndexUpdate

} // namespace Vandrel::Linux
