#pragma once

#include <SQLiteCpp/Database.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace Vandrel::Linux {

class PackageManager;

// What --info shows of one installed package.
struct PackageInfo {
    std::string name;
    std::string version;
    std::vector<std::string> depends;    // manifest order
    std::vector<std::string> requiredBy; // installed packages that depend on it, sorted
    bool requested = true;
    std::size_t fileCount = 0;
    std::optional<std::int64_t> size;        // bytes of its regular files; nothing for old records
    std::optional<std::int64_t> installedAt; // seconds since the epoch; nothing for old records
};

// One line of a verification: a recorded file that is gone, differs from
// what was installed, cannot be read, or was recorded without details.
struct VerifyFinding {
    enum class Kind : unsigned char { missing, changed, unreadable, unverifiable };
    Kind kind;
    std::string name; // recorded name
    std::vector<std::string>
        what;           // for changed: "type", "mode", "owner", "group", "size", "sha256", "target"
    std::string reason; // for unreadable
};

// Read-only questions about what is installed in one install root. The
// database is opened read-only: nothing is created, migrated or locked.
class PackageQuery {
  public:
    // Throws when the database file does not exist.
    explicit PackageQuery(PackageManager const& manager);

    // The recorded name of a path: made absolute against the current
    // directory, normalised lexically, and taken relative to the install root.
    std::string recordedName(std::filesystem::path const& path) const;
    // The path on disk of a recorded name.
    std::string pathOf(std::string const& name) const;

    // The packages that recorded a name, sorted.
    std::vector<std::string> owners(std::string const& name) const;
    // A package's recorded names, sorted; throws for a package not installed.
    std::vector<std::string> files(std::string const& package) const;
    PackageInfo info(std::string const& package) const;
    // Installed as dependencies and depended on by no other installed package, sorted.
    std::vector<std::string> orphans() const;
    // Compares the recorded files of a package, or of all, with the disk, in
    // name order, each name once; returns how many findings fail it.
    std::size_t verify(std::optional<std::string> const& package,
                       std::function<void(VerifyFinding const&)> const& report) const;

  private:
    int packageId(std::string const& package) const;
    bool hasDetails() const;

    std::optional<std::string> installPrefix;
    std::string databasePath;
    SQLite::Database database;
    bool detailTables;
};

} // namespace Vandrel::Linux
