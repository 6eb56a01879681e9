#include "core/PackageManager.hpp"

#include "core/FileDescriptor.hpp"
#include "core/InstallRoot.hpp"

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>
#include <SQLiteCpp/Transaction.h>
#include <fmt/format.h>
#include <sqlite3.h>

#include <fcntl.h>
#include <iostream>
#include <stdexcept>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace Vandrel::Linux {

namespace fs = std::filesystem;

namespace {

// Drops and recreates an index unless SQLite already holds it with exactly
// that definition (SQLite records a statement without its "IF NOT EXISTS").
void rebuildIndexUnlessCurrent(SQLite::Database& database, char const* name, char const* recordedDefinition,
                               char const* dropStatement, char const* createStatement)
{
    SQLite::Statement current(database, "SELECT sql FROM sqlite_master WHERE type = 'index' AND name = ?");
    current.bind(1, name);
    if (current.executeStep() && current.getColumn(0).getString() == recordedDefinition)
        return;
    current.reset();
    database.exec(dropStatement);
    database.exec(createStatement);
}

// Column 0 of every row a query yields, in order.
std::vector<std::string> firstColumn(SQLite::Statement& query)
{
    std::vector<std::string> values;
    while (query.executeStep())
        values.push_back(query.getColumn(0).getString());
    return values;
}

// The database file of an absolute setting below an install prefix, with its
// directories looked up inside the prefix the way the installer looks up
// files: a link planted for one of them resolves inside the root and can
// never move the database onto the host. With create the directories are
// made; without it nothing is made and an absent directory gives nothing.
std::optional<std::string> databaseInsideRoot(std::string const& prefix, fs::path const& setting, bool create)
{
    InstallRoot root(prefix, create);
    if (!root.exists())
        return std::nullopt;
    fs::path const name = setting.relative_path().lexically_normal();
    std::string const parent = name.parent_path().string();
    std::string const base = name.filename().string();
    FileDescriptor const directory =
        create ? root.makeDirectories(parent) : root.open(parent, O_PATH | O_DIRECTORY);
    if (!directory)
        return std::nullopt;
    std::string const path =
        parent.empty() ? root.pathOf(base) : root.pathOf(root.nameOf(directory.get()) + "/" + base);
    struct stat status {};
    if (::fstatat(directory.get(), base.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(status.st_mode))
        throw std::runtime_error(
            fmt::format("Refusing to open the package database through a symbolic link: '{}'", path));
    return path;
}

} // namespace

PackageManager::PackageManager(PkgConfig const& config, bool initDatabase)
    : config(config), initDatabase(initDatabase)
{
    std::error_code ec;
    startDir = fs::current_path(ec);
    // Pin a relative shareDir to the starting directory; install() works in a
    // temporary directory and still reads the SQL files from here.
    if (!ec && !this->config.shareDir.empty() && fs::path(this->config.shareDir).is_relative())
        this->config.shareDir = (startDir / this->config.shareDir).string();
}

PackageManager::~PackageManager()
{
    closeConnection();
}

void PackageManager::closeConnection() const
{
    // Statements must be finalized before their connection closes.
    otherOwnersQuery.reset();
    connection.reset();
}

std::string PackageManager::databaseFilePath() const
{
    fs::path const setting(config.database);
    if (installPrefix && setting.has_root_directory())
        return (fs::path(*installPrefix) / setting.relative_path()).string();
    // A relative setting is not moved under the prefix, but it does stay
    // anchored to where the program started.
    if (setting.is_relative() && !setting.empty() && !startDir.empty())
        return (startDir / setting).string();
    return config.database;
}

std::optional<std::string> PackageManager::databaseOpenPath(bool create) const
{
    fs::path const setting(config.database);
    if (installPrefix && setting.has_root_directory())
        return databaseInsideRoot(*installPrefix, setting, create);
    std::string path = databaseFilePath();
    fs::path const parent = fs::path(path).parent_path();
    if (create && !parent.empty())
        fs::create_directories(parent);
    return path;
}

bool PackageManager::databaseReadable() const
{
    auto const path = databaseOpenPath(false);
    if (!path)
        return false;
    int fd = ::open(path->c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

SQLite::Database& PackageManager::db() const
{
    if (connection)
        return *connection;

    bool const needNew = initDatabase || !databaseReadable();
    std::string const path = *databaseOpenPath(true);

    otherOwnersQuery.reset();
    // The file itself is never opened through a link either.
    connection = std::make_unique<SQLite::Database>(
        path, SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE | SQLite::OPEN_NOFOLLOW, 0);
    initDatabase = false;

    if (needNew)
        initializeDatabaseSchema();
    else
        ensureDatabaseSchema();
    return *connection;
}

void PackageManager::setInstallPrefix(std::string const& prefix)
{
    installPrefix = fs::absolute(prefix).string();
    closeConnection();
}

void PackageManager::createNewDatabase() const
{
    initializeDatabaseSchema();
}

void PackageManager::initializeDatabaseSchema() const
{
    std::cerr << "Creating new database..." << std::endl;
    // One transaction for all four files: one commit instead of one per
    // statement, and a failing file leaves the database as it was instead of
    // half dropped or half created.
    SQLite::Transaction transaction(db());
    for (char const* file :
         {"drop-everything.sql", "package.sql", "file.sql", "dependency.sql", "details.sql", "journal.sql"})
        executeSqlFromFile(file);
    transaction.commit();
}

void PackageManager::executeSqlFromFile(std::string const& fileName) const
{
    std::string const relativeName = "vdpk/sql/" + fileName;
    std::string const sql = config.readSharedFile(relativeName);
    SQLite::Database& database = db();
    try {
        database.exec(sql);
    } catch (SQLite::Exception const& e) {
        throwSqlError(fmt::format("Failed to execute SQL file '{}'", relativeName), e, sql);
    }
}

void PackageManager::ensureDatabaseSchema() const
{
    SQLite::Database& database = db();
    bool anyColumn = false;
    bool hasVersion = false;
    {
        SQLite::Statement pragma(database, "PRAGMA table_info(package)");
        while (pragma.executeStep()) {
            anyColumn = true;
            if (pragma.getColumn(1).getString() == "version")
                hasVersion = true;
        }
    }
    if (!anyColumn) {
        initializeDatabaseSchema();
        return;
    }

    if (!hasVersion)
        database.exec("ALTER TABLE package ADD COLUMN version TEXT NOT NULL DEFAULT '0'");
    // These two indexes are rebuilt to their exact definitions. One that already
    // has that definition would be rebuilt to the same thing, at a cost that
    // grows with every file recorded, so it is kept.
    rebuildIndexUnlessCurrent(database, "i_package", "CREATE UNIQUE INDEX i_package ON package(name)",
                              "DROP INDEX IF EXISTS i_package",
                              "CREATE UNIQUE INDEX IF NOT EXISTS i_package ON package(name)");
    rebuildIndexUnlessCurrent(database, "i_file_by_name", "CREATE INDEX i_file_by_name ON file(name)",
                              "DROP INDEX IF EXISTS i_file_by_name",
                              "CREATE INDEX IF NOT EXISTS i_file_by_name ON file(name)");
    for (char const* statement : {
             "CREATE UNIQUE INDEX IF NOT EXISTS i_file_by_package_name ON file(package_id, name)",
             "CREATE INDEX IF NOT EXISTS i_file_by_package ON file(package_id)",
             "CREATE TABLE IF NOT EXISTS dependency (id integer primary key, dependency_name text not null, "
             "package_id integer references package not null)",
             "CREATE UNIQUE INDEX IF NOT EXISTS i_dependency_by_package_name ON dependency(package_id, "
             "dependency_name)",
             "CREATE INDEX IF NOT EXISTS i_dependency_by_name ON dependency(dependency_name)",
         })
        database.exec(statement);
    ensureDetailTables();
    ensureJournalTable();
}

void PackageManager::throwSqlError(std::string const& context, SQLite::Exception const& error,
                                   std::string_view sql) const
{
    int const primary = error.getErrorCode() & 0xff;
    std::string message =
        fmt::format("{}\ndatabase: '{}'\nsqlite error code: {}\nsqlite extended error code: "
                    "{}\nsqlite error string: {}\nsqlite message: {}",
                    context, databaseFilePath(), primary, error.getExtendedErrorCode(),
                    sqlite3_errstr(primary), error.what());
    if (!sql.empty())
        message += fmt::format("\nsql: {}", sql);
    throw std::runtime_error(message);
}

std::vector<std::string> PackageManager::installedPackages() const
{
    if (!connection && !databaseReadable())
        return {};
    SQLite::Statement query(db(), "SELECT name FROM package ORDER BY name");
    return firstColumn(query);
}

std::optional<std::string> PackageManager::installedVersion(std::string const& name) const
{
    if (!connection && !databaseReadable())
        return std::nullopt;
    SQLite::Statement query(db(), "SELECT version FROM package WHERE name = ? LIMIT 1");
    query.bind(1, name);
    if (!query.executeStep())
        return std::nullopt;
    return query.getColumn(0).getString();
}

bool PackageManager::isInstall(std::string const& name) const
{
    return installedVersion(name).has_value();
}

int PackageManager::findPackageId(std::string const& name) const
{
    SQLite::Statement query(db(), "SELECT id FROM package WHERE name = ?");
    query.bind(1, name);
    if (!query.executeStep())
        throw std::runtime_error("Package not found: " + name);
    return query.getColumn(0).getInt();
}

std::vector<std::string> PackageManager::findPackageFiles(std::string const& name) const
{
    SQLite::Statement query(
        db(), "SELECT f.name FROM file f JOIN package p ON f.package_id = p.id WHERE p.name = ?");
    query.bind(1, name);
    return firstColumn(query);
}

std::vector<std::string> PackageManager::findDirectDependents(std::string const& name) const
{
    SQLite::Statement query(
        db(),
        "SELECT p.name FROM dependency d JOIN package p ON d.package_id = p.id WHERE d.dependency_name = ?");
    query.bind(1, name);
    return firstColumn(query);
}

bool PackageManager::hasOtherFileOwners(std::string const& fileName, int packageId) const
{
    SQLite::Database& database = db();
    if (!otherOwnersQuery)
        otherOwnersQuery = std::make_unique<SQLite::Statement>(
            database, "SELECT 1 FROM file WHERE name = ? AND package_id != ? LIMIT 1");
    SQLite::Statement& query = *otherOwnersQuery;
    query.reset();
    query.bindNoCopy(1, fileName);
    query.bind(2, packageId);
    bool const found = query.executeStep();
    // Reset at once: an unfinished statement would keep a read transaction open.
    query.reset();
    return found;
}

std::unordered_set<std::string> PackageManager::filesWithOtherOwners(int packageId) const
{
    SQLite::Statement query(db(), "SELECT f.name FROM file f WHERE f.package_id = ?1 AND EXISTS "
                                  "(SELECT 1 FROM file g WHERE g.name = f.name AND g.package_id != ?1)");
    query.bind(1, packageId);
    std::unordered_set<std::string> names;
    while (query.executeStep())
        names.insert(query.getColumn(0).getString());
    return names;
}

} // namespace Vandrel::Linux
