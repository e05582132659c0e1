#!/usr/bin/env python3
"""Kills the Linux updater at every file-system call, and makes every such
call fail, then runs it again on what was left, checking that no version of
any file is lost and no file in place is ever partial.

strace does the injecting: `inject=CALL:signal=KILL:when=N` stops the process
on entry to the N-th CALL (before it takes effect), `inject=CALL:error=E:when=N`
makes only that call fail.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

CALLS = ["openat", "unlink", "unlinkat", "rename", "renameat", "renameat2", "write",
         "copy_file_range", "ioctl", "fchmod", "fsync", "close", "newfstatat", "getdents64", "flock"]
# The error that call would meet on a full or failing disk.
ERRORS = {"write": "ENOSPC", "copy_file_range": "ENOSPC", "fsync": "EIO", "close": "EIO",
          "ioctl": "ENOSPC", "flock": "ENOLCK"}
FILES = ["Main.exe", "Core.dll", "Extra.dll"]


def old(name):
    return (f"old {name} " * 2000).encode()  # several pages, so a cut shows


def new(name):
    return (f"NEW {name} " * 3000).encode()


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except (FileNotFoundError, IsADirectoryError):
        return None


def make_app(root, exe):
    app = os.path.join(root, "App")
    os.makedirs(os.path.join(app, "SelfTemp"))
    shutil.copy2(exe, os.path.join(app, "Update"))
    for n in FILES:
        with open(os.path.join(app, n), "wb") as f:
            f.write(old(n))
        with open(os.path.join(app, "SelfTemp", n), "wb") as f:
            f.write(new(n))
    return app


def check_nothing_lost(app, where):
    problems = []
    for n in FILES:
        in_place = read(os.path.join(app, n))
        backup = read(os.path.join(app, n + ".Old"))
        staged = read(os.path.join(app, "SelfTemp", n))
        if in_place not in (None, old(n), new(n)):
            problems.append(f"{where}: {n} in place is partial ({len(in_place)} bytes)")
        if in_place != new(n) and staged != new(n):
            problems.append(f"{where}: new {n} lost")
        if in_place not in (old(n), new(n)) and backup != old(n):
            problems.append(f"{where}: old {n} lost")
    return problems


def run(cmd, cwd):
    return subprocess.run(cmd, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, timeout=120)


def count_calls(exe, strace):
    root = tempfile.mkdtemp(prefix="selfupdate-crash-")
    try:
        app = make_app(root, exe)
        log = os.path.join(root, "trace")
        run([strace, "-f", "-qq", "-o", log, "-e", "trace=" + ",".join(CALLS), "./Update"], app)
        counts = {c: 0 for c in CALLS}
        with open(log) as f:
            for line in f:
                name = line.split("(", 1)[0].split()[-1] if "(" in line else ""
                if name in counts:
                    counts[name] += 1
        return counts
    finally:
        shutil.rmtree(root, ignore_errors=True)


def one_point(exe, strace, call, n, how):
    root = tempfile.mkdtemp(prefix="selfupdate-crash-")
    try:
        app = make_app(root, exe)
        inject = f"{call}:signal=KILL:when={n}" if how == "kill" else \
                 f"{call}:error={ERRORS.get(call, 'EIO')}:when={n}"
        r = run([strace, "-f", "-qq", "-o", "/dev/null", "-e", "trace=" + call,
                 "-e", "inject=" + inject, "./Update"], app)
        label = f"{how} at {call} #{n}"
        problems = check_nothing_lost(app, label)
        # A failure before the updater's own code runs (the loader, or the
        # conversion tables it needs to read its own path) may end the process
        # with another code, but only if it has not touched anything.
        untouched = all(read(os.path.join(app, f)) == old(f) and
                        read(os.path.join(app, "SelfTemp", f)) == new(f) for f in FILES)
        if how != "kill" and r.returncode != 0 and not untouched:
            problems.append(f"{label}: exit code {r.returncode} after changing files")
        put_in_place = {f: read(os.path.join(app, f)) == new(f) for f in FILES}

        r = run(["./Update"], app)
        if r.returncode != 0:
            problems.append(f"{label}, run again: exit code {r.returncode}")
        leftovers = [n for n in os.listdir(app) if n.startswith(".")]
        if leftovers:
            problems.append(f"{label}, run again: temporaries left: {leftovers}")
        for f in FILES:
            if read(os.path.join(app, f)) != new(f):
                problems.append(f"{label}, run again: new {f} not in place")
            if not put_in_place[f] and read(os.path.join(app, f + ".Old")) != old(f):
                problems.append(f"{label}, run again: old {f} is not the backup")
        return problems
    finally:
        shutil.rmtree(root, ignore_errors=True)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", required=True)
    opts = ap.parse_args()
    strace = shutil.which("strace")
    if not strace:
        print("strace is not installed")
        return 1
    exe = os.path.abspath(opts.exe)
    counts = count_calls(exe, strace)
    passed = failed = 0
    for how in ("kill", "error"):
        for call in CALLS:
            for n in range(1, counts[call] + 1):
                found = one_point(exe, strace, call, n, how)
                for f in found:
                    print("FAIL " + f)
                passed += not found
                failed += bool(found)
    print(f"calls per run: {counts}")
    print(f"injected {passed + failed} crash and error points into the Linux build: "
          f"{'no content lost in any' if not failed else 'CONTENT LOST OR DAMAGED'}")
    print(f"{passed} passed, {failed} failed")
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
