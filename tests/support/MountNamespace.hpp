#pragma once

#include "tests/support/Run.hpp"

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace Vandrel::Test {

// Runs a bash script as root in a private mount namespace of its own
// (unshare --mount --propagation private), under a time limit. Every mount
// the script makes disappears with the namespace, also when the script or the
// test dies half way. Paths reach the script as positional arguments and
// environment variables, never spliced into its text.
//
// The script starts with `set -u` and these shell functions:
//   list_mounts DIR   one line per mount at or below DIR, in mount order:
//                     the path relative to DIR ("/" for DIR itself), the
//                     filesystem type and "rw" or "ro".
RunResult runInMountNamespace(std::string const& script, std::vector<std::string> const& args = {},
                              std::map<std::string, std::optional<std::string>> const& env = {});

// Mount points at or below dir in the test process's own mount namespace.
std::vector<std::string> mountPointsAtOrBelow(std::filesystem::path const& dir);

// A scratch directory for tests that mount and delete as root. It is only
// removed when nothing is mounted at or below it in the test's namespace and
// the removal never crosses into another filesystem; otherwise it is left
// behind with a message.
class MountScratchDir {
  public:
    MountScratchDir();
    ~MountScratchDir();
    MountScratchDir(MountScratchDir const&) = delete;
    MountScratchDir& operator=(MountScratchDir const&) = delete;

    std::filesystem::path const& path() const { return dir; }

  private:
    std::filesystem::path dir;
};

} // namespace Vandrel::Test
