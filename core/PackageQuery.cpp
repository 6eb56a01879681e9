#include "core/PackageQuery.hpp"

#include "core/FileDescriptor.hpp"
#include "core/FileDetails.hpp"
#include "core/InstallRoot.hpp"
#include "core/PackageManager.hpp"

#include <SQLiteCpp/Statement.h>
#include <fmt/format.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace Vandrel::Linux {

namespace fs = std::filesystem;

namespace {

// Opens an existing database file read-only; a missing one is an answer of
// its own, never a reason to create it.
SQLite::Database openReadOnly(std::string const& path)
{
    if (::access(path.c_str(), F_OK) != 0)
        throw std::runtime_error(fmt::format("No package database at '{}'", path));
    // A writer's commit holds the file only briefly: wait for it rather than fail.
    return SQLite::Database(path, SQLite::OPEN_READONLY, 5000);
}

std::vector<std::string> firstColumn(SQLite::Statement& query)
{
    std::vector<std::string> values;
    while (query.executeStep())
        values.push_back(query.getColumn(0).getString());
    return values;
}

// The differences between what was recorded and what lies at name below root.
VerifyFinding check(InstallRoot const& root, std::string const& name, FileDetails const& recorded,
                    std::string const& path)
{
    VerifyFinding finding{VerifyFinding::Kind::changed, name, {}, {}};
    FileDescriptor const entry = root.exists() ? root.open(name, O_PATH | O_NOFOLLOW) : FileDescriptor();
    struct stat status {};
    if (!entry || ::fstat(entry.get(), &status) != 0) {
        int const error = root.exists() ? errno : ENOENT;
        if (error == ENOENT || error == ENOTDIR)
            finding.kind = VerifyFinding::Kind::missing;
        else
            finding = {VerifyFinding::Kind::unreadable, name, {}, std::strerror(error)};
        return finding;
    }
    FileType const type = S_ISREG(status.st_mode)   ? FileType::regular
                          : S_ISLNK(status.st_mode) ? FileType::symlink
                                                    : FileType::other;
    if (type != recorded.type) {
        finding.what.push_back("type");
        return finding;
    }
    if (type != FileType::symlink && (status.st_mode & 07777) != recorded.mode)
        finding.what.push_back("mode");
    if (status.st_uid != recorded.uid)
        finding.what.push_back("owner");
    if (status.st_gid != recorded.gid)
        finding.what.push_back("group");
    if (type == FileType::symlink) {
        if (linkTargetOf(entry.get(), path) != recorded.linkTarget)
            finding.what.push_back("target");
    } else if (type == FileType::regular) {
        if (status.st_size != recorded.size) {
            // Another size is other content: nothing to read for that.
            finding.what.push_back("size");
            finding.what.push_back("sha256");
        } else {
            FileDescriptor const in = root.open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
            struct stat opened {};
            if (!in || ::fstat(in.get(), &opened) != 0 || opened.st_ino != status.st_ino ||
                opened.st_dev != status.st_dev)
                return {VerifyFinding::Kind::unreadable, name, {}, std::strerror(in ? EAGAIN : errno)};
            try {
                if (sha256Of(in.get()) != recorded.sha256)
                    finding.what.push_back("sha256");
            } catch (std::system_error const& e) {
                return {VerifyFinding::Kind::unreadable, name, {}, std::strerror(e.code().value())};
            }
        }
    }
    return finding;
}

} // namespace

PackageQuery::PackageQuery(PackageManager const& manager)
    : installPrefix(manager.getInstallPrefix()), databasePath(manager.databaseFilePath()),
      database(openReadOnly(databasePath)), detailTables(hasDetails())
{
}

bool PackageQuery::hasDetails() const
{
    SQLite::Statement query(database, "SELECT count(*) FROM sqlite_master WHERE name IN ('file_detail', "
                                      "'package_detail')");
    return query.executeStep() && query.getColumn(0).getInt() == 2;
}

std::string PackageQuery::recordedName(fs::path const& path) const
{
    fs::path const absolute = fs::absolute(path).lexically_normal();
    fs::path const root = fs::path(installPrefix ? *installPrefix : "/").lexically_normal();
    fs::path relative = absolute.lexically_relative(root);
    if (relative.empty() || *relative.begin() == "..")
        throw std::runtime_error(
            fmt::format("'{}' is not below the install root '{}'", absolute.string(), root.string()));
    std::string name = relative.string();
    while (!name.empty() && name.back() == '/')
        name.pop_back();
    return name == "." ? std::string() : name;
}

std::string PackageQuery::pathOf(std::string const& name) const
{
    return InstallPaths::destination(installPrefix, name).string();
}

int PackageQuery::packageId(std::string const& package) const
{
    SQLite::Statement query(database, "SELECT id FROM package WHERE name = ?");
    query.bind(1, package);
    if (!query.executeStep())
        throw std::runtime_error("Package not found: " + package);
    return query.getColumn(0).getInt();
}

std::vector<std::string> PackageQuery::owners(std::string const& name) const
{
    SQLite::Statement query(database, "SELECT p.name FROM file f JOIN package p ON p.id = f.package_id "
                                      "WHERE f.name = ? ORDER BY p.name");
    query.bind(1, name);
    return firstColumn(query);
}

std::vector<std::string> PackageQuery::files(std::string const& package) const
{
    SQLite::Statement query(database, "SELECT name FROM file WHERE package_id = ? ORDER BY name");
    query.bind(1, packageId(package));
    return firstColumn(query);
}

PackageInfo PackageQuery::info(std::string const& package) const
{
    PackageInfo info;
    int const id = packageId(package);
    info.name = package;
    {
        SQLite::Statement query(database, "SELECT version FROM package WHERE id = ?");
        query.bind(1, id);
        if (query.executeStep())
            info.version = query.getColumn(0).getString();
    }
    {
        SQLite::Statement query(database,
                                "SELECT dependency_name FROM dependency WHERE package_id = ? ORDER BY id");
        query.bind(1, id);
        info.depends = firstColumn(query);
    }
    {
        SQLite::Statement query(database,
                                "SELECT DISTINCT p.name FROM dependency d JOIN package p ON p.id = "
                                "d.package_id WHERE d.dependency_name = ? AND p.id != ? ORDER BY p.name");
        query.bind(1, package);
        query.bind(2, id);
        info.requiredBy = firstColumn(query);
    }
    {
        SQLite::Statement query(database, "SELECT count(*) FROM file WHERE package_id = ?");
        query.bind(1, id);
        if (query.executeStep())
            info.fileCount = static_cast<std::size_t>(query.getColumn(0).getInt64());
    }
    if (!detailTables)
        return info;
    {
        SQLite::Statement query(database, "SELECT count(*), sum(CASE type WHEN 'file' THEN size ELSE 0 END) "
                                          "FROM file_detail WHERE package_id = ?");
        query.bind(1, id);
        if (query.executeStep() && static_cast<std::size_t>(query.getColumn(0).getInt64()) == info.fileCount)
            info.size = query.getColumn(1).isNull() ? 0 : query.getColumn(1).getInt64();
    }
    {
        SQLite::Statement query(database,
                                "SELECT reason, installed_at FROM package_detail WHERE package_id = ?");
        query.bind(1, id);
        if (query.executeStep()) {
            info.requested = query.getColumn(0).getString() != "dependency";
            if (!query.getColumn(1).isNull())
                info.installedAt = query.getColumn(1).getInt64();
        }
    }
    return info;
}

std::vector<std::string> PackageQuery::orphans() const
{
    if (!detailTables)
        return {}; // every package of an older database counts as requested
    SQLite::Statement query(database,
                            "SELECT p.name FROM package p JOIN package_detail r ON r.package_id = p.id "
                            "WHERE r.reason = 'dependency' AND NOT EXISTS (SELECT 1 FROM dependency d "
                            "JOIN package q ON q.id = d.package_id WHERE d.dependency_name = p.name "
                            "AND q.id != p.id) ORDER BY p.name");
    return firstColumn(query);
}

std::size_t PackageQuery::verify(std::optional<std::string> const& package,
                                 std::function<void(VerifyFinding const&)> const& report) const
{
    // One row per name: a shared file is compared with the record of its
    // newest owner, whose install put it there last.
    std::string const details =
        detailTables ? "d.type, d.mode, d.uid, d.gid, d.size, d.sha256, d.link_target FROM file f LEFT JOIN "
                       "file_detail d ON d.package_id = f.package_id AND d.name = f.name"
                     : "NULL, NULL, NULL, NULL, NULL, NULL, NULL FROM file f";
    std::string const newest = "f.package_id = (SELECT max(g.package_id) FROM file g WHERE g.name = f.name)";
    std::string const sql =
        package
            ? fmt::format("SELECT f.name, {} JOIN file s ON s.name = f.name AND s.package_id = ? WHERE {} "
                          "ORDER BY f.name",
                          details, newest)
            : fmt::format("SELECT f.name, {} WHERE {} ORDER BY f.name", details, newest);
    SQLite::Statement query(database, sql);
    if (package)
        query.bind(1, packageId(*package));

    InstallRoot const root(installPrefix ? *installPrefix : std::string("/"), false);
    std::size_t failures = 0;
    while (query.executeStep()) {
        std::string const name = query.getColumn(0).getString();
        std::optional<FileType> const type =
            query.getColumn(1).isNull() ? std::nullopt : typeFromName(query.getColumn(1).getString());
        if (!type) {
            report({VerifyFinding::Kind::unverifiable, name, {}, {}});
            continue;
        }
        FileDetails recorded;
        recorded.type = *type;
        recorded.mode = static_cast<mode_t>(query.getColumn(2).getInt());
        recorded.uid = static_cast<uid_t>(query.getColumn(3).getInt64());
        recorded.gid = static_cast<gid_t>(query.getColumn(4).getInt64());
        recorded.size = static_cast<off_t>(query.getColumn(5).getInt64());
        if (!query.getColumn(6).isNull())
            recorded.sha256 = digestFromHex(query.getColumn(6).getString());
        recorded.linkTarget = query.getColumn(7).getString();
        VerifyFinding const finding = check(root, name, recorded, pathOf(name));
        if (finding.kind == VerifyFinding::Kind::changed && finding.what.empty())
            continue;
        ++failures;
        report(finding);
    }
    return failures;
}

} // namespace Vandrel::Linux
