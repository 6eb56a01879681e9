#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace Vandrel::Linux {

// A path as the kernel mount table writes it: resolved as far as it exists,
// with tab, newline, space and backslash as three-digit octal escapes.
std::string escapeMountInfoPath(std::filesystem::path const& path);

// The build filesystem's lifecycle and its safety checks: whether its
// runtime filesystems are mounted, read from the kernel's mount table; the
// four commands that prepare, mount, unmount and clean it; and the
// directories its root must never be, from one list,
// "vd-build/dangerous-paths" in the share directory, which those commands
// read as well.
class BuildFilesystem {
  public:
    // --- mounts ---

    static constexpr char const* mountTablePath = "/proc/self/mountinfo";
    // Whether the path is a mount point in the table, compared in the table's
    // escaped form, so a name with a newline can never match another one.
    static bool isMountPoint(std::filesystem::path const& path,
                             std::filesystem::path const& mountTable = mountTablePath);
    // Whether dev (or a dev holding its own device nodes), dev/pts, proc, sys
    // and run are all there below root.
    static bool hasMountedRuntimeFilesystems(std::filesystem::path const& root,
                                             std::filesystem::path const& mountTable = mountTablePath);

    // --- the four commands ---

    // Runs toolBinDir/name with the arguments, each quoted as one word; fails
    // with "NAME failed with exit code N". With verbose, the command line and
    // its output are echoed.
    static void runCommand(std::filesystem::path const& toolBinDir, char const* name,
                           std::vector<std::string> const& args, bool verbose = false);

    // --- dangerous roots ---

    // The list's entries, in file order. A list that cannot be read, or holds
    // nothing, is an error: without it no root could be checked.
    static std::vector<std::string> loadDangerousPaths(std::filesystem::path const& shareDir);

    // Whether the directory is one of them, however it is spelt: its
    // lexically normalised form ("/usr/", "//usr", "/usr/." are /usr) and,
    // when it exists, its resolved form (a link to /) are both checked. An
    // empty directory always is.
    static bool isDangerousPath(std::string const& directory, std::vector<std::string> const& dangerous);

    // The directory with blanks, tabs, carriage returns and newlines trimmed
    // from both ends, or the error "Refusing to operate on dangerous path: '{}'".
    static std::string validateWorkDir(std::string const& directory,
                                       std::vector<std::string> const& dangerous);
};

} // namespace Vandrel::Linux
