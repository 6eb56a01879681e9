// The four build filesystem commands and the template maker, run for real as
// root. Everything that mounts runs in a private mount namespace of its own,
// and everything they create or delete lies in a scratch directory the test
// made; the dangerous-path cases first make their target read-only inside the
// namespace, so even a broken check could not delete anything.

#include "tests/support/DangerousPaths.hpp"
#include "tests/support/MountNamespace.hpp"
#include "tests/support/Paths.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

using namespace Vandrel::Test;
namespace fs = std::filesystem;
using testing::HasSubstr;

namespace {

class BuildFsScripts : public testing::Test {
  protected:
    MountScratchDir scratch;
    fs::path const tmp = scratch.path();
    // A blank and a backslash in the root: the commands must quote every path
    // and read the kernel's escaped mount table correctly.
    fs::path const root = tmp / "build root\\1";

    void TearDown() override { EXPECT_THAT(mountPointsAtOrBelow(tmp), testing::IsEmpty()); }

    RunResult run(std::string const& script, std::vector<std::string> const& args = {}) const
    {
        return runInMountNamespace(script, args,
                                   {{"T", tmp.string()},
                                    {"ROOT", root.string()},
                                    {"BIN", (shareDir() / "vd-build" / "bin").string()},
                                    {"SRC", sourceDir().string()}});
    }

    std::string r() const { return root.string(); }
};

class BuildFsMount : public BuildFsScripts {};
class BuildFsUnmount : public BuildFsScripts {};
class BuildFsClean : public BuildFsScripts {};
class BuildFsPrepare : public BuildFsScripts {};
class BuildFsDangerousPath : public BuildFsScripts {};
class BuildTemplate : public BuildFsScripts {};

std::string const allFiveMounted =
    "/dev tmpfs rw\n/dev/pts devpts rw\n/proc proc rw\n/sys sysfs ro\n/run tmpfs rw\n";

// A template tree with the kinds of entries a real one holds. Also used to
// compare trees: one line per entry with type, mode, owner and link target.
std::string const makeTemplate = R"sh(
make_template() {
  local t=$1
  mkdir -p "$t/usr/bin" "$t/etc" "$t/dev" "$t/tmp" "$t/a dir"
  ln -s usr/bin "$t/bin"
  echo secret >"$t/etc/shadow"; chmod 640 "$t/etc/shadow"; chown 123:456 "$t/etc/shadow"
  ln "$t/etc/shadow" "$t/etc/shadow-"
  printf '#!/bin/sh\n' >"$t/usr/bin/tool"; chmod 755 "$t/usr/bin/tool"
  echo blank >"$t/a dir/file with blank"
  mknod -m 666 "$t/dev/null" c 1 3
  mkfifo "$t/fifo"
  chmod 1777 "$t/tmp"
}
describe() { (cd "$1" && find . -printf '%p %M %U:%G %n %l\n' | sort); }
)sh";

} // namespace

TEST_F(BuildFsMount, MountsAllFiveAndASecondRunMountsNothingTwice)
{
    RunResult const result = run(R"sh(
mkdir "$ROOT"
"$BIN/mount-build-chroot" "$ROOT" >/dev/null; echo "first $?"
list_mounts "$ROOT"
"$BIN/mount-build-chroot" "$ROOT"; echo "second $?"
list_mounts "$ROOT"
echo x >"$ROOT/dev/null" && head -c 2 "$ROOT/dev/zero" | od -An -tx1
readlink "$ROOT/dev/ptmx"
ls "$ROOT/dev" | tr '\n' ' '
)sh");
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "first 0\n" + allFiveMounted + "second 0\n" + allFiveMounted +
                              " 00 00\npts/ptmx\n"
                              "fd full null ptmx pts random shm stderr stdin stdout tty urandom zero ");
    EXPECT_EQ(result.err, "");
}

TEST_F(BuildFsMount, CompletesAPartialSetLeavingWhatIsMounted)
{
    RunResult const result = run(R"sh(
mkdir -p "$ROOT/proc" "$ROOT/run"
mount -t proc proc "$ROOT/proc"
mount -t tmpfs tmpfs "$ROOT/run" && echo kept >"$ROOT/run/marker"
"$BIN/mount-build-chroot" "$ROOT"; echo "status $?"
list_mounts "$ROOT"
cat "$ROOT/run/marker"
)sh");
    EXPECT_EQ(result.out, "mount-build-chroot: mounted " + r() + "/dev\nmount-build-chroot: mounted " + r() +
                              "/dev/pts\nmount-build-chroot: mounted " + r() +
                              "/sys\nstatus 0\n/proc proc rw\n/run tmpfs rw\n/dev tmpfs rw\n"
                              "/dev/pts devpts rw\n/sys sysfs ro\nkept\n");
    EXPECT_EQ(result.err, "");
}

TEST_F(BuildFsMount, UsesADevThatHoldsItsOwnDeviceNodes)
{
    RunResult const result = run(R"sh(
mkdir -p "$ROOT/dev" && mknod -m 666 "$ROOT/dev/null" c 1 3
"$BIN/mount-build-chroot" "$ROOT" >/dev/null; echo "status $?"
list_mounts "$ROOT"
)sh");
    EXPECT_EQ(result.out, "status 0\n/dev/pts devpts rw\n/proc proc rw\n/sys sysfs ro\n/run tmpfs rw\n");
}

TEST_F(BuildFsMount, RefusesALinkAsMountPointAndUndoesItsOwnMounts)
{
    RunResult const result = run(R"sh(
mkdir -p "$ROOT" "$T/elsewhere" && ln -s "$T/elsewhere" "$ROOT/proc"
mkdir -p "$ROOT/run" && mount -t tmpfs tmpfs "$ROOT/run"
"$BIN/mount-build-chroot" "$ROOT" >/dev/null; echo "status $?"
list_mounts "$T"
"$BIN/mount-build-chroot" "$T/missing"; echo "missing $?"
)sh");
    EXPECT_EQ(result.out, "status 1\n/build root\\1/run tmpfs rw\nmissing 1\n");
    EXPECT_EQ(result.err, "mount-build-chroot: refusing to mount on a symbolic link: '" + r() +
                              "/proc'\nmount-build-chroot: build filesystem root is not a directory: '" +
                              tmp.string() + "/missing'\n");
}

TEST_F(BuildFsScripts, WrongUsageIsStatusTwoWithAUsageLine)
{
    RunResult const result = run(R"sh(
for cmd in mount-build-chroot umount-build-chroot clean-build-fs; do
  "$BIN/$cmd"; echo "$?"; "$BIN/$cmd" "$T" "$T"; echo "$?"
done
"$BIN/prepare-build-fs" "$T"; echo "$?"
)sh");
    EXPECT_EQ(result.out, "2\n2\n2\n2\n2\n2\n2\n");
    EXPECT_EQ(result.err, "Usage: mount-build-chroot ROOT\nUsage: mount-build-chroot ROOT\n"
                          "Usage: umount-build-chroot ROOT\nUsage: umount-build-chroot ROOT\n"
                          "Usage: clean-build-fs ROOT\nUsage: clean-build-fs ROOT\n"
                          "Usage: prepare-build-fs TEMPLATE ROOT\n");
}

TEST_F(BuildFsUnmount, UnmountsEverythingBelowButNotTheRootItself)
{
    RunResult const result = run(R"sh(
mkdir -p "$ROOT" && mount -t tmpfs tmpfs "$ROOT"
"$BIN/mount-build-chroot" "$ROOT" >/dev/null
mkdir -p "$ROOT/some/dir" && mount -t tmpfs tmpfs "$ROOT/some/dir"
mkdir "$ROOT/some/dir/inner" && mount -t tmpfs tmpfs "$ROOT/some/dir/inner"
mount -t tmpfs tmpfs "$ROOT/run"
ln -s "$ROOT" "$T/link"
"$BIN/umount-build-chroot" "$T/link"; echo "status $?"
list_mounts "$ROOT"
"$BIN/umount-build-chroot" "$ROOT"; echo "again $?"
"$BIN/umount-build-chroot" "$T/missing"; echo "missing $?"
)sh");
    EXPECT_EQ(result.out, "status 0\n/ tmpfs rw\nagain 0\nmissing 0\n");
    EXPECT_EQ(result.err, "");
}

// A mount point below the root whose name holds a separator followed by the
// path of another mount (one the test made outside the root): only the mount
// below the root is undone, the other one and its file stay.
class BuildFsUnmountName : public BuildFsScripts, public testing::WithParamInterface<std::string> {};

TEST_P(BuildFsUnmountName, SeparatorInAMountPointNeverNamesAnotherPath)
{
    RunResult const result = runInMountNamespace(R"sh(
mkdir -p "$T/host" "$ROOT" && mount -t tmpfs tmpfs "$T/host" && echo canary >"$T/host/canary"
planted="$ROOT/x$SEP$T/host"
mkdir -p "$planted" && mount -t tmpfs tmpfs "$planted"
"$BIN/umount-build-chroot" "$ROOT"; echo "status $?"
list_mounts "$T"
cat "$T/host/canary"
umount "$T/host"
)sh",
                                                 {},
                                                 {{"T", tmp.string()},
                                                  {"ROOT", root.string()},
                                                  {"SEP", GetParam()},
                                                  {"BIN", (shareDir() / "vd-build" / "bin").string()}});
    EXPECT_EQ(result.out, "status 0\n/host tmpfs rw\ncanary\n") << result.err;
}

INSTANTIATE_TEST_SUITE_P(Separators, BuildFsUnmountName,
                         testing::Values("\n", "\t", " ", "\\", "\n\n", "\\012"),
                         [](auto const& info) { return "Case" + std::to_string(info.index); });

TEST_F(BuildFsClean, RemovesTheTreeWithoutFollowingItsLinks)
{
    RunResult const result = run(R"sh(
mkdir -p "$ROOT/usr/bin" "$T/outside" && echo keep >"$T/outside/file"
ln -s "$T/outside" "$ROOT/usr/link"; ln -s / "$ROOT/to-root"; echo x >"$ROOT/usr/bin/tool"
"$BIN/clean-build-fs" "$ROOT"; echo "status $?"
[[ -e $ROOT ]] && echo "root still there"
cat "$T/outside/file"
"$BIN/clean-build-fs" "$ROOT"; echo "again $?"
)sh");
    EXPECT_EQ(result.out, "status 0\nkeep\nclean-build-fs: nothing to remove at '" + r() + "'\nagain 0\n");
    EXPECT_EQ(result.err, "");
}

TEST_F(BuildFsClean, RefusesWhileAnythingIsMountedBelowOrOnTheRoot)
{
    RunResult const result = run(R"sh(
mkdir -p "$ROOT/some/dir" "$ROOT/usr" "$T/hostdir" && echo host >"$T/hostdir/canary"
mount -t tmpfs tmpfs "$ROOT/some/dir" && echo canary >"$ROOT/some/dir/canary"
mount --bind "$T/hostdir" "$ROOT/usr"
echo other >"$ROOT/other"
"$BIN/clean-build-fs" "$ROOT"; echo "status $?"
cat "$ROOT/some/dir/canary" "$T/hostdir/canary" "$ROOT/other"
umount "$ROOT/usr" "$ROOT/some/dir"
mount -t tmpfs tmpfs "$ROOT" && echo top >"$ROOT/canary"
"$BIN/clean-build-fs" "$ROOT"; echo "status $?"
cat "$ROOT/canary"
)sh");
    EXPECT_EQ(result.out, "status 1\ncanary\nhost\nother\nstatus 1\ntop\n");
    EXPECT_EQ(result.err, "clean-build-fs: refusing to remove '" + r() + "': still mounted there: " + r() +
                              "/some/dir " + r() + "/usr\nclean-build-fs: refusing to remove '" + r() +
                              "': still mounted there: " + r() + "\n");
}

TEST_F(BuildFsPrepare, ReplacesAnOlderTreeFromADirectory)
{
    RunResult const result = run(makeTemplate + R"sh(
make_template "$T/tpl"
mkdir -p "$ROOT/usr" && echo stale >"$ROOT/usr/stale"
"$BIN/prepare-build-fs" "$T/tpl" "$ROOT"; echo "status $?"
[[ $(describe "$T/tpl") == "$(describe "$ROOT")" ]] && echo same
describe "$ROOT" | grep -c .
ls -A "$T" | tr '\n' ' '
)sh");
    EXPECT_EQ(result.out, "prepare-build-fs: prepared '" + r() + "' from '" + tmp.string() +
                              "/tpl'\nstatus 0\nsame\n14\nbuild root\\1 tpl ");
    EXPECT_EQ(result.err, "");
}

TEST_F(BuildFsPrepare, ReplacesAnOlderTreeFromTarArchives)
{
    RunResult const result = run(makeTemplate + R"sh(
make_template "$T/tpl"
mkdir -p "$ROOT" && echo stale >"$ROOT/stale"
for kind in tar:"" tar.bz2:-j tar.gz:-z tar.xz:-J; do
  archive="$T/template.${kind%%:*}"
  tar -C "$T/tpl" ${kind#*:} -cf "$archive" .
  "$BIN/prepare-build-fs" "$archive" "$ROOT" >/dev/null; echo "${kind%%:*} $?"
  [[ $(describe "$T/tpl") == "$(describe "$ROOT")" ]] && echo same
done
)sh");
    EXPECT_EQ(result.out, "tar 0\nsame\ntar.bz2 0\nsame\ntar.gz 0\nsame\ntar.xz 0\nsame\n");
    EXPECT_EQ(result.err, "");
}

TEST_F(BuildFsPrepare, UnmountsWhatIsLeftBelowTheOldTreeWithoutDeletingThroughIt)
{
    // The witness keeps the filesystem mounted below the root reachable after
    // prepare unmounted it there: its canary proves nothing was deleted
    // through the mount. The bind of a host directory is the dangerous case.
    RunResult const result = run(makeTemplate + R"sh(
make_template "$T/tpl"
mkdir -p "$ROOT/some/dir" "$ROOT/usr" "$T/witness" "$T/hostdir" && echo host >"$T/hostdir/canary"
"$BIN/mount-build-chroot" "$ROOT" >/dev/null && umount "$ROOT/run"
mount -t tmpfs tmpfs "$ROOT/some/dir" && echo canary >"$ROOT/some/dir/canary"
mount --bind "$ROOT/some/dir" "$T/witness"
mount --bind "$T/hostdir" "$ROOT/usr"
"$BIN/prepare-build-fs" "$T/tpl" "$ROOT" >/dev/null; echo "status $?"
list_mounts "$ROOT"
cat "$T/witness/canary" "$T/hostdir/canary"
[[ $(describe "$T/tpl") == "$(describe "$ROOT")" ]] && echo same
)sh");
    EXPECT_EQ(result.out, "status 0\ncanary\nhost\nsame\n");
    EXPECT_EQ(result.err, "");
}

TEST_F(BuildFsPrepare, RefusesWhileTheRootIsItselfAMountPoint)
{
    RunResult const result = run(R"sh(
mkdir -p "$ROOT" "$T/tpl" && mount -t tmpfs tmpfs "$ROOT" && echo canary >"$ROOT/canary"
"$BIN/prepare-build-fs" "$T/tpl" "$ROOT"; echo "status $?"
cat "$ROOT/canary"
)sh");
    EXPECT_EQ(result.out, "status 1\ncanary\n");
    EXPECT_EQ(result.err,
              "prepare-build-fs: refusing to replace '" + r() + "': it is a mount point itself\n");
}

TEST_F(BuildFsPrepare, KeepsTheOlderTreeWhenTheTemplateCannotBeUsed)
{
    RunResult const result = run(R"sh(
mkdir -p "$ROOT/sub" "$T/tpl" && echo old >"$ROOT/file" && seq 1000 >"$T/tpl/data"
echo garbage | bzip2 >"$T/empty.tar.bz2"
"$BIN/prepare-build-fs" "$T/empty.tar.bz2" "$ROOT"; echo "empty $?"
tar -C "$T/tpl" -cf - . | head -c 700 >"$T/truncated.tar"
"$BIN/prepare-build-fs" "$T/truncated.tar" "$ROOT" 2>/dev/null; echo "truncated $?"
"$BIN/prepare-build-fs" "$T/none" "$ROOT"; echo "none $?"
"$BIN/prepare-build-fs" "$ROOT/sub" "$ROOT"; echo "inside $?"
"$BIN/prepare-build-fs" "$T/tpl" "$T/tpl/root"; echo "below $?"
cat "$ROOT/file"
ls -A "$T" | tr '\n' ' '
)sh");
    EXPECT_EQ(result.out, "empty 1\ntruncated 1\nnone 1\ninside 1\nbelow 1\nold\nbuild root\\1 empty.tar.bz2 "
                          "tpl truncated.tar ");
    EXPECT_EQ(result.err, "prepare-build-fs: template holds nothing: '" + tmp.string() +
                              "/empty.tar.bz2'\nprepare-build-fs: template does not exist: '" + tmp.string() +
                              "/none'\nprepare-build-fs: template lies inside the build filesystem root: '" +
                              r() +
                              "/sub'\nprepare-build-fs: build filesystem root lies inside the template: '" +
                              tmp.string() + "/tpl/root'\n");
}

TEST_F(BuildFsDangerousPath, EverySpellingOfASystemDirectoryIsRefusedByAllFour)
{
    // Only directories this host has: the test makes each read-only first.
    for (DangerousSpelling const& c : dangerousSpellings(tmp)) {
        std::error_code ec;
        if (!fs::is_directory(c.target, ec))
            continue;
        RunResult const result = run(R"sh(
cd "$T"
if mountpoint -q -- "$2"; then mount -o remount,bind,ro -- "$2"; else mount --bind -- "$2" "$2" && mount -o remount,bind,ro -- "$2"; fi || exit 99
for cmd in clean-build-fs umount-build-chroot mount-build-chroot; do "$BIN/$cmd" "$1"; echo "$cmd $?"; done
"$BIN/prepare-build-fs" "$T" "$1"; echo "prepare-build-fs $?"
)sh",
                                     {c.given, fs::canonical(c.target).string()});
        std::string const message = ": Refusing to operate on dangerous path: '" + c.shown + "'\n";
        EXPECT_EQ(result.out,
                  "clean-build-fs 1\numount-build-chroot 1\nmount-build-chroot 1\nprepare-build-fs 1\n")
            << "root '" << c.given << "'";
        EXPECT_EQ(result.err, "clean-build-fs" + message + "umount-build-chroot" + message +
                                  "mount-build-chroot" + message + "prepare-build-fs" + message)
            << "root '" << c.given << "'";
    }
}

TEST_F(BuildFsDangerousPath, UsrLocalAndDirectoriesBelowTmpAreAccepted)
{
    // /usr/local is hidden behind a fresh tmpfs in the namespace: the commands
    // accept it, and clean stops only at the mount rule.
    RunResult const result = run(R"sh(
mount -t tmpfs tmpfs /usr/local
"$BIN/mount-build-chroot" /usr/local/ >/dev/null; echo "mount $?"
list_mounts /usr/local | grep -c .
"$BIN/umount-build-chroot" /usr/local; echo "umount $?"
"$BIN/clean-build-fs" /usr/local; echo "clean $?"
mkdir -p "$ROOT/x" "$T/b" && ln -s "$ROOT" "$T/link"
"$BIN/clean-build-fs" "$T/link"; echo "link $?"
[[ -L $T/link && ! -e $ROOT ]] && echo "target removed, link kept"
"$BIN/clean-build-fs" "$T/b/../b"; echo "dots $?"
ls -A "$T"
)sh");
    EXPECT_EQ(result.out, "mount 0\n6\numount 0\nclean 1\nlink 0\ntarget removed, link kept\ndots 0\nlink\n");
    EXPECT_EQ(result.err,
              "clean-build-fs: refusing to remove '/usr/local': still mounted there: /usr/local\n");
}

TEST_F(BuildTemplate, MakesAChrootWhereABuildScriptRunsThroughTheWholeLifecycle)
{
    RunResult const result = run(R"sh(
bash "$SRC/scripts/make-build-template.sh" "$T/template" >/dev/null || exit 98
/usr/sbin/chroot "$T/template" bash --noediting -c 'echo ok | tr a-z A-Z'
"$BIN/prepare-build-fs" "$T/template" "$ROOT" >/dev/null && "$BIN/mount-build-chroot" "$ROOT" >/dev/null || exit 97
/usr/sbin/chroot "$ROOT" bash --noediting <<'EOF'
set -e
mkdir -p /tmp/w/src/d && cd /tmp/w && echo payload >src/d/f
tar -cjf a.tar.bz2 -C src . && mkdir out && tar -xjf a.tar.bz2 -C out && cat out/d/f
echo x >/dev/null && test -r /proc/self/status && sed -n 's/^Name:.//p' /proc/self/status
EOF
echo "build $?"
"$BIN/umount-build-chroot" "$ROOT" && "$BIN/clean-build-fs" "$ROOT"; echo "teardown $?"
bash "$SRC/scripts/make-build-template.sh" "$T/template"; echo "again $?"
)sh");
    EXPECT_EQ(result.out, "OK\npayload\nsed\nbuild 0\nteardown 0\nagain 1\n");
    EXPECT_EQ(result.err, "make-build-template.sh: not empty: '" + tmp.string() + "/template'\n");
}

TEST_F(BuildTemplate, CompilerOptionAddsAWorkingCCompiler)
{
    RunResult const result = run(R"sh(
bash "$SRC/scripts/make-build-template.sh" --with-cc "$T/template" >/dev/null || exit 98
/usr/sbin/chroot "$T/template" bash --noediting -c \
  'cd /tmp && printf "#include <stdio.h>\nint main(void){puts(\"built\");return 7;}\n" >m.c && cc -o m m.c && ./m; echo $?'
)sh");
    EXPECT_EQ(result.out, "built\n7\n");
    EXPECT_EQ(result.err, "");
}
