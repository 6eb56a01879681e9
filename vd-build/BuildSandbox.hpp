#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace Vandrel::Linux {

// The sandbox a build script runs in, made by bubblewrap ("bwrap"): the build
// filesystem becomes its root through pivot_root, so no path leads back to
// the host's root, and it gets PID, mount, IPC, UTS and (unless the network
// is allowed) network namespaces of its own. Its /proc is a new one of its
// PID namespace; /dev, /dev/pts, /sys (read-only) and /run are the ones the
// mount command made below the build filesystem. It runs as root with only
// the capabilities a build needs, in every capability set and in the bounding
// set (bwrap leaves that one full for root, so the sandbox's first program,
// vd-build-sandbox-init, empties it), and with no-new-privileges set, so it
// can neither mount, chroot, load modules, reach raw devices nor trace. Its
// first process ends when the command ends or bwrap is killed, and the
// kernel then ends every other process of the sandbox.
class BuildSandbox {
  public:
    // init: the sandbox's first program, vd-build-sandbox-init (see initPath).
    BuildSandbox(std::filesystem::path root, bool allowNetwork, std::filesystem::path init);

    // Where the sandbox's first program lies: beside the running program, or
    // in ../libexec/vd-build of its directory (where it is installed); the
    // error "vd-build-sandbox-init is missing: ..." when in neither.
    static std::filesystem::path initPath();
    // Where it appears inside the sandbox: on the build filesystem's /run,
    // the tmpfs of the mount step, so it never lands in the tree itself.
    static constexpr char const* initInside = "/run/vd-build-sandbox-init";

    // The bwrap command line that runs command (a program of the build
    // filesystem with its arguments) in the sandbox.
    std::vector<std::string> arguments(std::vector<std::string> const& command) const;
    // The same words joined by single spaces, as the shell runner takes its
    // interpreter line; a root holding whitespace is refused, since that line
    // is split at whitespace.
    std::string commandLine(std::vector<std::string> const& command) const;

    // bwrap finds the sandbox's processes in /proc by the numbers its own PID
    // namespace gives them; with a /proc of another namespace (a PID
    // namespace entered without mounting its /proc) it fails half way and
    // leaves a process behind. This refuses to start it there.
    static void checkProc();
    // Refuses a root that could not be passed as one word of that line.
    static void checkRoot(std::filesystem::path const& root);
    // The capabilities a build keeps: enough to own, chmod and chown files
    // of any user and to change user, nothing that reaches past the sandbox.
    static std::vector<std::string> const& keptCapabilities();
    // The same as a bit mask of capability numbers, in hexadecimal.
    static std::string keptCapabilityMask();

  private:
    std::filesystem::path root;
    bool allowNetwork;
    std::filesystem::path init;
};

} // namespace Vandrel::Linux
