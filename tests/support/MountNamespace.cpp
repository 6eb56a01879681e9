#include "tests/support/MountNamespace.hpp"

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace Vandrel::Test {

namespace fs = std::filesystem;

namespace {

// The kernel writes a blank, tab, newline and backslash in a mount point as
// \ooo; every backslash in the field starts such an escape.
std::string unescapeMountInfo(std::string const& field)
{
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            out += static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

char const* const listMountsFunction = R"(set -u
list_mounts() {
  local base=$1 f p rel i
  while read -r -a f; do
    p=$(printf '%b' "${f[4]//\\/\\0}")
    [[ $p == "$base" || $p == "$base"/* ]] || continue
    rel=${p#"$base"}
    i=6
    while [[ ${f[i]} != - ]]; do i=$((i + 1)); done
    printf '%s %s %s\n' "${rel:-/}" "${f[i + 1]}" "${f[5]%%,*}"
  done </proc/self/mountinfo
}
)";

} // namespace

RunResult runInMountNamespace(std::string const& script, std::vector<std::string> const& args,
                              std::map<std::string, std::optional<std::string>> const& env)
{
    std::vector<std::string> argv = {"--kill-after=5",
                                     "120",
                                     "unshare",
                                     "--mount",
                                     "--propagation",
                                     "private",
                                     "bash",
                                     "-c",
                                     std::string(listMountsFunction) + script,
                                     "bash"};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProgram("/usr/bin/timeout", argv, {.env = env});
}

std::vector<std::string> mountPointsAtOrBelow(fs::path const& dir)
{
    std::string const base = fs::weakly_canonical(dir).string();
    std::vector<std::string> found;
    std::ifstream table("/proc/self/mountinfo");
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string field;
        int count = 0;
        while (count < 5 && fields >> field)
            ++count;
        if (count < 5)
            continue;
        std::string const mountPoint = unescapeMountInfo(field);
        if (mountPoint == base || mountPoint.starts_with(base + "/"))
            found.push_back(mountPoint);
    }
    return found;
}

MountScratchDir::MountScratchDir()
{
    std::string pattern = (fs::temp_directory_path() / "vd-build-fs-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot create a scratch directory");
    dir = pattern;
}

MountScratchDir::~MountScratchDir()
{
    if (!mountPointsAtOrBelow(dir).empty()) {
        std::cerr << "left " << dir << " in place: something is mounted below it\n";
        return;
    }
    RunResult const removal = runProgram("/bin/rm", {"-rf", "--one-file-system", "--", dir.string()});
    if (removal.status != 0)
        std::cerr << "cannot remove " << dir << ": " << removal.err;
}

} // namespace Vandrel::Test
