#include "core/PackageManager.hpp"

#include "core/FileDescriptor.hpp"
#include "core/InstallRoot.hpp"
#include "core/ScopeGuard.hpp"
#include "core/Shell.hpp"
#include "core/ShellQuote.hpp"
#include "core/StagedNames.hpp"
#include "core/TarDecompress.hpp"
#include "core/TempDir.hpp"
#include "core/VersionUtils.hpp"
#include "core/WorkingDirectoryGuard.hpp"

#include <SQLiteCpp/Transaction.h>
#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <iomanip>
#include <iostream>
#include <stdexcept>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <unordered_set>

namespace Vandrel::Linux {

namespace fs = std::filesystem;

namespace {

// A single-quoted SQL string literal; embedded quotes are doubled so the text
// is stored verbatim and can never end the literal early.
std::string sqlQuote(std::string_view text)
{
    std::string quoted;
    quoted.reserve(text.size() + 2);
    quoted += '\'';
    for (char c : text) {
        if (c == '\'')
            quoted += '\'';
        quoted += c;
    }
    quoted += '\'';
    return quoted;
}

// A recorded name that stays strictly below the install root: relative, and
// without empty, "." or ".." components. The installer records nothing else;
// anything else in the database is left alone rather than followed out of the
// root.
bool staysBelowRoot(std::string const& name)
{
    if (name.empty() || name.front() == '/')
        return false;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos)
            end = name.size();
        std::string_view const component(name.data() + start, end - start);
        if (component.empty() || component == "." || component == "..")
            return false;
        start = end + 1;
    }
    return true;
}

std::string parentOf(std::string const& name)
{
    size_t const slash = name.rfind('/');
    return slash == std::string::npos ? std::string() : name.substr(0, slash);
}

// Whether a directory below an open one holds nothing.
bool isEmptyDirectory(int parent, std::string const& base)
{
    FileDescriptor fd(
        ::openat(parent, base.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    DIR* const directory = fd ? ::fdopendir(fd.get()) : nullptr;
    if (directory == nullptr)
        return false;
    fd.release(); // the directory stream owns it now
    ScopeGuard closeDirectory([directory] { ::closedir(directory); });
    while (dirent const* entry = ::readdir(directory)) {
        std::string_view const name = entry->d_name;
        if (name != "." && name != "..")
            return false;
    }
    return true;
}

JournalEntry removalEntry(std::string const& name, std::string const& version,
                          std::vector<std::string> const& removes)
{
    JournalEntry entry;
    entry.package = name;
    entry.version = version;
    entry.operation = "removal";
    entry.removes = removes;
    return entry;
}

} // namespace

void PackageManager::install(std::string const& archivePath, InstallReason reason)
{
    FileLock const lock = lockInstallRoot();
    recoverInterruptedOperations();
    std::string const archive = fs::absolute(archivePath).string();
    std::cerr << "Installing package " << std::quoted(archive) << std::endl;

    TempDir tempDir("vdpk-");
    fs::path const unpackDir = fs::absolute(tempDir.path());
    std::cerr << "tmp dir: " << std::quoted(unpackDir.string()) << std::endl;
    // Declared after the TempDir: the directory is changed back before it is removed.
    WorkingDirectoryGuard inUnpackDir(unpackDir);

    // Decompression is the floor of an install: lbzip2, when installed, spreads
    // it over every core.
    std::string const command =
        "tar -xf " + shellQuote(localArchiveName(archive)) + tarDecompressOption(archive);
    std::cerr << command << std::endl;
    ShellResult const result = [&] {
        Shell shell(command, makeShellConfig());
        return shell.result().get();
    }();
    std::cerr << result << std::endl;
    // A damaged or truncated archive may still have unpacked a manifest and
    // part of the tree; never install or record such a half.
    if (result.exitCode != 0)
        throw std::runtime_error(fmt::format("Failed to unpack package '{}': tar exited with status {}",
                                             archive, result.exitCode));

    Package package;
    package.load(unpackDir.string() + "/package.yml");
    StagedNames::stopPoint("after-unpack");

    if (auto const installed = sameOrNewerInstalledVersion(package)) {
        std::cerr << "Skipping package " << package.name << " " << package.version
                  << " because installed version " << *installed << " is the same or newer" << std::endl;
        if (reason == InstallReason::requested && installReason(package.name) == InstallReason::dependency)
            db().exec(fmt::format("UPDATE package_detail SET reason = 'requested' WHERE package_id = {}",
                                  findPackageId(package.name)));
        inUnpackDir.restore();
        return;
    }
    // A package once asked for by name stays so across an upgrade.
    if (installedVersion(package.name) && installReason(package.name) == InstallReason::requested)
        reason = InstallReason::requested;
    installStaged(package, unpackDir, reason);
    inUnpackDir.restore();
}

std::optional<std::string> PackageManager::sameOrNewerInstalledVersion(Package const& package) const
{
    std::optional<std::string> installed = installedVersion(package.name);
    if (!installed || VersionUtils::compareVersions(*installed, package.version) < 0)
        return std::nullopt;
    return installed;
}

std::vector<std::string> PackageManager::packagesToUninstall(std::string const& name) const
{
    findPackageId(name);
    std::vector<std::string> result;
    std::vector<std::string> visited;
    appendPackagesToUninstall(name, result, visited);
    return result;
}

void PackageManager::appendPackagesToUninstall(std::string const& name, std::vector<std::string>& result,
                                               std::vector<std::string>& visited) const
{
    if (std::find(visited.begin(), visited.end(), name) != visited.end())
        return;
    visited.push_back(name);
    std::vector<std::string> dependents = findDirectDependents(name);
    std::sort(dependents.begin(), dependents.end());
    for (auto const& dependent : dependents)
        appendPackagesToUninstall(dependent, result, visited);
    result.push_back(name);
}

void PackageManager::uninstall(std::string const& name)
{
    FileLock const lock = lockInstallRoot();
    recoverInterruptedOperations();
    std::vector<std::string> const names = packagesToUninstall(name);
    if (names.size() > 1) {
        // The whole confirmed list is journaled at once, so a run killed
        // half way through it is finished for all of them, in this order.
        // What each one removes is decided when its turn comes.
        SQLite::Transaction transaction(db());
        for (auto const& each : names)
            writeJournal(removalEntry(each, installedVersion(each).value_or(""), {}));
        transaction.commit();
    }
    for (auto const& each : names)
        uninstallSingle(each);
}

void PackageManager::uninstallSingle(std::string const& name)
{
    int const id = findPackageId(name);
    std::vector<std::string> toRemove;
    {
        // One read transaction over the lookups: outside a transaction SQLite
        // takes and drops its file lock for every single query.
        SQLite::Transaction lookups(db());
        std::unordered_set<std::string> const shared = filesWithOtherOwners(id);
        for (auto& file : findPackageFiles(name))
            if (staysBelowRoot(file) && shared.count(file) == 0)
                toRemove.push_back(std::move(file));
        lookups.commit();
    }

    std::int64_t journalId = 0;
    {
        SQLite::Statement journaled(db(),
                                    "SELECT id FROM journal WHERE package = ? AND operation = 'removal'");
        journaled.bind(1, name);
        if (journaled.executeStep())
            journalId = journaled.getColumn(0).getInt64();
    }
    if (journalId != 0) {
        setJournalRemoves(journalId, toRemove);
    } else {
        journalId = writeJournal(removalEntry(name, installedVersion(name).value_or(""), toRemove));
    }
    StagedNames::stopPoint("after-journal");

    std::size_t const halfWay = toRemove.size() / 2;
    removeInstalledFiles(toRemove, id, [halfWay](std::size_t removed) {
        if (removed == halfWay)
            StagedNames::stopPoint("half-way");
    });
    StagedNames::stopPoint("before-commit");

    SQLite::Transaction transaction(db());
    removeRows(id);
    deleteJournal(journalId);
    transaction.commit();
    StagedNames::stopPoint("after-commit");
}

void PackageManager::removeInstalledFiles(std::vector<std::string> const& files, int packageId,
                                          std::function<void(std::size_t)> const& afterEach)
{
    // Every name is resolved below the root as if it were "/": a symlink in
    // the tree never leads a removal outside it.
    InstallRoot const root(installPrefix ? *installPrefix : std::string("/"), false);

    // Candidate directories as names relative to the install root.
    std::vector<std::string> candidates;
    // Files of one directory come in runs: open each directory once and remove
    // its files relative to it, instead of resolving every full path again.
    std::optional<std::string> openParent;
    FileDescriptor parentDir;
    bool ancestorsAdded = false;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (afterEach)
            afterEach(i);
        std::string const& file = files[i];
        if (!root.exists())
            break; // nothing below a missing root
        if (!staysBelowRoot(file))
            continue;
        std::string const parent = parentOf(file);
        if (parent != openParent) {
            openParent = parent;
            parentDir = root.open(parent, O_PATH | O_DIRECTORY);
            if (!parentDir && errno == EACCES)
                throw fs::filesystem_error("cannot remove", destinationPath(file),
                                           std::error_code(EACCES, std::generic_category()));
            ancestorsAdded = false;
        }
        if (!parentDir)
            continue; // no directory there: the file is gone already

        // A directory refuses unlink (EISDIR) and becomes a candidate instead;
        // anything else, a symlink included, is removed as itself.
        std::string const baseName = file.substr(parent.empty() ? 0 : parent.size() + 1);
        if (::unlinkat(parentDir.get(), baseName.c_str(), 0) != 0) {
            int const error = errno;
            if (error == ENOENT)
                continue;
            if (error == EISDIR) {
                candidates.push_back(file);
                continue;
            }
            throw fs::filesystem_error("cannot remove", destinationPath(file),
                                       std::error_code(error, std::generic_category()));
        }
        if (!ancestorsAdded) {
            ancestorsAdded = true;
            for (std::string dir = parent; !dir.empty(); dir = parentOf(dir))
                candidates.push_back(dir);
        }
    }
    parentDir.reset();

    // Descending order puts every directory after the longer paths below it.
    std::sort(candidates.begin(), candidates.end(), std::greater<>());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    for (auto const& candidate : candidates) {
        if (hasOtherFileOwners(candidate, packageId))
            continue;
        std::string const parent = parentOf(candidate);
        if (parent != openParent || !parentDir) {
            openParent = parent;
            parentDir = root.open(parent, O_PATH | O_DIRECTORY);
        }
        if (!parentDir)
            continue;
        std::string const baseName = candidate.substr(parent.empty() ? 0 : parent.size() + 1);
        // Removes only an empty real directory; a symlink to one stays.
        if (::unlinkat(parentDir.get(), baseName.c_str(), AT_REMOVEDIR) == 0)
            continue;
        int const error = errno;
        if (error == ENOTEMPTY || error == EEXIST || error == ENOENT || error == ENOTDIR || error == EBUSY)
            continue;
        if (isEmptyDirectory(parentDir.get(), baseName))
            throw fs::filesystem_error("cannot remove directory", destinationPath(candidate),
                                       std::error_code(error, std::generic_category()));
    }
}

namespace {

// The statement texts that the rows below stand for, with every value as a
// quoted literal. The rows are written through prepared statements; these
// texts only name a failing row in its error message.
std::string packageInsertText(Package const& package)
{
    return "insert into package(name, version) values(" + sqlQuote(package.name) + ", " +
           sqlQuote(package.version) + ")";
}

std::string fileInsertText(int packageId, std::string const& file)
{
    return fmt::format("insert into file(package_id, name) values({}, {})", packageId, sqlQuote(file));
}

std::string dependencyInsertText(int packageId, std::string const& dependency)
{
    return fmt::format("insert into dependency(package_id, dependency_name) values({}, {})", packageId,
                       sqlQuote(dependency));
}

} // namespace

int PackageManager::savePackageIntoDb(Package const& package)
{
    SQLite::Database& database = db();
    try {
        SQLite::Statement insert(database, "insert into package(name, version) values(?, ?)");
        insert.bindNoCopy(1, package.name);
        insert.bindNoCopy(2, package.version);
        insert.exec();
    } catch (SQLite::Exception const& e) {
        throwSqlError(fmt::format("Failed to save package '{}' into package database", package.name), e,
                      packageInsertText(package));
    }
    return static_cast<int>(database.getLastInsertRowid());
}

void PackageManager::saveFilesIntoDb(int packageId, std::vector<std::string> const& files)
{
    SQLite::Database& database = db();
    // One statement, prepared once, for every row: parsing an insert text per
    // file costs more than the insert itself.
    std::optional<SQLite::Statement> insert;
    for (auto const& file : files) {
        try {
            if (!insert) {
                insert.emplace(database, "insert into file(package_id, name) values(?, ?)");
                insert->bind(1, packageId);
            }
            insert->bindNoCopy(2, file);
            insert->exec();
            insert->reset();
        } catch (SQLite::Exception const& e) {
            throwSqlError(fmt::format("Failed to save file '{}' for package id {} into package database",
                                      file, packageId),
                          e, fileInsertText(packageId, file));
        }
    }
}

void PackageManager::saveDependenciesIntoDb(int packageId, std::vector<std::string> const& dependencies)
{
    SQLite::Database& database = db();
    std::optional<SQLite::Statement> insert;
    for (auto const& dependency : dependencies) {
        try {
            if (!insert) {
                insert.emplace(database, "insert into dependency(package_id, dependency_name) values(?, ?)");
                insert->bind(1, packageId);
            }
            insert->bindNoCopy(2, dependency);
            insert->exec();
            insert->reset();
        } catch (SQLite::Exception const& e) {
            throwSqlError(
                fmt::format("Failed to save dependency '{}' for package id {} into package database",
                            dependency, packageId),
                e, dependencyInsertText(packageId, dependency));
        }
    }
}

void PackageManager::saveIntoDb(Package const& package, std::vector<std::string> const& files,
                                InstallReason reason)
{
    SQLite::Transaction transaction(db());
    int const id = savePackageIntoDb(package);
    saveFilesIntoDb(id, files);
    saveDependenciesIntoDb(id, package.depends);
    saveDetailsIntoDb(id, files, reason);
    transaction.commit();
}

void PackageManager::removePackageFromDb(int packageId)
{
    SQLite::Transaction transaction(db());
    removeRows(packageId);
    transaction.commit();
}

void PackageManager::removeRows(int packageId)
{
    SQLite::Database& database = db();
    database.exec(fmt::format("DELETE FROM file WHERE package_id = {}", packageId));
    database.exec(fmt::format("DELETE FROM dependency WHERE package_id = {}", packageId));
    removeDetailsFromDb(packageId);
    database.exec(fmt::format("DELETE FROM package WHERE id = {}", packageId));
}

} // namespace Vandrel::Linux
