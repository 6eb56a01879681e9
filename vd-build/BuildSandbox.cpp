#include "vd-build/BuildSandbox.hpp"

#include <fmt/format.h>

#include <stdexcept>
#include <utility>

namespace Vandrel::Linux {

namespace fs = std::filesystem;

BuildSandbox::BuildSandbox(fs::path root, bool allowNetwork)
    : root(std::move(root)), allowNetwork(allowNetwork)
{
}

std::vector<std::string> const& BuildSandbox::keptCapabilities()
{
    // Left out on purpose, among others: CAP_SYS_ADMIN (mount, pivot_root),
    // CAP_SYS_CHROOT, CAP_SYS_MODULE, CAP_SYS_RAWIO, CAP_SYS_PTRACE,
    // CAP_SYS_BOOT, CAP_SYS_TIME, CAP_NET_ADMIN, CAP_NET_RAW and CAP_MKNOD:
    // /dev is bound with device access, so a new node for a host disk would
    // reach that disk.
    static std::vector<std::string> const kept = {
        "CAP_CHOWN",  "CAP_DAC_OVERRIDE", "CAP_DAC_READ_SEARCH",  "CAP_FOWNER",  "CAP_FSETID",  "CAP_KILL",
        "CAP_SETGID", "CAP_SETUID",       "CAP_NET_BIND_SERVICE", "CAP_SETFCAP", "CAP_SYS_NICE"};
    return kept;
}

std::vector<std::string> BuildSandbox::arguments(std::vector<std::string> const& command) const
{
    // The root is bound with device access, so that the private nodes the
    // mount command made in its /dev work; every bind is nosuid. The fresh
    // /proc is mounted over the build filesystem's own, which was made in the
    // host's PID namespace and shows the host's processes.
    std::vector<std::string> args = {"bwrap",
                                     "--dev-bind",
                                     root.string(),
                                     "/",
                                     "--proc",
                                     "/proc",
                                     "--unshare-pid",
                                     "--unshare-ipc",
                                     "--unshare-uts",
                                     "--hostname",
                                     "vd-build",
                                     "--die-with-parent",
                                     "--new-session",
                                     "--cap-drop",
                                     "ALL"};
    if (!allowNetwork)
        args.emplace_back("--unshare-net");
    for (auto const& capability : keptCapabilities()) {
        args.emplace_back("--cap-add");
        args.push_back(capability);
    }
    args.insert(args.end(), {"--chdir", "/", "--"});
    args.insert(args.end(), command.begin(), command.end());
    return args;
}

std::string BuildSandbox::commandLine(std::vector<std::string> const& command) const
{
    checkRoot(root);
    std::string line;
    for (auto const& word : arguments(command)) {
        if (!line.empty())
            line += ' ';
        line += word;
    }
    return line;
}

void BuildSandbox::checkRoot(fs::path const& root)
{
    if (root.string().find_first_of(" \t\n\r\v\f") != std::string::npos)
        throw std::runtime_error(
            fmt::format("Build filesystem root must not contain whitespace: '{}'", root.string()));
}

} // namespace Vandrel::Linux
