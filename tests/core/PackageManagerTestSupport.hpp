#pragma once

// Shared by the PackageManager tests: a sandbox with its own TMPDIR, a
// configuration pointing into it, and direct reads of the database file.

#include "core/Package.hpp"
#include "core/PkgConfig.hpp"
#include "core/WorkingDirectoryGuard.hpp"

#include "tests/support/Paths.hpp"
#include "tests/support/Sandbox.hpp"
#include "tests/support/ScopedEnv.hpp"
#include "tests/support/Tree.hpp"

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace Vandrel::Linux::PmTest {

namespace fs = std::filesystem;
using Vandrel::Test::snapshotTree;
using Vandrel::Test::treeDifference;
using Vandrel::Test::treePaths;

// A manifest of the "linux" OS for tests that record packages directly.
inline Package makePackage(std::string name, std::string version, std::vector<std::string> depends = {})
{
    Package p;
    p.os = "linux";
    p.name = std::move(name);
    p.version = std::move(version);
    p.depends = std::move(depends);
    return p;
}

// One column of every row of a query against the database file.
inline std::vector<std::string> queryColumn(fs::path const& database, std::string const& sql)
{
    SQLite::Database db(database.string(), SQLite::OPEN_READONLY);
    SQLite::Statement query(db, sql);
    std::vector<std::string> values;
    while (query.executeStep())
        values.push_back(query.getColumn(0).getString());
    return values;
}

inline std::vector<std::string> tablesAndIndexes(fs::path const& database)
{
    return queryColumn(database,
                       "SELECT name FROM sqlite_master WHERE type IN ('table', 'index') AND name NOT "
                       "LIKE 'sqlite_%' ORDER BY name");
}

class PackageManagerTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        config.database = sandbox.databasePath().string();
        config.shareDir = Vandrel::Test::shareDir().string();
        config.pkgRepoUrl = "http://127.0.0.1:9/";
        config.pkgRepoCachePath = sandbox.cacheDir().string();
    }

    fs::path tmpDir() const { return tmp.path(); }
    fs::path prefix() const { return sandbox.prefix(); }
    // The database under the prefix, where the absolute setting lands.
    fs::path prefixedDatabase() const { return prefix() / sandbox.databasePath().relative_path(); }

    Vandrel::Test::Sandbox sandbox;
    Vandrel::Test::SandboxTmpDir tmp{sandbox};
    PkgConfig config;
};

} // namespace Vandrel::Linux::PmTest
