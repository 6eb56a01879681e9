// The journal of operations on the install root. An install, upgrade or
// removal writes its entry before it changes anything below the root; the
// transaction that records its outcome marks the entry committed (or, for a
// removal, deletes it), and the entry goes once the last leftover is gone. A
// run that finds an entry was killed in between: before its commit the
// operation is undone, after it the operation is finished.
#include "core/PackageManager.hpp"

#include "core/FileDescriptor.hpp"
#include "core/InstallRoot.hpp"
#include "core/StagedNames.hpp"
#include "core/TempDir.hpp"

#include <SQLiteCpp/Statement.h>
#include <SQLiteCpp/Transaction.h>
#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>

namespace Vandrel::Linux {

namespace fs = std::filesystem;

namespace {

// The lists are stored as names separated by NUL bytes: a file name may hold
// any other byte, a newline included.
std::string joinNames(std::vector<std::string> const& names)
{
    std::string joined;
    for (auto const& name : names) {
        joined += name;
        joined += '\0';
    }
    return joined;
}

std::vector<std::string> splitNames(SQLite::Column const& column)
{
    std::vector<std::string> names;
    char const* data = static_cast<char const*>(column.getBlob());
    std::size_t const size = static_cast<std::size_t>(column.getBytes());
    std::size_t start = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] != '\0')
            continue;
        names.emplace_back(data + start, i - start);
        start = i + 1;
    }
    return names;
}

std::string parentName(std::string const& name)
{
    std::size_t const slash = name.rfind('/');
    return slash == std::string::npos ? std::string() : name.substr(0, slash);
}

std::string baseName(std::string const& name)
{
    std::size_t const slash = name.rfind('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

bool entryExists(int directory, std::string const& base)
{
    struct stat status {};
    return ::fstatat(directory, base.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
}

// Removes what an interrupted run left of its unpack directory. Only a
// directory named the way the installer names it is removed, whatever the
// entry says.
void removeTempDir(std::string const& path)
{
    fs::path const dir(path);
    if (path.empty() || !dir.is_absolute() || dir.filename().string().rfind("vdpk-", 0) != 0)
        return;
    std::error_code ec;
    if (fs::is_directory(fs::symlink_status(dir, ec)))
        fs::remove_all(dir, ec);
}

} // namespace

void PackageManager::ensureJournalTable() const
{
    SQLite::Statement query(db(),
                            "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'journal'");
    if (!query.executeStep() || query.getColumn(0).getInt() == 0) {
        query.reset();
        executeSqlFromFile("journal.sql");
    }
}

std::int64_t PackageManager::writeJournal(JournalEntry const& entry) const
{
    SQLite::Database& database = db();
    SQLite::Statement insert(database,
                             "INSERT INTO journal(package, version, operation, temp_dir, creates, replaces, "
                             "removes, directories, committed) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)");
    insert.bindNoCopy(1, entry.package);
    insert.bindNoCopy(2, entry.version);
    insert.bindNoCopy(3, entry.operation);
    insert.bindNoCopy(4, entry.tempDir);
    std::string const lists[] = {joinNames(entry.creates), joinNames(entry.replaces),
                                 joinNames(entry.removes), joinNames(entry.directories)};
    for (int i = 0; i < 4; ++i)
        insert.bindNoCopy(5 + i, lists[i].data(), static_cast<int>(lists[i].size()));
    insert.bind(9, entry.committed ? 1 : 0);
    insert.exec();
    return database.getLastInsertRowid();
}

void PackageManager::setJournalRemoves(std::int64_t id, std::vector<std::string> const& removes) const
{
    SQLite::Statement update(db(), "UPDATE journal SET removes = ? WHERE id = ?");
    std::string const joined = joinNames(removes);
    update.bindNoCopy(1, joined.data(), static_cast<int>(joined.size()));
    update.bind(2, id);
    update.exec();
}

void PackageManager::deleteJournal(std::int64_t id) const
{
    SQLite::Statement remove(db(), "DELETE FROM journal WHERE id = ?");
    remove.bind(1, id);
    remove.exec();
}

std::vector<JournalEntry> PackageManager::pendingOperations() const
{
    if (!connection && !databaseReadable())
        return {};
    SQLite::Statement query(db(), "SELECT id, package, version, operation, temp_dir, creates, replaces, "
                                  "removes, directories, committed FROM journal ORDER BY id");
    std::vector<JournalEntry> entries;
    while (query.executeStep()) {
        JournalEntry entry;
        entry.id = query.getColumn(0).getInt64();
        entry.package = query.getColumn(1).getString();
        entry.version = query.getColumn(2).getString();
        entry.operation = query.getColumn(3).getString();
        entry.tempDir = query.getColumn(4).getString();
        entry.creates = splitNames(query.getColumn(5));
        entry.replaces = splitNames(query.getColumn(6));
        entry.removes = splitNames(query.getColumn(7));
        entry.directories = splitNames(query.getColumn(8));
        entry.committed = query.getColumn(9).getInt() != 0;
        entries.push_back(std::move(entry));
    }
    return entries;
}

FileLock PackageManager::lockInstallRoot() const
{
    // Found the way the database is: below a prefix its directories are
    // looked up inside the root and made there, so a link planted for one of
    // them cannot put the lock file on the host.
    std::string const lockPath = *databaseOpenPath(true) + ".lock";
    if (FileLock::heldInThisProcess(lockPath))
        return {};
    return FileLock::acquire(lockPath, [&lockPath] {
        std::cerr << fmt::format("Waiting for another vdpk run to release the lock '{}'...", lockPath)
                  << std::endl;
    });
}

void PackageManager::recoverInterruptedOperations()
{
    // Unpack directories of runs killed before they wrote a journal entry
    // (while unpacking or reading the manifest) are recognised by their free
    // lock. The temporary directory is read once per manager, not for every
    // package of a set: it gathers two log files for every command run.
    if (!abandonedTempDirsRemoved) {
        TempDir::removeAbandoned("vdpk-");
        TempDir::removeAbandoned("vdpk-cli-");
        abandonedTempDirsRemoved = true;
    }
    for (JournalEntry const& entry : pendingOperations()) {
        // A removal is never undone: files it removed are gone for good, so
        // the only consistent outcome is the package without them.
        if (entry.committed || entry.operation == "removal") {
            complete(entry);
            std::cerr << fmt::format("Completed the interrupted {} of package {} {}", entry.operation,
                                     entry.package, entry.version)
                      << std::endl;
        } else {
            rollBack(entry);
            std::cerr << fmt::format("Rolled back the interrupted {} of package {} {}", entry.operation,
                                     entry.package, entry.version)
                      << std::endl;
        }
    }
}

void PackageManager::rollBack(JournalEntry const& entry)
{
    InstallRoot const root(installPrefix ? *installPrefix : std::string("/"), false);
    if (root.exists()) {
        auto const eachName = [&root](std::vector<std::string> const& names, auto const& action) {
            for (auto const& name : names) {
                FileDescriptor const parent = root.open(parentName(name), O_PATH | O_DIRECTORY);
                if (parent)
                    action(parent.get(), baseName(name));
            }
        };
        for (auto const* names : {&entry.replaces, &entry.creates})
            eachName(*names, [](int directory, std::string const& base) {
                (void)::unlinkat(directory, StagedNames::staged(base).c_str(), 0);
            });
        // Nothing was there when the operation began, under the lock.
        eachName(entry.creates, [](int directory, std::string const& base) {
            (void)::unlinkat(directory, base.c_str(), 0);
        });
        // Longest first: a directory after everything it holds.
        std::vector<std::string> directories = entry.directories;
        std::sort(directories.begin(), directories.end(), std::greater<>());
        eachName(directories, [](int directory, std::string const& base) {
            (void)::unlinkat(directory, base.c_str(), AT_REMOVEDIR);
        });
        // Last, once the new directories are gone: an old file may come back
        // where the new version had put a directory. The backup is a second
        // link to the old file, or the old file itself where no link could be
        // made; it stays where it cannot go back.
        eachName(entry.replaces, [](int directory, std::string const& base) {
            std::string const backup = StagedNames::backup(base);
            if (entryExists(directory, backup) &&
                ::renameat(directory, backup.c_str(), directory, base.c_str()) == 0)
                (void)::unlinkat(directory, backup.c_str(), 0); // both were links to the old file
        });
    }
    removeTempDir(entry.tempDir);
    deleteJournal(entry.id);
}

void PackageManager::complete(JournalEntry const& entry)
{
    if (entry.operation == "removal") {
        // Not committed yet: the package is still recorded, with the files
        // not yet removed. Its removal runs again, under this entry, and
        // deletes the entry with the package's rows.
        if (isInstall(entry.package))
            uninstallSingle(entry.package);
        else
            deleteJournal(entry.id);
        return;
    }

    InstallRoot const root(installPrefix ? *installPrefix : std::string("/"), false);
    if (root.exists()) {
        for (auto const* names : {&entry.replaces, &entry.creates}) {
            for (auto const& name : *names) {
                FileDescriptor const parent = root.open(parentName(name), O_PATH | O_DIRECTORY);
                if (!parent)
                    continue;
                std::string const base = baseName(name);
                (void)::unlinkat(parent.get(), StagedNames::backup(base).c_str(), 0);
                (void)::unlinkat(parent.get(), StagedNames::staged(base).c_str(), 0);
            }
        }
    }
    // What only the older version had, unless a package recorded it since.
    std::vector<std::string> removes;
    for (auto const& name : entry.removes)
        if (!hasOtherFileOwners(name, -1))
            removes.push_back(name);
    SQLite::Statement query(db(), "SELECT id FROM package WHERE name = ?");
    query.bind(1, entry.package);
    int const id = query.executeStep() ? query.getColumn(0).getInt() : -1;
    query.reset();
    removeInstalledFiles(removes, id);
    removeTempDir(entry.tempDir);
    deleteJournal(entry.id);
}

} // namespace Vandrel::Linux
