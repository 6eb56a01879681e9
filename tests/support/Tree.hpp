#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace Vandrel::Test {

// Every entry below a directory, keyed by its path relative to it: type,
// mode, owner, link count and the content of a file or the target of a link.
// Equal snapshots mean nothing below the directory changed.
using TreeSnapshot = std::map<std::string, std::string>;
TreeSnapshot snapshotTree(std::filesystem::path const& dir);

// The paths of a snapshot, sorted: what lies below a directory (nothing when
// it is missing).
std::vector<std::string> treePaths(std::filesystem::path const& dir);

// One line per path that differs ("added: P", "removed: P", "changed: P"
// with both descriptions); empty when the snapshots are equal. Use as
// EXPECT_EQ(treeDifference(before, snapshotTree(dir)), "").
std::string treeDifference(TreeSnapshot const& before, TreeSnapshot const& after);

} // namespace Vandrel::Test
