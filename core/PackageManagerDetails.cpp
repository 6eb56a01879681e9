// The detail tables beside the package, file and dependency tables: for each
// installed file what it was when installed (type, mode, owner, size, digest,
// link target), and for each package why and when it was installed. They are
// written and removed together with a package's rows, in the same
// transactions.
#include "core/PackageManager.hpp"

#include "core/InstallRoot.hpp"

#include <SQLiteCpp/Statement.h>
#include <fmt/format.h>

#include <ctime>

namespace Vandrel::Linux {

bool PackageManager::hasDetailTables() const
{
    SQLite::Statement query(db(), "SELECT count(*) FROM sqlite_master WHERE name IN ('file_detail', "
                                  "'package_detail', 'i_file_detail_by_package_name')");
    return query.executeStep() && query.getColumn(0).getInt() == 3;
}

void PackageManager::ensureDetailTables() const
{
    if (!hasDetailTables())
        executeSqlFromFile("details.sql");
}

std::optional<InstallReason> PackageManager::installReason(std::string const& name) const
{
    if (!isInstall(name))
        return std::nullopt;
    if (!hasDetailTables())
        return InstallReason::requested;
    SQLite::Statement query(db(),
                            "SELECT r.reason FROM package p JOIN package_detail r ON r.package_id = p.id "
                            "WHERE p.name = ?");
    query.bind(1, name);
    if (query.executeStep() && query.getColumn(0).getString() == "dependency")
        return InstallReason::dependency;
    return InstallReason::requested;
}

void PackageManager::recordDetails(InstallRoot& root, std::string const& packagePath,
                                   CopyDigest& digest) const
{
    std::string base;
    int const directory = root.parentDirectory(packagePath, base);
    copiedDetails.push_back(describeEntry(directory, base, digest, destinationPath(packagePath)));
}

void PackageManager::saveDetailsIntoDb(int packageId, std::vector<std::string> const& files,
                                       InstallReason reason)
{
    try {
        writeDetails(packageId, files, reason);
    } catch (SQLite::Exception const& e) {
        throwSqlError(
            fmt::format("Failed to save the details of package id {} into package database", packageId), e,
            {});
    }
}

void PackageManager::writeDetails(int packageId, std::vector<std::string> const& files, InstallReason reason)
{
    SQLite::Database& database = db();
    // Rows an older vdpk left behind when it removed a package whose id is
    // now given out again must not describe this one.
    removeDetailsFromDb(packageId);

    SQLite::Statement package(database,
                              "INSERT INTO package_detail(package_id, reason, installed_at) VALUES(?, ?, ?)");
    package.bind(1, packageId);
    package.bind(2, reason == InstallReason::dependency ? "dependency" : "requested");
    package.bind(3, static_cast<int64_t>(std::time(nullptr)));
    package.exec();

    // Only the very list copyFiles returned (moved, not copied, so its buffer
    // is the same) is described by copiedDetails; of any other list nothing is known.
    if (files.data() != copiedList || copiedDetails.size() != files.size())
        return;
    SQLite::Statement insert(database,
                             "INSERT INTO file_detail(package_id, name, type, mode, uid, gid, size, "
                             "sha256, link_target) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)");
    insert.bind(1, packageId);
    for (std::size_t i = 0; i < files.size(); ++i) {
        FileDetails const& details = copiedDetails[i];
        insert.bindNoCopy(2, files[i]);
        insert.bindNoCopy(3, typeName(details.type));
        insert.bind(4, static_cast<int>(details.mode));
        insert.bind(5, static_cast<int64_t>(details.uid));
        insert.bind(6, static_cast<int64_t>(details.gid));
        insert.bind(7, static_cast<int64_t>(details.size));
        if (details.sha256)
            insert.bind(8, toHex(*details.sha256));
        else
            insert.bind(8);
        if (details.type == FileType::symlink)
            insert.bindNoCopy(9, details.linkTarget);
        else
            insert.bind(9);
        insert.exec();
        insert.reset();
    }
    copiedDetails = {};
    copiedList = nullptr;
}

void PackageManager::removeDetailsFromDb(int packageId)
{
    SQLite::Database& database = db();
    database.exec(fmt::format("DELETE FROM file_detail WHERE package_id = {}", packageId));
    database.exec(fmt::format("DELETE FROM package_detail WHERE package_id = {}", packageId));
}

} // namespace Vandrel::Linux
