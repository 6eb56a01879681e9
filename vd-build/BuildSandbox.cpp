#include "vd-build/BuildSandbox.hpp"

#include <fmt/format.h>

#include <cstdint>
#include <stdexcept>
#include <system_error>
#include <utility>

#include <unistd.h>

namespace Vandrel::Linux {

namespace fs = std::filesystem;

BuildSandbox::BuildSandbox(fs::path root, bool allowNetwork, fs::path init)
    : root(std::move(root)), allowNetwork(allowNetwork), init(std::move(init))
{
}

fs::path BuildSandbox::initPath()
{
    std::error_code ec;
    fs::path const self = fs::read_symlink("/proc/self/exe", ec);
    fs::path const dir = ec ? fs::path() : self.parent_path();
    for (fs::path const& candidate : {dir / "vd-build-sandbox-init",
                                      dir.parent_path() / "libexec" / "vd-build" / "vd-build-sandbox-init"}) {
        if (!dir.empty() && fs::is_regular_file(candidate, ec))
            return candidate;
    }
    throw std::runtime_error(
        fmt::format("vd-build-sandbox-init is missing: neither beside the program nor in '{}'",
                    (dir.parent_path() / "libexec" / "vd-build").string()));
}

namespace {

// Name and number of each capability a build keeps.
struct Capability {
    char const* name;
    int number;
};

constexpr Capability kept[] = {
    {"CAP_CHOWN", 0},    {"CAP_DAC_OVERRIDE", 1}, {"CAP_DAC_READ_SEARCH", 2},
    {"CAP_FOWNER", 3},   {"CAP_FSETID", 4},       {"CAP_KILL", 5},
    {"CAP_SETGID", 6},   {"CAP_SETUID", 7},       {"CAP_NET_BIND_SERVICE", 10},
    {"CAP_SETFCAP", 31}, {"CAP_SYS_NICE", 23},
};

} // namespace

std::string BuildSandbox::keptCapabilityMask()
{
    std::uint64_t mask = 0;
    for (auto const& capability : kept)
        mask |= std::uint64_t{1} << capability.number;
    return fmt::format("{:x}", mask);
}

std::vector<std::string> const& BuildSandbox::keptCapabilities()
{
    // Left out on purpose, among others: CAP_SYS_ADMIN (mount, pivot_root),
    // CAP_SYS_CHROOT, CAP_SYS_MODULE, CAP_SYS_RAWIO, CAP_SYS_PTRACE,
    // CAP_SYS_BOOT, CAP_SYS_TIME, CAP_NET_ADMIN, CAP_NET_RAW and CAP_MKNOD:
    // /dev is bound with device access, so a new node for a host disk would
    // reach that disk.
    static std::vector<std::string> const names = [] {
        std::vector<std::string> list;
        for (auto const& capability : kept)
            list.emplace_back(capability.name);
        return list;
    }();
    return names;
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
    // Only for the first program, which drops it with all the others it
    // takes out of the bounding set.
    args.insert(args.end(), {"--cap-add", "CAP_SETPCAP", "--ro-bind", init.string(), initInside, "--chdir",
                             "/", "--", initInside, keptCapabilityMask()});
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

void BuildSandbox::checkProc()
{
    std::error_code ec;
    std::string const self = fs::read_symlink("/proc/self", ec).string();
    if (ec || self != std::to_string(::getpid()))
        throw std::runtime_error(
            "The /proc of vd-build belongs to another PID namespace, where the build sandbox cannot be "
            "started: give it a /proc of its own (for example unshare --pid --fork --mount-proc)");
}

void BuildSandbox::checkRoot(fs::path const& root)
{
    if (root.string().find_first_of(" \t\n\r\v\f") != std::string::npos)
        throw std::runtime_error(
            fmt::format("Build filesystem root must not contain whitespace: '{}'", root.string()));
}

} // namespace Vandrel::Linux
