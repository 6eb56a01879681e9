// The first program a build's sandbox runs, before the build's own shell:
// bubblewrap, run by root, limits the capabilities a build holds but leaves
// its bounding set full. This removes from the bounding set every capability
// the build does not keep, then CAP_SETPCAP (which that needs) from all of
// its sets, and runs the command. Linked statically: the build filesystem
// has a C library of its own, or none.
//
// Usage: vd-build-sandbox-init KEPT_MASK COMMAND [ARG]...
//   KEPT_MASK  the capabilities kept, as a hexadecimal bit mask
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fputs("usage: vd-build-sandbox-init KEPT_MASK COMMAND [ARG]...\n", stderr);
        return 127;
    }
    char* end = nullptr;
    std::uint64_t const kept = std::strtoull(argv[1], &end, 16);
    if (end == argv[1] || *end != '\0') {
        std::fputs("vd-build-sandbox-init: bad capability mask\n", stderr);
        return 127;
    }
    for (int cap = 0; cap < 64; ++cap) {
        if ((kept >> cap) & 1U)
            continue;
        if (prctl(PR_CAPBSET_READ, cap, 0, 0, 0) < 0)
            break; // past the last capability this kernel knows
        if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) {
            std::perror("vd-build-sandbox-init: dropping a capability from the bounding set");
            return 127;
        }
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0) {
        std::perror("vd-build-sandbox-init: capget");
        return 127;
    }
    for (int i = 0; i < 2; ++i) {
        auto const mask = static_cast<std::uint32_t>(kept >> (32 * i));
        data[i].effective &= mask;
        data[i].permitted &= mask;
        data[i].inheritable &= mask;
    }
    if (syscall(SYS_capset, &header, data) != 0) {
        std::perror("vd-build-sandbox-init: capset");
        return 127;
    }
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    execvp(argv[2], argv + 2);
    std::fprintf(stderr, "vd-build-sandbox-init: cannot run %s: %s\n", argv[2], std::strerror(errno));
    return 127;
}
