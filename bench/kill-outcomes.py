#!/usr/bin/env python3
"""Kills vdpk with SIGKILL at moments spread over an install, an upgrade and
an uninstall, runs the next command, and counts what the user is left with.

usage: kill-outcomes.py VDPK SHARE_DIR [N] [KILLS]
  VDPK       the vdpk binary
  SHARE_DIR  its shared data directory (the repository's share/)
  N          entries in the killed package (default 5000)
  KILLS      kills per operation (default 10)

For each operation it first times an undisturbed run, then kills runs after
1/(KILLS+1) ... KILLS/(KILLS+1) of that time. After each kill it runs an
install of another package (the next command) and looks at: the killed
package's unpack directory, staged names beside destinations, whether the
package is recorded, how many of its recorded files are missing, whether its
dependent is still installed (upgrade), and PRAGMA integrity_check.
"""
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    vdpk, share = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 5000
    kills = int(sys.argv[4]) if len(sys.argv) > 4 else 10
    work = tempfile.mkdtemp(prefix="vdpk-kills-", dir=os.environ.get("BENCH_DIR"))
    try:
        run(vdpk, share, count, kills, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def pack(work, name, version, count, depends=()):
    stage = os.path.join(work, "stage")
    shutil.rmtree(stage, ignore_errors=True)
    if count:
        subprocess.run(["python3", os.path.join(HERE, "make-tree.py"), stage, str(count), name], check=True,
                       stdout=subprocess.DEVNULL)
    else:
        os.makedirs(os.path.join(stage, "files/usr/bin"))
        with open(os.path.join(stage, "files/usr/bin", name), "w") as f:
            f.write(name)
    with open(os.path.join(stage, "package.yml"), "w") as f:
        f.write(f"name: {name}\nos: linux\nversion: {version}\narch: x64\n")
        if depends:
            f.write("depends:\n" + "".join(f"  - {d}\n" for d in depends))
    if version != "1.0" and count:
        # The newer version: every file changes, one goes, one comes.
        for dirpath, _, files in os.walk(os.path.join(stage, "files")):
            for file in files:
                path = os.path.join(dirpath, file)
                if not os.path.islink(path):
                    with open(path, "ab") as f:
                        f.write(b"2")
        with open(os.path.join(stage, "files", "new-only"), "w") as f:
            f.write("2")
    archive = os.path.join(work, f"{name}-{version}-x64.vdpk.tar.bz2")
    subprocess.run(["tar", "-cjf", archive, "-C", stage, "."], check=True)
    shutil.rmtree(stage)
    return archive


def run(vdpk, share, count, kills, work):
    etc = os.path.join(work, "etc")
    os.makedirs(etc)
    with open(os.path.join(etc, "pkg.yml"), "w") as f:
        f.write(f'database: "/var/lib/vdpk/packages.db"\nshareDir: "{share}"\n'
                f'pkgRepoUrl: "http://127.0.0.1:9/"\npkgRepoCachePath: "{work}/cache"\n')
    v1 = pack(work, "target", "1.0", count)
    v2 = pack(work, "target", "2.0", count)
    other = pack(work, "other", "1.0", 0)
    prefix = os.path.join(work, "prefix")
    tmp = os.path.join(work, "tmp")
    env = dict(os.environ, TMPDIR=tmp)

    def vdpk_cmd(*args):
        return [vdpk, "--config", etc, "--prefix", prefix, *args]

    def fresh(with_target):
        # A killed vdpk's tar runs on for a moment in its own session.
        for _ in range(100):
            shutil.rmtree(prefix, ignore_errors=True)
            shutil.rmtree(tmp, ignore_errors=True)
            if not os.path.exists(tmp) and not os.path.exists(prefix):
                break
            time.sleep(0.1)
        os.makedirs(tmp)
        if with_target:
            subprocess.run(vdpk_cmd("--install", "--file", v1), env=env, check=True, capture_output=True)
            # A dependent of the target, recorded directly: installing it
            # would look the dependency up in a repository.
            db = sqlite3.connect(os.path.join(prefix, "var/lib/vdpk/packages.db"))
            db.execute("INSERT INTO package(name, version) VALUES('user', '1.0')")
            db.execute("INSERT INTO dependency(package_id, dependency_name) "
                       "SELECT id, 'target' FROM package WHERE name = 'user'")
            db.commit()
            db.close()

    operations = {
        "install": (False, vdpk_cmd("--install", "--file", v1)),
        "upgrade": (True, vdpk_cmd("--install", "--file", v2)),
        "uninstall": (True, vdpk_cmd("--uninstall", "target")),
    }
    for name, (with_target, command) in operations.items():
        fresh(with_target)
        start = time.perf_counter()
        subprocess.run(command, env=env, input=b"y\n", capture_output=True, check=True)
        duration = time.perf_counter() - start
        tally = {}
        for k in range(1, kills + 1):
            fresh(with_target)
            proc = subprocess.Popen(command, env=env, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
            proc.stdin.write(b"y\n")
            proc.stdin.flush()
            time.sleep(duration * k / (kills + 1))
            proc.kill()
            proc.wait()
            subprocess.run(vdpk_cmd("--install", "--file", other), env=env, capture_output=True)
            for outcome in look(prefix, tmp, name):
                tally[outcome] = tally.get(outcome, 0) + 1
        print(f"{name} (undisturbed {duration:.2f} s, {kills} kills):")
        for outcome, n in sorted(tally.items()):
            print(f"  {n:3d}  {outcome}")


def look(prefix, tmp, operation):
    outcomes = []
    if any(e.startswith("vdpk-") and os.path.isdir(os.path.join(tmp, e)) for e in os.listdir(tmp)):
        outcomes.append("unpack directory left behind")
    staged = 0
    for dirpath, dirs, files in os.walk(prefix):
        staged += sum(1 for f in files + dirs if ".vdpk-new" in f or ".vdpk-old" in f or f.startswith(".vdpk-"))
    if staged:
        outcomes.append("staged or temporary names left beside destinations")
    db = sqlite3.connect(os.path.join(prefix, "var/lib/vdpk/packages.db"))
    if db.execute("PRAGMA integrity_check").fetchone()[0] != "ok":
        outcomes.append("database fails integrity_check")
    row = db.execute("SELECT id, version FROM package WHERE name = 'target'").fetchone()
    user = db.execute("SELECT 1 FROM package WHERE name = 'user'").fetchone()
    if row:
        files = [r[0] for r in db.execute("SELECT name FROM file WHERE package_id = ?", (row[0],))]
        missing = sum(1 for f in files if not os.path.lexists(os.path.join(prefix, f)))
        state = f"target {row[1]} recorded"
        outcomes.append(state + (f", {missing} of {len(files)} recorded files missing" if missing else ", complete"))
    else:
        left = sum(len(f) for _, _, f in os.walk(os.path.join(prefix, "usr")))
        left -= 1  # the other package's file
        outcomes.append("target absent" + (f", {left} of its files left on disk" if left > 0 else ", no files left"))
    if operation == "upgrade" and not user:
        outcomes.append("dependent of the upgraded package gone")
    db.close()
    return outcomes


if __name__ == "__main__":
    main()
