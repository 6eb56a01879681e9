#include "tests/support/DatabaseDump.hpp"

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>
#include <fmt/format.h>
#include <sqlite3.h>

namespace Vandrel::Test {

namespace {

std::string describe(SQLite::Column const& column)
{
    switch (column.getType()) {
    case SQLITE_NULL:
        return "null";
    case SQLITE_INTEGER:
        return fmt::format("integer:{}", column.getInt64());
    case SQLITE_FLOAT:
        return fmt::format("real:{}", column.getDouble());
    default: {
        std::string text = column.getType() == SQLITE_TEXT ? "text:" : "blob:";
        auto const* bytes = static_cast<unsigned char const*>(column.getBlob());
        for (int i = 0; i < column.getBytes(); ++i)
            text += fmt::format("{:02x}", bytes[i]);
        return text;
    }
    }
}

} // namespace

std::vector<std::string> databaseDump(std::filesystem::path const& database)
{
    SQLite::Database db(database.string(), SQLite::OPEN_READONLY);
    std::vector<std::string> lines;
    std::vector<std::string> tables;
    SQLite::Statement master(db,
                             "SELECT type, name, tbl_name, rootpage, sql FROM sqlite_master ORDER BY rowid");
    while (master.executeStep()) {
        std::string line = "sqlite_master";
        for (int i = 0; i < 5; ++i)
            line += " " + describe(master.getColumn(i));
        lines.push_back(line);
        if (master.getColumn(0).getString() == "table")
            tables.push_back(master.getColumn(1).getString());
    }
    for (auto const& table : tables) {
        SQLite::Statement rows(db, fmt::format("SELECT rowid, * FROM \"{}\" ORDER BY rowid", table));
        while (rows.executeStep()) {
            std::string line = table;
            for (int i = 0; i < rows.getColumnCount(); ++i)
                line += " " + describe(rows.getColumn(i));
            lines.push_back(line);
        }
    }
    return lines;
}

} // namespace Vandrel::Test
