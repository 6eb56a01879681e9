#pragma once

#include "core/Package.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Vandrel::Linux {

namespace Signature {
struct SecretKey;
}

// One archive of a repository as its index lists it.
struct RepositoryIndexEntry {
    std::string os;
    std::string name;
    std::string version;
    std::string arch = "x64";
    std::vector<std::string> depends;
    std::string path; // relative to the repository root, "/"-separated
    std::uintmax_t size = 0;
    std::string sha256; // lower-case hex

    bool operator==(RepositoryIndexEntry const&) const = default;
};

// "index.yml" at the root of a repository: every archive with what a client
// needs to resolve names and dependencies without downloading archives, and
// to check each archive it does download.
//
//   generated: "2026-01-02T03:04:05.678901Z"
//   packages:
//     - os: "core"
//       name: "alpha"
//       ...
//       depends: ["beta"]
//       size: 1234
class RepositoryIndex {
  public:
    static constexpr char const* fileName = "index.yml";
    static constexpr char const* signatureFileName = "index.yml.minisig";

    // Microseconds since the epoch (UTC).
    std::int64_t generated = 0;
    std::vector<RepositoryIndexEntry> entries;

    // Reads the layout toYaml writes at speed, anything else YAML can say
    // through yaml-cpp. Throws "Invalid repository index '{origin}': {why}".
    static RepositoryIndex parse(std::string_view text, std::string const& origin);
    // The fast reader alone, unchecked: nothing for text it was not made for.
    static std::optional<RepositoryIndex> readWrittenLayout(std::string_view text);
    std::string toYaml() const;

    // The entry of name with the newest version, or null when none has that
    // name. Throws when the name lies in more than one OS directory.
    RepositoryIndexEntry const* newest(std::string const& name) const;

    // Adds entry, replacing one with the same path.
    void put(RepositoryIndexEntry entry);

    // "YYYY-MM-DDTHH:MM:SS.ffffffZ" and back; parseTime throws for other text.
    static std::string formatTime(std::int64_t microseconds);
    static std::int64_t parseTime(std::string_view text);
    static std::int64_t now();

    // The entry of an archive below root, from its manifest: package when
    // the caller has it, else read from the archive.
    static RepositoryIndexEntry describeArchive(std::filesystem::path const& root,
                                                std::filesystem::path const& archive);
    static RepositoryIndexEntry describeArchive(std::filesystem::path const& root,
                                                std::filesystem::path const& archive, Package const& package);
    // An index of every "*.vdpk.tar.bz2" below root but skip. An archive
    // whose manifest cannot be read is left out with a warning: clients
    // could not install it either.
    static RepositoryIndex scan(std::filesystem::path const& root, std::filesystem::path const& skip = {});

    // Writes root/index.yml (and with a key root/index.yml.minisig, else
    // removes a stale one) through temporary names renamed into place. The
    // generation time becomes now, and always later than the index it
    // replaces, so clients that refuse older indexes accept it.
    void write(std::filesystem::path const& root, Signature::SecretKey const* key);
};

// The SHA-256 of a file in lower-case hex.
std::string sha256File(std::filesystem::path const& file);

namespace RepositoryIndexUpdate {
// Under the repository's lock (root/".index.lock"), brings root/index.yml up
// to date with the archive at path below root: its entry replaces any with
// the same path, entries whose archives are gone are dropped. An index that
// is missing or cannot be read is rebuilt from every archive.
void addArchive(std::filesystem::path const& root, std::filesystem::path const& archive,
                Package const& package, Signature::SecretKey const* key);
// Under the same lock, rebuilds the index of root from its archives.
RepositoryIndex rebuild(std::filesystem::path const& root, Signature::SecretKey const* key);
} // namespace RepositoryIndexUpdate

} // namespace Vandrel::Linux
