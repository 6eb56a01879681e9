// Build scripts written as a hostile package author would write them, each
// in a real build: the built vd-build runs as root in a private mount
// namespace, prepares and mounts a build filesystem, runs the script in its
// sandbox, packs under fakeroot and deploys. Every attack aims at canary
// files in a directory the test made beside the work directory ("host"),
// never at anything else; afterwards the canaries must be as they were and in
// no archive of the repository, nothing may be mounted below the sandbox and
// no process of the build may be left.
#include "tests/support/BuildSandbox.hpp"
#include "tests/support/MountNamespace.hpp"
#include "tests/support/Paths.hpp"
#include "tests/support/Run.hpp"
#include "tests/support/Tree.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

namespace Vandrel::Test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

std::string const canaryText = "host canary, never to be read or written by a build\n";

// Replaces every "@NAME@" of text by its value.
std::string fill(std::string text, std::map<std::string, std::string> const& values)
{
    for (auto const& [name, value] : values) {
        std::string const key = "@" + name + "@";
        for (auto at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size()))
            text.replace(at, key.size(), value);
    }
    return text;
}

std::string buildScript(std::string const& body)
{
    return "#!/bin/bash\nset -uo pipefail\nD=$VDPK_PACKAGE_BUILD_DIST_DIR\nmkdir -p \"$D/usr/share\"\n"
           "echo built > \"$D/usr/share/built.txt\"\n" +
           body;
}

class HostileBuildBase : public ::testing::Test {
  protected:
    void SetUp() override
    {
        box.writeBuildConfig({}, sharedBuildTemplate().string());
        fs::create_directories(host / "dir" / "dist");
        fs::create_directories(host / "dbdir");
        std::ofstream(host / "canary.txt") << canaryText;
        std::ofstream(host / "dir" / "inner.txt") << canaryText;
        std::ofstream(host / "dir" / "dist" / "keep.txt") << canaryText;
        canariesBefore = snapshotTree(host);
    }

    void TearDown() override
    {
        EXPECT_EQ(treeDifference(canariesBefore, snapshotTree(host)), "") << "a build reached the canaries";
        for (auto const& archive : archivesInRepository())
            EXPECT_EQ(canaryMembersOf(archive), "") << archive;
        EXPECT_FALSE(hasMountsBelow(box.root()));
        EXPECT_THAT(processesMentioning(marker), IsEmpty());
    }

    RunResult vdBuild(std::vector<std::string> args, fs::path const& cwd)
    {
        args.insert(args.begin(), {"-c", box.configDir().string()});
        return runVdBuildIsolated(args, {.workDir = cwd});
    }

    std::vector<fs::path> archivesInRepository() const
    {
        std::vector<fs::path> found;
        for (auto const& entry : fs::recursive_directory_iterator(box.repo()))
            if (entry.path().string().ends_with(".tar.bz2"))
                found.push_back(entry.path());
        return found;
    }

    // The members of an archive that hold the canaries' text, and links that
    // lead to the canary directory.
    std::string canaryMembersOf(fs::path const& archive) const
    {
        fs::path const out = box.root() / "unpacked";
        fs::remove_all(out);
        fs::create_directories(out);
        auto const r = runProgram("/bin/tar", {"-xjf", archive.string(), "-C", out.string()});
        EXPECT_EQ(r.status, 0) << r.err;
        std::string found;
        for (auto const& entry : fs::recursive_directory_iterator(out)) {
            if (entry.is_symlink() && fs::read_symlink(entry.path()).string().find(host.string()) == 0)
                found += "link " + entry.path().string() + "\n";
            else if (entry.is_regular_file() &&
                     readFile(entry.path()).find("host canary") != std::string::npos)
                found += "file " + entry.path().string() + "\n";
        }
        fs::remove_all(out);
        return found;
    }

    std::map<std::string, std::string> placeholders() const
    {
        return {{"HOST", host.string()},
                {"MARKER", marker},
                {"WD", box.workDir().string()},
                {"SOURCES", box.sources().string()}};
    }

    BuildSandbox box;
    fs::path const host = box.root() / "host";
    // In the command line of every process an attack leaves running.
    std::string const marker = "vd-build-straggler-" + std::to_string(::getpid());
    TreeSnapshot canariesBefore;
};

// --- the attacks -----------------------------------------------------------

enum class Layout {
    Single,    // the package "evil" alone
    Dependent, // "evil" is a dependency of "after", which is built next
    Impostor,  // --build-all over os/core/aaa-evil declaring the name libx, and os/core/libx
};

enum class Helper { None, ChrootEscape, Setsid };

struct Attack {
    std::string name;
    std::string script; // body of build.sh; @HOST@, @MARKER@ and @WD@ are filled in
    int status;
    std::string error; // the "Error: " line's text when the run fails
    Layout layout = Layout::Single;
    Helper helper = Helper::None;
    std::string package = "evil";
};

void PrintTo(Attack const& attack, std::ostream* out)
{
    *out << attack.name;
}

class HostileBuild : public HostileBuildBase, public ::testing::WithParamInterface<Attack> {};

TEST_P(HostileBuild, LeavesTheHostAsItWas)
{
    Attack const& attack = GetParam();
    std::string const script = buildScript(fill(attack.script, placeholders()));
    fs::path requested;
    std::vector<std::string> args;
    switch (attack.layout) {
    case Layout::Single:
        requested = box.writePackageSource(attack.package, "1.0", script);
        break;
    case Layout::Dependent:
        box.writePackageSource(attack.package, "1.0", script);
        requested = box.writePackageSource("after", "1.0", buildScript(""), {attack.package});
        break;
    case Layout::Impostor: {
        fs::path const impostor = box.writePackageSource("aaa-evil", "9.0", script);
        std::ofstream(impostor / "package.yml") << "os: core\nname: libx\nversion: \"9.0\"\narch: x64\n";
        box.writePackageSource("libx", "1.0", buildScript(""));
        args = {"--build-all"};
        requested = box.root();
        break;
    }
    }
    fs::path const src = requested.parent_path() / attack.package / "src";
    if (attack.helper == Helper::ChrootEscape) {
        auto const cc =
            runProgram("/usr/bin/gcc", {"-static", "-O1", "-o", (src / "chroot-escape").string(),
                                        (sourceDir() / "tests/functional/data/chroot-escape.c").string()});
        ASSERT_EQ(cc.status, 0) << cc.err;
    }
    if (attack.helper == Helper::Setsid)
        fs::copy_file("/usr/bin/setsid", src / "setsid");

    auto const started = std::chrono::steady_clock::now();
    auto const r = vdBuild(args, requested);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60)) << "vd-build waited";
    EXPECT_EQ(r.status, attack.status) << r.err;
    if (attack.status != 0)
        EXPECT_EQ(errorPart(r.err), errorOutput(fill(attack.error, placeholders()))) << r.err;
    else
        EXPECT_TRUE(fs::exists(box.repo() / "core" / attack.package / "1.0" /
                               (attack.package + "-1.0-x64.vdpk.tar.bz2")))
            << r.err;
    if (attack.layout == Layout::Impostor) {
        EXPECT_THAT(r.err, Not(HasSubstr("Build report [R1]")));
        EXPECT_FALSE(fs::exists(box.repo() / "core")) << "something was deployed";
    }
    EXPECT_FALSE(fs::exists(box.workDir())) << "the build filesystem was not cleaned";
}

INSTANTIATE_TEST_SUITE_P(
    Faults, HostileBuild,
    ::testing::Values(
        // The manifest copied into dist must not be written through a link.
        Attack{.name = "ManifestLinkInDist",
               .script = "ln -s @HOST@/canary.txt /pkg-build/dist/package.yml\n",
               .status = 0},
        // A dist that is a link is not packed from where it leads.
        Attack{.name = "DistIsALinkToAHostDirectory",
               .script = "rm -rf /pkg-build/dist\nln -s @HOST@/dir /pkg-build/dist\n",
               .status = 1,
               .error = "filesystem error: cannot open the dist directory of the build: Not a directory "
                        "[@WD@/pkg-build/dist]"},
        // The build home a link: packing reads the build filesystem's own
        // directory of that name, and the next package's clean-up removes the
        // link, not what the host holds there.
        Attack{.name = "BuildHomeIsALinkToAHostDirectory",
               .script = "mkdir -p @HOST@/dir/dist/files\necho inside > @HOST@/dir/dist/files/note\n"
                         "cd /\nrm -rf /pkg-build\nln -s @HOST@/dir /pkg-build\n",
               .status = 0,
               .layout = Layout::Dependent},
        // Host processes' roots through /proc: none is visible.
        Attack{.name = "HostFilesThroughProc",
               .script = "for p in /proc/[0-9]*; do\n"
                         "  cat \"$p/root@HOST@/canary.txt\" >> \"$D/usr/share/stolen\" 2>/dev/null\n"
                         "  echo overwritten 2>/dev/null > \"$p/root@HOST@/canary.txt\"\n"
                         "done\n"
                         // The unshare that started vd-build, for one.
                         "if cat /proc/[0-9]*/cmdline | grep -qa -- '--propagatio[n]'; then\n"
                         "  echo 'host processes visible'; exit 1\nfi\n",
               .status = 0},
        // The double chroot: chroot is refused and there is no old root to
        // climb to.
        Attack{.name = "DoubleChrootEscape",
               .script = "./chroot-escape @HOST@/canary.txt @HOST@/dir/inner.txt "
                         "@WD@/pkg-build/dist/files/usr/share/stolen\n",
               .status = 0,
               .helper = Helper::ChrootEscape},
        // What the build may do as root: own, chmod and chown files and
        // change user, in each of its capability sets and its bounding set,
        // nothing more; so it
        // cannot mount (a mount point whose name spells a host path is the
        // unmount command's test) nor chroot.
        Attack{.name = "CapabilitiesBeyondOwningFiles",
               .script = "for set in Prm Eff Inh Bnd; do\n"
                         "  grep -qx \"Cap$set:\"$'\\t'00000000808004ff /proc/self/status ||\n"
                         "    { grep Cap /proc/self/status; exit 1; }\ndone\n"
                         "grep -qx $'CapAmb:\\t0000000000000000' /proc/self/status || exit 1\n"
                         "grep -qx $'NoNewPrivs:\\t1' /proc/self/status || exit 1\n",
               .status = 0},
        // The build filesystem's database directory a link to the host.
        Attack{.name = "DatabaseDirectoryIsALinkToTheHost",
               .script = "rm -rf /var/lib/vdpk\nmkdir -p /var/lib\nln -s @HOST@/dbdir /var/lib/vdpk\n",
               .status = 1,
               .error = "filesystem error: cannot create directory: File exists [@WD@/var/lib/vdpk]"},
        // A child that keeps the output pipe open does not hold vd-build up
        // and does not outlive the build.
        Attack{.name = "BackgroundChildHoldsTheOutput",
               .script = "(exec -a @MARKER@ sleep 1000) &\necho started\n",
               .status = 0},
        // Nor does one in a session of its own that ignores hang-ups.
        Attack{.name = "DetachedChildInItsOwnSession",
               .script = "./setsid bash -c 'trap \"\" HUP TERM; exec -a @MARKER@ sleep 1000' "
                         "</dev/null >/dev/null 2>&1 &\nsleep 0.2\n",
               .status = 0,
               .helper = Helper::Setsid},
        // A source whose manifest names another package is refused before
        // anything is built.
        Attack{.name = "SourceDeclaringAnotherName",
               .script = "",
               .status = 1,
               .error = "Package source '@SOURCES@/os/core/aaa-evil' declares os 'core' and name 'libx', but "
                        "its directory is for os 'core' and name 'aaa-evil'",
               .layout = Layout::Impostor,
               .package = "aaa-evil"},
        // A name with a colon is a local archive name for tar.
        Attack{.name = "ColonInThePackageName", .script = "", .status = 0, .package = "evil:x"}),
    [](auto const& info) { return info.param.name; });

// --- limits ------------------------------------------------------------------

using HostileBuildLimits = HostileBuildBase;

TEST_F(HostileBuildLimits, ScriptRunningPastItsTimeLimitIsStoppedAndFailsTheBuild)
{
    box.addBuildConfigKeys("  buildTimeout: 2\n");
    fs::path const src = box.writePackageSource(
        "slow", "1.0",
        buildScript(fill("(exec -a @MARKER@ sleep 1000) &\nexec -a @MARKER@ sleep 1000\n", placeholders())));
    auto const started = std::chrono::steady_clock::now();
    auto const r = vdBuild({}, src);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(15));
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("Build report [R2]: package build failed: slow\n"));
    EXPECT_EQ(errorPart(r.err),
              errorOutput("Build of package 'slow' ran longer than its time limit of 2 s (buildTimeout) "
                          "and was stopped"));
    EXPECT_FALSE(fs::exists(box.workDir())) << "not torn down";
    EXPECT_FALSE(fs::exists(box.repo() / "core"));
}

// In a PID namespace whose /proc was not mounted, bwrap would fail half way
// and leave its first process holding the output: the build is refused and
// torn down instead.
TEST_F(HostileBuildLimits, PidNamespaceWithoutItsOwnProcIsRefused)
{
    fs::path const src = box.writePackageSource("alpha", "1.0", buildScript(""));
    auto const r =
        runProgram("/usr/bin/timeout",
                   {"--kill-after=5", "25", "unshare", "--mount", "--propagation", "private", "--fork",
                    "--pid", programPath("vd-build").string(), "-c", box.configDir().string()},
                   {.workDir = src});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("Build report [R2]: package build failed: alpha\n"));
    EXPECT_EQ(errorPart(r.err),
              errorOutput("The /proc of vd-build belongs to another PID namespace, where the build sandbox "
                          "cannot be started: give it a /proc of its own (for example unshare --pid --fork "
                          "--mount-proc)"));
    EXPECT_FALSE(fs::exists(box.workDir()));
}

// A port the test listens on, on the host's loopback.
class LoopbackListener {
  public:
    LoopbackListener() : fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd, 8) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("cannot listen on the loopback");
        port = ntohs(address.sin_port);
    }
    ~LoopbackListener() { ::close(fd); }
    int fd;
    int port = 0;
};

struct NetworkCase {
    std::string keys; // added to build.yml
    std::string seen; // what the build found
};

void PrintTo(NetworkCase const& c, std::ostream* out)
{
    *out << (c.keys.empty() ? std::string("no key") : c.keys);
}

class HostileBuildNetwork : public HostileBuildBase, public ::testing::WithParamInterface<NetworkCase> {};

TEST_P(HostileBuildNetwork, HostLoopbackIsReachableOnlyWhenAllowed)
{
    LoopbackListener const listener;
    box.addBuildConfigKeys(GetParam().keys);
    fs::path const src = box.writePackageSource(
        "net", "1.0",
        buildScript("if exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(listener.port) +
                    "; then echo reached; else echo unreachable; fi > \"$D/usr/share/net\"\n"));
    auto const r = vdBuild({"--keep-dist"}, src);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(src / "dist/files/usr/share/net"), GetParam().seen);
}

INSTANTIATE_TEST_SUITE_P(Keys, HostileBuildNetwork,
                         ::testing::Values(NetworkCase{"", "unreachable\n"},
                                           NetworkCase{"  allowNetwork: false\n", "unreachable\n"},
                                           NetworkCase{"  allowNetwork: true\n", "reached\n"}),
                         [](auto const& info) { return "Case" + std::to_string(info.index); });

// vd-build started as a job of its own, signalled once its build script is
// running; what it printed, how long it took to end after the signal and
// what was left mounted below the work directory.
char const* const signalledRun = R"sh(set -m
cd "$SRC"
"$VDBUILD" -c "$CONF" 2>"$LOG" &
pid=$!
for ((i = 0; i < 300; i++)); do
  grep -q '^started$' "$LOG" && break
  sleep 0.1
done
start=$(date +%s%N)
kill "-$SIGNAL" "$pid"
wait "$pid"
status=$?
echo "status $status"
echo "ms $((($(date +%s%N) - start) / 1000000))"
list_mounts "$BOX"
)sh";

class HostileBuildInterrupt : public HostileBuildBase, public ::testing::WithParamInterface<std::string> {};

TEST_P(HostileBuildInterrupt, SignalEndsTheBuildUnmountsAndCleansWithinTenSeconds)
{
    fs::path const src = box.writePackageSource(
        "long", "1.0",
        buildScript(fill("(exec -a @MARKER@ sleep 1000) &\necho started\nexec -a @MARKER@ sleep 1000\n",
                         placeholders())));
    fs::path const log = box.root() / "vd-build.log";
    auto const r = runInMountNamespace(signalledRun, {},
                                       {{"SRC", src.string()},
                                        {"VDBUILD", programPath("vd-build").string()},
                                        {"CONF", box.configDir().string()},
                                        {"LOG", log.string()},
                                        {"SIGNAL", GetParam()},
                                        {"BOX", box.root().string()}});
    std::string const err = readFile(log);
    ASSERT_THAT(err, HasSubstr("\nstarted\n"));
    std::smatch match;
    ASSERT_TRUE(std::regex_search(r.out, match, std::regex("status ([0-9]+)\nms ([0-9]+)\n")))
        << r.out << r.err;
    EXPECT_EQ(match[1], "1") << err;
    EXPECT_LT(std::stoi(match[2]), 10000);
    EXPECT_EQ(errorPart(err), errorOutput("The run was interrupted by SIG" + GetParam())) << err;
    // Nothing left mounted in the namespace vd-build ran in, and cleaned.
    EXPECT_EQ(r.out.substr(match.position(0) + match.length(0)), "");
    EXPECT_FALSE(fs::exists(box.workDir()));
    EXPECT_FALSE(fs::exists(box.repo() / "core"));
}

INSTANTIATE_TEST_SUITE_P(Signals, HostileBuildInterrupt, ::testing::Values("TERM", "INT", "HUP"),
                         [](auto const& info) { return info.param; });

} // namespace
} // namespace Vandrel::Test
