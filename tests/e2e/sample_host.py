#!/usr/bin/env python3
"""The sample application of examples/ against the real updater.

- Both builds: version 1, started as a user starts it, finds version 2 in its
  stand-in download folder, stages it and starts the updater, which puts it
  in place, itself included, and starts it again; it then says it is version
  2, with both its libraries of version 2.
- Both builds: a copy that always fails (the application folder is read-only
  to the user; only SelfTemp and the log are theirs) gives one failure
  message and one notice from the sample, which then runs as version 1: no
  loop of staging and updating. Should a loop start, the test ends it after
  its second message by withdrawing the download.
- Both builds: starting through the updater heals an interrupted update.
  The updater is killed on entry to each file-system call of a three-file
  pass before it starts the application (Linux: strace
  `inject=CALL:signal=KILL:when=N`; Wine: its debugger, stopped at a
  breakpoint on the N-th call of a file-changing function, kills it); then
  the sample is started the documented way, `selfupdate /Main.exe` or
  `SelfUpdate.exe /Main.exe`; each time a complete version 2 must start.

usage: sample_host.py --platform linux|win32 --updater FILE --v1 DIR --v2 DIR
                      [--runner cmake/wine-run.sh]
"""

import argparse
import os
import pwd
import re
import selectors
import shutil
import subprocess
import sys
import tempfile
import time

from wine_messagebox_test import CALL as MESSAGE_BOX, MESSAGE, SKIPPED, shown, wine_route

FILES = ["Main.exe", "Core.dll", "Extra.dll"]
# The updater's name beside the sample on both builds: it ends in .exe, so a
# staged copy of it is applied too.
UPDATER = "SelfUpdate.exe"
NOTICE = "The last update did not complete; version 1 runs."
# Only against hangs: the relaunched application runs detached, and Wine's
# first start in a new prefix takes a while.
PATIENCE = 120

# The Wine runner, started as root, runs Windows programs as this user; the
# application folder must be theirs. Started as root, the Linux sample runs
# as this user too where a folder must refuse it.
WINE_USER = os.environ.get("SELFUPDATE_WINE_USER", "nobody")

OPTS = None


class Failure(Exception):
    pass


def expect(cond, what):
    if not cond:
        raise Failure(what)


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except (FileNotFoundError, IsADirectoryError):
        return None


def complete(version):
    return f"Main.exe version {version} (Core.dll version {version}, Extra.dll version {version})"


class App:
    def __init__(self, root):
        self.dir = os.path.join(root, "App")
        os.makedirs(self.dir)
        self.updater = UPDATER
        shutil.copy2(OPTS.updater, os.path.join(self.dir, self.updater))
        for name in FILES:
            shutil.copy2(os.path.join(OPTS.v1, name), os.path.join(self.dir, name))

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def offer_download(self, files=FILES):
        os.makedirs(self.path("Download"))
        for name in files:
            shutil.copy2(os.path.join(OPTS.v2, name), self.path("Download", name))
        with open(self.path("Download", "version.txt"), "w") as f:
            f.write("2\n")

    def stage(self):
        os.makedirs(self.path("SelfTemp"))
        for name in FILES:
            shutil.copy2(os.path.join(OPTS.v2, name), self.path("SelfTemp", name))

    def log(self):
        data = read(self.path("Sample.log"))
        return [] if data is None else data.decode(errors="replace").splitlines()

    def start(self, *cmd):
        runner = [OPTS.runner] if OPTS.runner else []
        return subprocess.run([*runner, *cmd], cwd=self.dir, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=PATIENCE)

    def wait_for_lines(self, count):
        end = time.monotonic() + PATIENCE
        while len(self.log()) < count and time.monotonic() < end:
            time.sleep(0.05)
        return self.log()


def updates_itself(root):
    app = App(root)
    app.offer_download(FILES + [UPDATER])
    if OPTS.platform == "win32":
        hand_to_wine_user(root)
    r = app.start("./Main.exe")
    expect(r.returncode == 0, f"version 1 ended with {r.returncode}: {r.stderr[-1000:]!r}")
    lines = app.wait_for_lines(3)
    expect(lines == [complete(1), "staged version 2, starting " + app.updater, complete(2)],
           f"the sample said {lines}")
    for name in FILES + [UPDATER]:
        expect(read(app.path(name)) == read(os.path.join(OPTS.v2, name)), f"{name} is version 2")
        expect(read(app.path(name + ".Old")) == read(os.path.join(OPTS.v1, name)),
               f"{name}.Old is version 1")
    expect(os.listdir(app.path("SelfTemp")) == [], "nothing left staged")


def a_copy_that_keeps_failing_is_reported_once(root):
    app = App(root)
    app.offer_download()
    os.makedirs(app.path("SelfTemp"))
    open(app.path("Sample.log"), "w").close()
    hand_to_wine_user(root)
    os.chmod(app.dir, 0o555)
    try:
        output = run_to_the_end(app)
    finally:
        os.chmod(app.dir, 0o755)
    failures = failure_messages(output)
    expect(failures == 1, f"the updater's message was shown {failures} times")
    lines = app.log()
    expect(lines == [complete(1), "staged version 2, starting " + app.updater, complete(1), NOTICE],
           f"the sample said {lines}")
    expect(read(app.path("Main.exe")) == read(os.path.join(OPTS.v1, "Main.exe")), "Main.exe is version 1")


def failure_messages(output):
    """How many times the updater's failure message appears in the output of
    the sample's processes: on standard error on Linux, in the trace of
    MessageBoxA or MessageBoxW under Wine."""
    if OPTS.platform == "linux":
        return output.count(MESSAGE)
    caption = os.path.splitext(UPDATER)[0]
    boxes = ((MESSAGE, caption), (MESSAGE.encode("cp936"), caption.encode()))
    return sum(1 for call in MESSAGE_BOX.findall(output) if shown(call)[2:4] in boxes)


def run_to_the_end(app):
    """Starts version 1 and reads the output of it and of everything it starts
    (the updater, the sample started again, ...) until all of them have ended.
    After the second failure message the download is withdrawn, so a loop
    ends at its next start of the sample."""
    env = dict(os.environ)
    if OPTS.platform == "win32":
        cmd = [OPTS.runner, "./Main.exe"]
        env["SELFUPDATE_WINEDEBUG"] = "+relay"
    else:
        cmd = ["./Main.exe"]
        if os.geteuid() == 0:
            user = pwd.getpwnam(WINE_USER)
            cmd = ["setpriv", f"--reuid={user.pw_uid}", f"--regid={user.pw_gid}", "--clear-groups", *cmd]
        env.pop("DISPLAY", None)
        env.pop("WAYLAND_DISPLAY", None)
    proc = subprocess.Popen(cmd, cwd=app.dir, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, env=env)
    output = b""
    withdrawn = False
    with selectors.DefaultSelector() as sel:
        sel.register(proc.stdout, selectors.EVENT_READ)
        while True:
            # Only against hangs: every process of the chain ends by itself.
            expect(sel.select(PATIENCE), f"no end of output after {output[-1500:]!r}")
            chunk = os.read(proc.stdout.fileno(), 65536)
            if not chunk:
                break
            output += chunk
            if not withdrawn and failure_messages(output.decode(errors="replace")) >= 2:
                os.remove(app.path("Download", "version.txt"))
                withdrawn = True
    proc.stdout.close()
    proc.wait()
    return output.decode(errors="replace")


class LinuxKills:
    """Kills the Linux updater on entry to its N-th call of one kind."""

    CALLS = ["openat", "unlink", "unlinkat", "rename", "renameat", "renameat2", "fsync",
             "copy_file_range", "ioctl", "fchmod"]
    SPAWN = ["clone", "clone3", "vfork", "fork"]

    def __init__(self):
        self.strace = shutil.which("strace")
        expect(self.strace, "strace is not installed")

    def points(self, app, root):
        """(call, n) for every call the updater makes before it starts the
        application."""
        trace = os.path.join(root, "trace")
        app.start(self.strace, "-qq", "-o", trace, "-e", "trace=" + ",".join(self.CALLS + self.SPAWN),
                  "./" + app.updater, "/Main.exe")
        counts = {c: 0 for c in self.CALLS}
        with open(trace) as f:
            for line in f:
                call = line.split("(", 1)[0].strip()
                if call in self.SPAWN:
                    break
                if call in counts:
                    counts[call] += 1
        return [(c, n) for c in self.CALLS for n in range(1, counts[c] + 1)]

    def run_killed(self, app, point):
        call, n = point
        return app.start(self.strace, "-qq", "-o", "/dev/null", "-e", "trace=" + call,
                         "-e", f"inject={call}:signal=KILL:when={n}", "./" + app.updater, "/Main.exe")


class WineKills:
    """Kills the Windows updater under Wine's debugger, stopped on entry to
    its N-th call of a file-changing function (breakpoints on all of them)."""

    CALLS = ["DeleteFileA", "MoveFileA", "MoveFileExA", "CopyFileA", "FlushFileBuffers",
             "SetFileAttributesA"]
    STOPPED = "Stopped on breakpoint"
    ENDED = "has terminated"

    def debug(self, app, conts, kill):
        """The updater run under the debugger: CONTS times continued from a
        stop, then killed where KILL says so."""
        hand_to_wine_user(app.dir)
        return winedbg(app.dir, [app.updater, "/Main.exe"], [f"break {c}" for c in self.CALLS] +
                       ["cont"] * conts + (["kill"] if kill else []))

    def points(self, app, root):
        """1..N for the N stops of a whole run (the application it starts
        calls none of these functions)."""
        r = self.debug(app, 200, False)
        expect(self.ENDED in r.stdout, f"the updater did not end in 200 stops: {r.stdout[-1500:]}")
        return list(range(1, self.stops(r) + 1))

    def stops(self, r):
        return r.stdout.count(self.STOPPED)

    def run_killed(self, app, n):
        r = self.debug(app, n, True)
        expect(self.stops(r) == n, f"stopped {self.stops(r)} times, expected {n}: {r.stdout[-1500:]}")
        return r


class QemuKills(WineKills):
    """The same kills where Wine's 32-bit programs run under qemu-i386 (see
    cmake/wine-run.sh). There winedbg's breakpoints cannot stop the updater:
    qemu runs its own translation of the code and never sees the breakpoint
    instruction written into it, nor its removal, so the first one stops the
    program again at every continue. qemu's own debugger stub, driven by
    gdb, stops it instead, at the addresses winedbg gives the functions."""

    ENDED = "exited normally"

    def __init__(self, root):
        self.gdb = shutil.which("gdb")
        expect(self.gdb, "gdb is not installed")
        # Asked of an updater with nothing staged and no program to start,
        # which winedbg's "quit" leaves running.
        probe = os.path.join(root, "addresses")
        os.makedirs(probe)
        shutil.copy2(OPTS.updater, os.path.join(probe, UPDATER))
        hand_to_wine_user(probe)
        r = winedbg(probe, [UPDATER], [f"break {c}" for c in self.CALLS])
        found = dict(re.findall(r"Breakpoint \d+ at (0x[0-9a-fA-F]+) (\w+)", r.stdout))
        self.addresses = sorted(found)
        expect(sorted(found.values()) == sorted(self.CALLS), f"winedbg resolved {found}: {r.stdout[-1500:]}")

    def stops(self, r):
        return len(re.findall(r"^Breakpoint \d+, ", r.stdout, re.M))

    def debug(self, app, conts, kill):
        stub = os.path.join(os.path.dirname(app.dir), "gdb-stub")
        hand_to_wine_user(os.path.dirname(app.dir))
        # Only the updater waits for the debugger: qemu keeps the setting
        # from the program, and so from the one it starts. The run that only
        # counts the stops names no host: qemu's stub would also stop the
        # updater's fork that starts it, for a debugger that may be gone.
        host = ["/Main.exe"] if kill else []
        updater = subprocess.Popen([OPTS.runner, "./" + app.updater, *host], cwd=app.dir,
                                   env=dict(os.environ, QEMU_GDB=stub, QEMU_UNSET_ENV="QEMU_GDB"),
                                   stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            end = time.monotonic() + PATIENCE
            while not os.path.exists(stub) and updater.poll() is None and time.monotonic() < end:
                time.sleep(0.05)
            script = ["set architecture i386", "set auto-solib-add off", f"target remote {stub}",
                      "handle all nostop noprint pass"] + [f"break *{a}" for a in self.addresses]
            script += ["continue"] * conts + (["kill"] if kill else [])
            r = subprocess.run([self.gdb, "-batch", "-nx"] + [a for c in script for a in ("-ex", c)],
                               stdin=subprocess.DEVNULL, capture_output=True, text=True,
                               errors="replace", timeout=PATIENCE)
            updater.wait(timeout=PATIENCE)
        finally:
            if updater.poll() is None:
                updater.kill()
        return r


def winedbg(folder, program, commands):
    # The commands come on standard input: on the qemu route Wine starts the
    # debugger twice (64-bit, then again for the 32-bit program), and a
    # command file the first holds open cannot be opened by the second.
    return subprocess.run([OPTS.runner, "winedbg", *program], cwd=folder,
                          input="".join(c + "\n" for c in commands + ["quit"]),
                          capture_output=True, text=True, errors="replace", timeout=PATIENCE)


def hand_to_wine_user(path):
    if os.geteuid() == 0:
        subprocess.run(["chown", "-R", f"{WINE_USER}:", path], check=True)


def killed_updates_heal_when_started_through_the_updater(root):
    if OPTS.platform == "win32":
        hand_to_wine_user(root)
    kills = LinuxKills() if OPTS.platform == "linux" else \
        QemuKills(root) if OPTS.route == "qemu" else WineKills()
    app = App(os.path.join(root, "count"))
    app.stage()
    points = kills.points(app, root)
    expect(len(points) >= 3 * len(FILES), f"the traced pass shows too few calls: {points}")
    for i, point in enumerate(points):
        app = App(os.path.join(root, str(i)))
        app.stage()
        kills.run_killed(app, point)
        expect(app.log() == [], f"kill at {point}: the application started before the kill")
        if OPTS.platform == "win32":
            hand_to_wine_user(app.dir)
        r = app.start("./" + app.updater, "/Main.exe")
        expect(r.returncode == 0, f"kill at {point}, then started: exit code {r.returncode}")
        lines = app.wait_for_lines(1)
        expect(lines == [complete(2)], f"kill at {point}, then started: the sample said {lines}")
        shutil.rmtree(app.dir)
    print(f"killed the updater at {len(points)} calls; a complete version 2 started after each")


def main():
    global OPTS
    ap = argparse.ArgumentParser()
    ap.add_argument("--platform", choices=("linux", "win32"), required=True)
    ap.add_argument("--updater", required=True)
    ap.add_argument("--v1", required=True)
    ap.add_argument("--v2", required=True)
    ap.add_argument("--runner", default="")
    OPTS = ap.parse_args()
    OPTS.updater = os.path.abspath(OPTS.updater)
    OPTS.route = wine_route(OPTS.runner) if OPTS.runner else None
    if OPTS.runner and OPTS.route is None:
        return SKIPPED

    scenarios = [updates_itself, a_copy_that_keeps_failing_is_reported_once,
                 killed_updates_heal_when_started_through_the_updater]
    passed = failed = 0
    for fn in scenarios:
        root = tempfile.mkdtemp(prefix="selfupdate-sample-")
        try:
            fn(root)
            passed += 1
            print(f"PASS {fn.__name__}")
        except Failure as e:
            failed += 1
            print(f"FAIL {fn.__name__}: {e}")
        finally:
            shutil.rmtree(root, ignore_errors=True)
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
