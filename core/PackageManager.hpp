#pragma once

#include "core/FileDetails.hpp"
#include "core/FileLock.hpp"
#include "core/Package.hpp"
#include "core/PkgConfig.hpp"

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Exception.h>
#include <SQLiteCpp/Statement.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace Vandrel {
struct ShellConfig;
}

namespace Vandrel::Linux {

class InstallRoot;

namespace InstallPaths {

// The install root (prefix, or "/" without one) joined with path.
std::filesystem::path destination(std::optional<std::string> const& prefix,
                                  std::filesystem::path const& path);

} // namespace InstallPaths

// Why a package is installed: asked for by name, or pulled in by another.
enum class InstallReason : unsigned char { requested, dependency };

// One operation on the install root as the journal records it before the
// first change: enough to roll it back, or to finish it, after a crash.
struct JournalEntry {
    std::int64_t id = 0;
    std::string package;
    std::string version;
    std::string operation; // "install", "upgrade" or "removal"
    std::string tempDir;   // the unpack directory of an install; empty for a removal
    // Names below the install root: files and links that did not exist, that
    // are replaced, that go afterwards, and the directories the operation made.
    std::vector<std::string> creates;
    std::vector<std::string> replaces;
    std::vector<std::string> removes;
    std::vector<std::string> directories;
    // Set in the transaction that records the outcome: from then on the
    // operation is finished, never undone.
    bool committed = false;
};

// The package database of one install root and the installer that copies
// package archives into that root and removes them again.
class PackageManager {
  public:
    PackageManager(PkgConfig const& config, bool initDatabase);
    ~PackageManager();
    PackageManager(PackageManager const&) = delete;
    PackageManager& operator=(PackageManager const&) = delete;

    // --- database ---

    // The open connection; opens, creates or migrates the database on first use.
    SQLite::Database& db() const;
    std::string databaseFilePath() const;
    // The lock beside the database that every change of the install root
    // holds; nothing when this process holds it already (the package tool
    // takes it for its whole command, the installer for each package).
    FileLock lockInstallRoot() const;
    // Makes prefix absolute and closes the connection, so the next use opens
    // the database of the new root.
    void setInstallPrefix(std::string const& prefix);
    std::optional<std::string> const& getInstallPrefix() const { return installPrefix; }

    void createNewDatabase() const;
    void initializeDatabaseSchema() const;
    void ensureDatabaseSchema() const;
    void executeSqlFromFile(std::string const& fileName) const;
    [[noreturn]] void throwSqlError(std::string const& context, SQLite::Exception const& error,
                                    std::string_view sql) const;

    // These three never create a database file.
    std::vector<std::string> installedPackages() const;
    std::optional<std::string> installedVersion(std::string const& name) const;
    bool isInstall(std::string const& name) const;

    int findPackageId(std::string const& name) const;
    std::vector<std::string> findPackageFiles(std::string const& name) const;
    std::vector<std::string> findDirectDependents(std::string const& name) const;
    bool hasOtherFileOwners(std::string const& fileName, int packageId) const;
    // The package's recorded files for which hasOtherFileOwners is true.
    std::unordered_set<std::string> filesWithOtherOwners(int packageId) const;

    // --- file installation ---

    std::string destinationPath(std::filesystem::path const& packagePath) const;
    // Copies unpackDir/files into the install root; returns the installed
    // paths (everything but directories) relative to the root, in copy order.
    std::vector<std::string> copyFiles(std::filesystem::path unpackDir) const;
    void copyEntry(std::filesystem::directory_entry const& entry, std::filesystem::path const& filesDir,
                   std::vector<std::string>& installedPaths) const;
    // Mode and owner of source onto a plain destination path. The installer
    // itself changes them through descriptors below the install root.
    static void copyPermissions(std::filesystem::path const& source, std::string const& destination);
    ShellConfig makeShellConfig() const;

    // --- install and uninstall ---

    void install(std::string const& archivePath, InstallReason reason = InstallReason::requested);
    std::optional<std::string> sameOrNewerInstalledVersion(Package const& package) const;
    void uninstall(std::string const& name);
    std::vector<std::string> packagesToUninstall(std::string const& name) const;
    void appendPackagesToUninstall(std::string const& name, std::vector<std::string>& result,
                                   std::vector<std::string>& visited) const;
    void uninstallSingle(std::string const& name);

    int savePackageIntoDb(Package const& package);
    void saveFilesIntoDb(int packageId, std::vector<std::string> const& files);
    void saveDependenciesIntoDb(int packageId, std::vector<std::string> const& dependencies);
    void saveIntoDb(Package const& package, std::vector<std::string> const& files,
                    InstallReason reason = InstallReason::requested);
    void removePackageFromDb(int packageId);

    // --- journal of operations in progress ---

    // Adds the journal table to a database that lacks it.
    void ensureJournalTable() const;
    // The operations a killed run left unfinished, oldest first; never
    // creates a database.
    std::vector<JournalEntry> pendingOperations() const;
    // Finishes or rolls back every pending operation, one line on standard
    // error for each. install and uninstall do this first.
    void recoverInterruptedOperations();

    // --- recorded details of installed files and packages ---

    // Adds the detail tables to a database that lacks them.
    void ensureDetailTables() const;
    // The reason recorded for an installed package (requested when the
    // database predates the record, or holds none for it).
    std::optional<InstallReason> installReason(std::string const& name) const;
    // Writes the reason and install time, and the details copyFiles took of the
    // files, when files is the list it returned.
    void saveDetailsIntoDb(int packageId, std::vector<std::string> const& files, InstallReason reason);
    void removeDetailsFromDb(int packageId);

  private:
    bool databaseReadable() const;
    // The path to open the database at (see databaseInsideRoot); with create
    // its directories are made first.
    std::optional<std::string> databaseOpenPath(bool create) const;
    enum class EntryKind : unsigned char { directory, symlink, regular, other };
    static EntryKind kindOf(std::filesystem::directory_entry const& entry);
    // The unpacked tree below "files", as package paths with their kinds;
    // directories apart, as they are made before anything lands in them.
    struct UnpackedTree {
        std::vector<std::pair<std::string, EntryKind>> directories;
        std::vector<std::pair<std::string, EntryKind>> others;
    };
    static UnpackedTree listUnpacked(std::filesystem::path const& unpackDir);
    // Every change below the install root goes through root (see InstallRoot).
    void installEntry(InstallRoot& root, std::string const& source, std::string const& packagePath,
                      EntryKind kind, std::vector<std::string>& installedPaths) const;
    void installDirectory(InstallRoot& root, std::string const& source, std::string const& packagePath) const;
    void installSymlink(InstallRoot& root, std::string const& source, std::string const& packagePath) const;
    void installFile(InstallRoot& root, std::string const& source, std::string const& packagePath) const;
    void copyThroughSymlink(InstallRoot& root, std::string const& source,
                            std::string const& packagePath) const;
    bool moveRegularFile(std::string const& source, int directory, std::string const& base) const;
    void recordDetails(InstallRoot& root, std::string const& packagePath, CopyDigest& digest) const;
    bool hasDetailTables() const;
    void writeDetails(int packageId, std::vector<std::string> const& files, InstallReason reason);
    void closeConnection() const;

    // One entry of the unpacked tree on its way into the root.
    struct StagedEntry {
        std::string packagePath; // recorded in the file table
        std::string target;      // the name below the root it is renamed over
        EntryKind kind;
        bool replaces; // something is at target already
    };
    void installStaged(Package const& package, std::filesystem::path const& unpackDir, InstallReason reason);
    // Where a file entry lands, and whether that replaces something; throws
    // on a destination it must not replace.
    StagedEntry planEntry(InstallRoot& root, std::string const& source, std::string const& packagePath,
                          EntryKind kind) const;
    FileDetails stageEntry(InstallRoot& root, std::string const& source, StagedEntry const& entry) const;
    void commitInstall(Package const& package, std::vector<std::string> const& files, InstallReason reason,
                       std::int64_t journalId);
    // Removes names (files, links) and then the directories they leave empty.
    void removeInstalledFiles(std::vector<std::string> const& files, int packageId,
                              std::function<void(std::size_t)> const& afterEach = {});
    void removeRows(int packageId);
    std::int64_t writeJournal(JournalEntry const& entry) const;
    void setJournalRemoves(std::int64_t id, std::vector<std::string> const& removes) const;
    void deleteJournal(std::int64_t id) const;
    void rollBack(JournalEntry const& entry);
    void complete(JournalEntry const& entry);

    PkgConfig config;
    mutable std::unique_ptr<SQLite::Database> connection;
    std::optional<std::string> installPrefix;
    mutable bool initDatabase;
    // The working directory at construction: install() changes directory, and a
    // relative database or shareDir setting must keep meaning the same place.
    std::filesystem::path startDir;
    // Reused across calls; uninstall asks it once per file. Declared after the
    // connection so it is finalized first.
    mutable std::unique_ptr<SQLite::Statement> otherOwnersQuery;
    bool abandonedTempDirsRemoved = false;
    // Set while install() copies from its own unpack directory, which is
    // removed afterwards: regular files may then be moved instead of copied.
    mutable bool moveRegularFiles = false;
    // What copyFiles installed, one entry per path of the list it returned.
    mutable std::vector<FileDetails> copiedDetails;
    // The buffer of the list copyFiles returned last, to recognise that list.
    mutable std::string const* copiedList = nullptr;
};

} // namespace Vandrel::Linux
