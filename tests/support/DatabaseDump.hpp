#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace Vandrel::Test {

// Everything an SQLite database file holds, one line per row, for comparing
// two databases: the rows of sqlite_master (type, name, table, root page and
// SQL text) and then every row of every table in rowid order, each value as
// its storage class and its bytes in hex, so that a text and a blob, or 7 and
// '7', never compare equal.
std::vector<std::string> databaseDump(std::filesystem::path const& database);

} // namespace Vandrel::Test
