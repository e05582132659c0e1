#!/usr/bin/env python3
"""End-to-end runs of the built updater in temporary application folders.

Each scenario builds an application folder with a SelfTemp folder beside the
updater, runs the updater once (directly, or through a runner such as the Wine
wrapper), and checks both folders, the exit code and, on Linux, what was
written to standard error. One list of scenarios serves both builds; a
scenario names the platforms it applies to.
"""

import argparse
import itertools
import os
import pwd
import re
import resource
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import time
import traceback

MESSAGE = '文件复制失败，请到到安装目录运行"Setup.Exe"程序。'
INSTALLER = "安装"  # the staged installer's name before ".EXE"

OPTS = None
SCENARIOS = []


def scenario(*platforms):
    def register(fn):
        SCENARIOS.append((fn.__name__, platforms or ("linux", "win32"), fn))
        return fn
    return register


class Check(Exception):
    pass


class Skip(Exception):
    pass


def expect(cond, what):
    if not cond:
        raise Check(what)


class App:
    """A temporary application folder with the updater copied into it."""

    def __init__(self, root, folder_name="App"):
        self.root = root
        self.dir = os.path.join(root, folder_name)
        os.makedirs(self.dir)
        self.stage = os.path.join(self.dir, "SelfTemp")
        self.exe_name = "Update.exe" if OPTS.platform == "win32" else "Update"
        shutil.copy2(OPTS.exe, os.path.join(self.dir, self.exe_name))

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def write(self, rel, content, mode=None):
        p = self.path(rel)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(content.encode() if isinstance(content, str) else content)
        if mode is not None:
            os.chmod(p, mode)

    def stage_file(self, name, content):
        self.write(os.path.join("SelfTemp", name), content)

    def read(self, rel):
        p = self.path(rel)
        if not os.path.isfile(p):
            return None
        with open(p, "rb") as f:
            return f.read().decode(errors="replace")

    def names(self, rel=""):
        """The folder's names; in the application folder, without the run
        lock's file, which the Linux build keeps there between runs."""
        p = self.path(rel) if rel else self.dir
        return sorted(n for n in os.listdir(p) if rel or n != RUN_LOCK)

    def run(self, *args, unprivileged=False, timeout=300, preexec_fn=None, code_page=936, log=None):
        """Runs the updater in the folder. The Windows build always runs as an
        unprivileged user (the runner sees to it), in `code_page`; the Linux
        build does when asked, started as root. `log` is the diagnostic log
        variable's value; by default it is unset."""
        self.code_page = code_page
        cmd = ([OPTS.runner] if OPTS.runner else []) + [self.path(self.exe_name)] + list(args)
        if OPTS.platform == "win32" or unprivileged:
            hand_to_test_user(self.root)
        if OPTS.platform == "linux":
            cmd = as_test_user(unprivileged) + cmd
        env = run_env(code_page)
        if log is not None:
            env[LOG_VARIABLE] = log
        r = subprocess.run(cmd, cwd=self.dir, stdin=subprocess.DEVNULL, env=env,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout, preexec_fn=preexec_fn)
        self.rc = r.returncode
        self.stderr = r.stderr.decode(errors="replace")
        return r

    def start(self, unprivileged=False):
        """Starts the Linux updater in the folder without waiting, as App.run
        would run it."""
        if unprivileged:
            hand_to_test_user(self.root)
        return subprocess.Popen(as_test_user(unprivileged) + [self.path(self.exe_name)], cwd=self.dir,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def expect_clean_exit(self, shown):
        expect(self.rc == 0, f"exit code {self.rc}, stderr {self.stderr[-2000:]!r}")
        if OPTS.platform == "linux":
            wanted = f"Update\n{MESSAGE}\n" if shown else ""
            expect(self.stderr == wanted, f"stderr {self.stderr!r}, wanted {wanted!r}")
        else:
            boxes = message_boxes(self)
            expect(len(boxes) == (1 if shown else 0), f"{len(boxes)} message boxes shown")
            if boxes:
                wanted = expected_box(getattr(self, "code_page", 936), "Update")
                expect(boxes[0] == wanted, f"message box {boxes[0]}, wanted {wanted}")


# Under Wine the wrapper traces each MessageBoxA and MessageBoxW call with its
# arguments.
from wine_messagebox_test import (CALL as MESSAGE_BOX, LOCALES, TEST_USER, expected_box,  # noqa: E402
                                  SKIPPED, hand_to_test_user, runner_cannot_run, shown as traced_box)
CODE_PAGES = tuple(LOCALES)


# The run lock's file in the application folder.
RUN_LOCK = "SelfUpdate.lock"

# The run lock's wait, as the wrapper traces it: a pause of 100 ms between
# two tries.
LOCK_WAIT_CALL = re.compile(rb"Call KERNEL32\.Sleep\(00000064\)")


# Names the diagnostic log's file.
LOG_VARIABLE = "SELFUPDATE_LOG"


def run_env(code_page=936):
    env = dict(os.environ)
    env.pop(LOG_VARIABLE, None)
    if OPTS.platform == "win32":
        env["SELFUPDATE_WINEDEBUG"] = "+relay"
        env["SELFUPDATE_WINE_LOCALE"] = LOCALES[code_page]
    return env


def message_boxes(app):
    return [traced_box(call) for call in MESSAGE_BOX.findall(app.stderr)]


def message_shown(app):
    return len(message_boxes(app)) > 0


# ---------------------------------------------------------------- update pass

@scenario()
def typical_run(root):
    app = App(root)
    app.write("Main.exe", "old main")
    app.stage_file("Main.exe", "new main")
    app.stage_file("Core.dll", "new core")
    # A vendor's own read-only files whose names only begin like a copy's
    # temporary: the clearing of killed runs' temporaries leaves them be.
    lookalikes = [".selfupdate-settings", ".selfupdate-1-2.bak", "~SUnotes.tmp", "~SU1234567.tmp"]
    # On Linux, a temporary of a process that still runs (this one) may be a
    # copy in flight of a run that went without the lock: it stays too.
    if OPTS.platform == "linux":
        lookalikes.append(f".selfupdate-{os.getpid()}-0")
    for n in lookalikes:
        app.write(n, "vendor", mode=0o444)
    app.run("/Main.exe")
    app.expect_clean_exit(False)
    for n in lookalikes:
        expect(app.read(n) == "vendor" and os.stat(app.path(n)).st_mode & 0o222 == 0, f"{n} left as it was")
    expect(app.read("Main.exe") == "new main", "Main.exe replaced")
    expect(app.read("Main.exe.Old") == "old main", "old Main.exe kept as backup")
    expect(app.read("Core.dll") == "new core", "Core.dll created")
    expect(not os.path.exists(app.path("Core.dll.Old")), "no backup without an old version")
    expect(app.names("SelfTemp") == [], "staging folder emptied")
    expect(os.path.isdir(app.stage), "staging folder kept")


@scenario()
def selection_by_first_dot_and_installer(root):
    # Under Wine in each code page: the installer is told by its characters,
    # in any letter case, wherever they can be spelled (932 spells them with
    # other bytes than 936); 1252 cannot spell them, nor 程序, and a name a
    # code page cannot spell is never acted on.
    installers = {936: ".Exe", 1252: ".EXE", 932: ".exe"}
    for code_page in CODE_PAGES if OPTS.platform == "win32" else (936,):
        app = App(root, f"App{code_page}")
        chinese = ["程序.dll"]
        spelled = code_page != 1252
        applied = ["App.exe", "lib.DLL", "x.ExE", ".exe"] + (chinese if spelled else [])
        kept = ["App.exe.config", "a.b.exe", "Readme.txt", "NoDot", INSTALLER + installers[code_page],
                "x.ｅｘｅ"] + ([] if spelled else chinese)
        for n in applied + kept:
            app.stage_file(n, n)
        app.run(code_page=code_page)
        app.expect_clean_exit(False)
        for n in applied:
            expect(app.read(n) == n, f"code page {code_page}: {n} applied")
        for n in kept:
            expect(app.read(os.path.join("SelfTemp", n)) == n, f"code page {code_page}: {n} left staged")
            expect(not os.path.exists(app.path(n)), f"code page {code_page}: {n} not copied")


@scenario()
def subfolders_are_skipped(root):
    app = App(root)
    app.stage_file(os.path.join("Tools.exe", "Inner.exe"), "inner")
    app.run()
    app.expect_clean_exit(False)
    expect(app.read("SelfTemp/Tools.exe/Inner.exe") == "inner", "subfolder untouched")
    expect(not os.path.exists(app.path("Tools.exe")), "nothing made in place")
    expect(not os.path.exists(app.path("Inner.exe")), "nothing taken from the subfolder")


@scenario()
def no_or_empty_staging_folder(root):
    for make_stage in (False, True):
        app = App(root, f"App{int(make_stage)}")
        if make_stage:
            os.makedirs(app.stage)
        app.write("Main.exe", "old")
        before = app.names()
        app.run("/Main.exe")
        app.expect_clean_exit(False)
        expect(app.names() == before, "nothing changed")


@scenario()
def older_backup_gives_way(root):
    app = App(root)
    app.write("Main.exe", "v2")
    app.write("Main.exe.Old", "v1")
    app.stage_file("Main.exe", "v3")
    app.run()
    app.expect_clean_exit(False)
    expect(app.read("Main.exe") == "v3", "new version in place")
    expect(app.read("Main.exe.Old") == "v2", "backup holds the version just replaced")


# Wine keeps the hidden and system attributes, which Linux files lack, in
# this extended attribute, as a hexadecimal attribute word.
WINE_ATTRIBUTES = "user.DOSATTRIB"
HIDDEN_SYSTEM = b"0x6"


@scenario()
def three_updates_of_read_only_files_in_a_row(root):
    # Files copied from a CD, a read-only share or some archives are
    # read-only (no write permission on Linux), and so then is every copy
    # made of them: the file in place, its backup. Run as a user who cannot
    # write them, as Windows treats everyone. Under Wine one staged file is
    # hidden and system as well; those are applied like any other.
    app = App(root)
    app.write("Main.exe", "v0", mode=0o444)
    app.write("Main.exe.Old", "v-1", mode=0o444)
    for v in (1, 2, 3):
        app.write("SelfTemp/Main.exe", f"v{v}", mode=0o444)
        app.write("SelfTemp/Core.dll", f"core v{v}", mode=0o444)
        if OPTS.platform == "win32":
            os.setxattr(app.path("SelfTemp", "Core.dll"), WINE_ATTRIBUTES, HIDDEN_SYSTEM)
        app.run(unprivileged=True)
        app.expect_clean_exit(False)
        expect(app.read("Main.exe") == f"v{v}", f"update {v}: new version in place")
        expect(app.read("Main.exe.Old") == f"v{v - 1}", f"update {v}: the version before is the backup")
        expect(app.read("Core.dll") == f"core v{v}", f"update {v}: hidden, system, read-only file applied")
        expect((app.read("Core.dll.Old") is None) == (v == 1), f"update {v}: Core.dll backed up")
        expect(app.names("SelfTemp") == [], f"update {v}: nothing left staged")
        leftovers = [n for n in app.names() if n.startswith((".", "~"))]
        expect(leftovers == [], f"update {v}: no temporary left: {leftovers}")


LARGE = 1 << 30  # large enough that a copy is still under way when it is seen


def start_copying(app):
    """Starts the updater on a large staged Main.exe and returns it once the
    old version has moved to its backup and the copy has written anything."""
    hand_to_test_user(app.root)
    proc = subprocess.Popen([OPTS.runner, app.path(app.exe_name)], cwd=app.dir, env=run_env(),
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    copying = False
    while proc.poll() is None and not copying:
        names = app.names()
        copying = "Main.exe.Old" in names and any(
            n not in ("Main.exe.Old", "SelfTemp", app.exe_name) for n in names)
    if not copying:
        proc.wait()
        raise Check("the copy was not seen under way before the run ended")
    return proc


@scenario("win32")
def killed_in_the_middle_of_a_copy(root):
    # The updater is killed while it copies a large file: the target path
    # must then hold no part of the new version, and the next run must finish
    # the update with the old version as the backup (and clear what the
    # killed run left).
    app = App(root)
    old, new = b"old version " * 1000, b"\x5a" * LARGE
    app.write("Main.exe", old)
    app.write("SelfTemp/Main.exe", new)
    proc = start_copying(app)
    proc.kill()
    proc.wait()
    in_place = app.path("Main.exe")
    if os.path.exists(in_place):
        with open(in_place, "rb") as f:
            expect(f.read() == old, "the target holds the old version or nothing, never part of the new")
    else:
        with open(app.path("Main.exe.Old"), "rb") as f:
            expect(f.read() == old, "the old version is the backup")
    expect(os.path.getsize(app.path("SelfTemp", "Main.exe")) == len(new), "new version still staged")

    app.run()
    app.expect_clean_exit(False)
    expect(os.path.getsize(in_place) == len(new), "the next run puts the new version in place")
    with open(app.path("Main.exe.Old"), "rb") as f:
        expect(f.read() == old, "with the old version as its backup")
    expect(app.names("SelfTemp") == [], "nothing left staged")
    expect(sorted(app.names()) == sorted(["Main.exe", "Main.exe.Old", "SelfTemp", app.exe_name]),
           f"nothing else left: {app.names()}")


@scenario("win32")
def a_second_updater_waits_for_the_first(root):
    # The first updater is stopped in the middle of its copy. A second one
    # started on the same folder must reach the run lock and wait there (its
    # traced call of the wait is seen, and its return is not) without having
    # touched anything, and run its own pass once the first has ended.
    app = App(root)
    old, new = b"old version " * 1000, b"\x5a" * LARGE
    app.write("Main.exe", old)
    app.write("SelfTemp/Main.exe", new)
    first = start_copying(app)
    os.kill(first.pid, signal.SIGSTOP)
    try:
        during = app.names()
        second = subprocess.Popen([OPTS.runner, app.path(app.exe_name)], cwd=app.dir, env=run_env(),
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.PIPE)
        trace = []
        for line in second.stderr:
            trace.append(line)
            if LOCK_WAIT_CALL.search(line):
                break
        expect(any(LOCK_WAIT_CALL.search(line) for line in trace),
               "the second updater never came to wait for the run lock")
        expect(second.poll() is None, "the second updater ended while the first was in its pass")
        expect(app.names() == during, "the second updater changed the folder while the first was in its pass")
    finally:
        os.kill(first.pid, signal.SIGCONT)
    second.stderr.read()
    expect(first.wait(timeout=300) == 0 and second.wait(timeout=300) == 0, "both updaters end with 0")
    expect(os.path.getsize(app.path("Main.exe")) == LARGE, "the new version in place")
    with open(app.path("Main.exe.Old"), "rb") as f:
        expect(f.read() == old, "the old version is the backup")
    expect(app.names("SelfTemp") == [], "nothing left staged")
    expect(sorted(app.names()) == sorted(["Main.exe", "Main.exe.Old", "SelfTemp", app.exe_name]),
           f"nothing else left: {app.names()}")


@scenario()
def failed_copy_shows_message_and_keeps_everything(root):
    # Folders at both the target and the backup name: the backup cannot be
    # removed, the target cannot be moved, and the copy cannot write.
    app = App(root)
    os.makedirs(app.path("Main.exe"))
    os.makedirs(app.path("Main.exe.Old"))
    app.stage_file("Main.exe", "new")
    app.run("/Other.exe")
    app.expect_clean_exit(True)
    expect(os.path.isdir(app.path("Main.exe")) and os.path.isdir(app.path("Main.exe.Old")),
           "folders untouched")
    expect(app.read("SelfTemp/Main.exe") == "new", "new version still staged")


@scenario("linux")
def failed_copy_rolls_the_backup_back(root):
    # A staged link to nothing is listed but cannot be read; under a file-size
    # limit (ulimit -f) the copy's write is refused, and no signal ends the run.
    for limited in (False, True):
        app = App(root, f"App{int(limited)}")
        app.write("Main.exe", "old")
        marker = make_host(app, "Host.exe")
        os.makedirs(app.stage)
        if limited:
            app.stage_file("Main.exe", os.urandom(256 << 10))
        else:
            os.symlink("/nonexistent/target", os.path.join(app.stage, "Main.exe"))
        app.run("/Host.exe", preexec_fn=limit_file_size if limited else None)
        app.expect_clean_exit(True)
        expect(app.read("Main.exe") == "old", "old version back under its name")
        expect(not os.path.lexists(app.path("Main.exe.Old")) and temporaries(app) == [], "no backup left")
        expect(os.path.lexists(os.path.join(app.stage, "Main.exe")), "staged entry kept")
        expect(wait_for(marker, 20), "host started")


def limit_file_size():
    resource.setrlimit(resource.RLIMIT_FSIZE, (64 << 10, 64 << 10))


@scenario()
def failure_in_the_middle_stops_the_pass(root):
    app = App(root)
    for n in ("A.exe", "B.exe", "C.exe"):
        if n != "B.exe":
            app.write(n, "old " + n)
        app.stage_file(n, "new " + n)
    os.makedirs(app.path("B.exe"))
    os.makedirs(app.path("B.exe.Old"))
    # The order the pass meets them: the file system's, which Windows (and
    # Wine) give sorted by name.
    order = sorted(os.listdir(app.stage)) if OPTS.platform == "win32" else os.listdir(app.stage)
    app.run()
    app.expect_clean_exit(True)
    seen_failure = False
    for n in order:
        if n == "B.exe":
            seen_failure = True
            expect(app.read("SelfTemp/B.exe") == "new B.exe", "failed file stays staged")
        elif not seen_failure:
            expect(app.read(n) == "new " + n, f"{n} before the failure applied")
            expect(app.read(n + ".Old") == "old " + n, f"{n} backed up")
        else:
            expect(app.read(n) == "old " + n, f"{n} after the failure untouched")
            expect(app.read("SelfTemp/" + n) == "new " + n, f"{n} still staged")


@scenario()
def code_page_936_names(root):
    app = App(root)
    app.write("主程序.exe", "old")
    app.stage_file("主程序.exe", "new")
    app.stage_file("昞.dll", "trail byte 0x5C")  # 0x95 0x5C in code page 936
    app.run()
    app.expect_clean_exit(False)
    expect(app.read("主程序.exe") == "new", "replaced")
    expect(app.read("主程序.exe.Old") == "old", "backed up")
    expect(app.read("昞.dll") == "trail byte 0x5C", "name with a second byte 0x5C applied")


@scenario()
def letter_case_is_ignored_as_on_windows(root):
    app = App(root)
    app.write("main.exe", "old")
    os.makedirs(app.path("selftemp"))
    app.write("selftemp/MAIN.EXE", "new")
    app.stage = app.path("selftemp")
    app.run()
    app.expect_clean_exit(False)
    got = {n: app.read(n) for n in app.names() if n != app.exe_name}
    expect(got == {"MAIN.EXE": "new", "MAIN.EXE.Old": "old", "selftemp": None},
           f"folder holds {got}")


@scenario("win32")
def the_host_starts_under_the_name_it_was_given(root):
    # A host name the code page cannot spell still comes back (through the
    # UTF-16 command line); a look-alike the code page spells as another
    # name (a full-width letter) never starts that other program.
    for code_page in (1252, 932):
        app = App(root, f"App{code_page}")
        unspellable = make_host(app, "主程序.exe" if code_page == 1252 else "Ελλάδα.exe")
        app.run("/" + os.path.basename(unspellable)[len("started-"):-len(".txt")], code_page=code_page)
        app.expect_clean_exit(False)
        expect(wait_for(unspellable, 20), f"code page {code_page}: the host started")
        other = make_host(app, "Main.exe")
        app.run("/\uff2dain.exe", code_page=code_page)
        app.expect_clean_exit(False)
        expect(not wait_for(other, 5), f"code page {code_page}: Main.exe started for a full-width M")


@scenario()
def search_pattern_length_limit(root):
    # The application folder as the updater sees it ("\tmp\...\" on Linux,
    # "Z:\tmp\...\" under Wine) plus "SelfTemp\*.*" must stay under 260 bytes.
    # On Windows a folder that long leaves no room for a staged file's path
    # or a long host name as they stand: they go through the folder's short
    # form, and the update and the relaunch work all the same.
    drive = 2 if OPTS.platform == "win32" else 0
    for length, searched in ((247, True), (248, False)):
        base = os.path.join(root, f"L{length}")
        os.makedirs(base)
        pad = length - drive - len(base) - 2  # separators before and after
        deep = os.path.join(base, "d" * pad)
        app = App(deep, "")  # the application folder is the padded folder itself
        app.stage_file("Application.exe", "new")
        marker = make_host(app, "Application-Host.exe")
        expect(len(deep) + 1 + drive == length, "folder length set up")
        app.run("/Application-Host.exe")
        app.expect_clean_exit(False)
        expect((app.read("Application.exe") == "new") == searched,
               f"folder of {length} bytes {'searched' if searched else 'not searched'}")
        expect(wait_for(marker, 20), f"folder of {length} bytes: the host started")

    # A folder of names of at most eight letters, from the top of the file
    # system on, has no shorter form: a staged path of 262 bytes then refuses
    # the run on Windows as an unusable own path does (nothing applied, no
    # message, the host back, exit 1), where it would fail its copy on every
    # start. Linux has no such limit.
    top = tempfile.mkdtemp(prefix="", dir="/tmp")  # eight letters
    try:
        deep = top
        while drive + len(deep) + 1 + 8 < 244:
            deep = os.path.join(deep, "ddddddd")
        deep = os.path.join(deep, "d" * (244 - drive - len(deep) - 1))
        app = App(deep, "")
        app.root = top  # what the unprivileged user is given
        app.write("Core.dll", "old")
        app.stage_file("Core.dll", "new")
        marker = make_host(app, "Main.exe")
        expect(drive + len(app.dir) == 245, f"folder length set up: {drive + len(app.dir)}")
        app.run("/Main.exe")
        refused = OPTS.platform == "win32"
        expect(app.rc == (1 if refused else 0), f"deep folder: exit code {app.rc}")
        expect(app.read("Core.dll") == ("old" if refused else "new"), "deep folder: applied only on Linux")
        if refused:
            expect(not message_shown(app), "deep folder: no message")
        expect(wait_for(marker, 20), "deep folder: the host started")
    finally:
        shutil.rmtree(top, ignore_errors=True)


@scenario()
def a_short_name_updates_in_the_deepest_folder_it_fits(root):
    # Where a staged file's own path just fits (folder, "SelfTemp\", name: 259
    # bytes), the copy's temporary beside the target fits too.
    drive = 2 if OPTS.platform == "win32" else 0
    length = 259 - len("SelfTemp\\") - len("a.dll")
    base = os.path.join(root, "D")
    os.makedirs(base)
    deep = os.path.join(base, "d" * (length - drive - len(base) - 2))
    app = App(deep, "")
    app.write("a.dll", "old")
    app.stage_file("a.dll", "new")
    app.run()
    app.expect_clean_exit(False)
    expect(app.read("a.dll") == "new" and app.read("a.dll.Old") == "old", "applied, with its backup")


@scenario()
def names_the_logic_cannot_hold_stay_staged(root):
    if OPTS.platform == "linux":
        # Not UTF-8, and a backslash that would split the name for the logic.
        rows = {936: [b"\xff\xfe.exe", "a\\b.exe".encode()]}
    else:
        # Names a code page cannot spell exactly, listed with a default
        # character ("?") or a look-alike in place of one of theirs: Hangul in
        # 936 and 932; in 1252 a full-width a (as "a") and a full-width
        # backslash (as a backslash).
        rows = {936: ["한.dll"], 1252: ["ａ.dll", "sub＼x.exe"], 932: ["한.dll"]}
        rows = {cp: [n.encode() for n in names] for cp, names in rows.items()}
    for code_page, odd in rows.items():
        app = App(root, f"App{code_page}")
        # What the look-alikes name: another file, its backup, a subfolder's file.
        app.write("a.dll", "a")
        app.write("a.dll.Old", "a's backup")
        app.write(os.path.join("sub", "x.exe"), "sub")
        os.makedirs(app.stage)
        for n in odd:
            with open(os.path.join(app.stage.encode(), n), "wb") as f:
                f.write(b"x")
        app.stage_file("Z.dll", "z")
        before = app.names()
        app.run(code_page=code_page)
        app.expect_clean_exit(False)
        expect(sorted(os.listdir(app.stage.encode())) == sorted(odd), f"code page {code_page}: all left staged")
        expect(app.read("Z.dll") == "z", f"code page {code_page}: the name it can spell applied")
        expect(app.names() == sorted(before + ["Z.dll"]), f"code page {code_page}: nothing else written in place")
        expect(app.read("a.dll") == "a" and app.read("a.dll.Old") == "a's backup" and
               app.read(os.path.join("sub", "x.exe")) == "sub", f"code page {code_page}: other files untouched")


@scenario("linux")
def every_script_updates(root):
    # Folders and staged names with characters code page 936 lacks reach the
    # logic in a four-byte form of their own, and so update like any other.
    for i, word in enumerate(("한국", "muñoz", "العربية", "Ελληνικά", "ภาษาไทย", "Zoë")):
        app = App(os.path.join(root, str(i)), word)
        app.write("Main.exe", "old")
        app.stage_file("Main.exe", "new")
        app.stage_file(word + ".dll", word)
        app.stage_file("\U0001F600.exe", "emoji")
        marker = make_host(app, word + ".exe")
        app.run("/" + word + ".exe")
        app.expect_clean_exit(False)
        expect(wait_for(marker, 20), f"{word}: host started")
        expect(app.read("Main.exe") == "new" and app.read("Main.exe.Old") == "old", f"{word}: replaced")
        expect(app.read(word + ".dll") == word, f"{word}: staged name in that script applied")
        expect(app.read("\U0001F600.exe") == "emoji", f"{word}: name outside the BMP applied")
        expect(app.names("SelfTemp") == [], f"{word}: staging folder emptied")


@scenario("linux")
def file_modes_as_an_administrator_expects(root):
    # A new version keeps the bits of the version it replaces; a file new to
    # the folder gets the staged file's, less the umask. Run by root in a
    # folder of another user's, it keeps the replaced file's owner too, and a
    # new file and the lock file take the folder's: a lock file of root's,
    # with no read bits, is one the folder's owner cannot open.
    folder_owner, other = pwd.getpwnam(TEST_USER).pw_uid, 4242
    cases = [  # name, mode in place (None: nothing there), its owner, staged mode, mode expected
        ("Lib.dll", None, None, 0o644, 0o644),
        ("Wide.dll", None, None, 0o777, 0o755),
        ("Main.exe", 0o755, other, 0o644, 0o755),
        ("Shared.dll", 0o775, folder_owner, 0o600, 0o775),
    ]
    app = App(root)
    as_root = os.geteuid() == 0
    for name, in_place, owner, staged, _ in cases:
        if in_place is not None:
            app.write(name, "old", mode=in_place)
            if as_root:
                os.chown(app.path(name), owner, owner)
        app.write("SelfTemp/" + name, "#!/bin/sh\n", mode=staged)
    if as_root:
        os.chown(app.dir, folder_owner, folder_owner)
    app.run(preexec_fn=lambda: os.umask(0o022))
    app.expect_clean_exit(False)
    for name, _, owner, _, wanted in cases:
        st = os.stat(app.path(name))
        expect(st.st_mode & 0o7777 == wanted, f"{name}: mode {st.st_mode & 0o7777:o}, wanted {wanted:o}")
        wanted_owner = folder_owner if owner is None else owner
        expect(not as_root or (st.st_uid, st.st_gid) == (wanted_owner, wanted_owner),
               f"{name}: owner {st.st_uid}:{st.st_gid}, wanted {wanted_owner}")
    leftovers = [n for n in app.names() if n.startswith(".")]
    expect(leftovers == [], f"no temporary files left: {leftovers}")
    expect(not os.path.exists(app.path(RUN_LOCK)), "the lock's file is gone with the run")


@scenario("linux")
def an_own_path_that_cannot_be_presented_runs_no_pass_but_starts_the_host(root):
    # Invalid UTF-8; too long with its name. The host is named as the logic
    # names it, with a backslash.
    for folder, host in (("\udcff", "Main.exe"), ("x" * 250, "bin/Main.exe")):
        app = App(root, folder)
        marker = make_host(app, host)
        app.stage_file("Core.dll", "new")
        app.run("/" + host.replace("/", "\\"))
        expect(app.rc == 1, f"exit code {app.rc}, wanted 1")
        expect("nothing was updated" in app.stderr, f"stderr {app.stderr!r}")
        expect(app.read("SelfTemp/Core.dll") == "new" and not os.path.exists(app.path("Core.dll")),
               "nothing applied")
        expect(wait_for(marker, 20), "host started")


@scenario("linux")
def a_minimal_root_without_proc_or_dev_null_still_updates_and_relaunches(root):
    # A sandbox or a minimal root: no /proc to read the own path from, no
    # /dev/null for the host's standard input. Started by a relative path.
    if os.geteuid() != 0 or not shutil.which("unshare"):
        raise Skip("needs root and unshare")
    with open(OPTS.exe, "rb") as f:
        if b"__asan_init" in f.read():
            raise Skip("the sanitizers' runtime itself needs /proc; the plain build runs this")
    app = App(root)
    app.write("Core.dll", "old")
    app.stage_file("Core.dll", "new")
    marker = make_host(app, "Main.exe")
    script = f'mount -t tmpfs none /proc && mount -t tmpfs none /dev && exec "./{app.exe_name}" /Main.exe'
    r = subprocess.run(["unshare", "-m", "sh", "-c", script], cwd=app.dir, stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=120)
    expect(r.returncode == 0, f"exit code {r.returncode}: {r.stderr[-1000:]!r}")
    expect(app.read("Core.dll") == "new", "the update applied")
    expect(wait_for(marker, 20), "host started")


@scenario()
def disk_full_midway_keeps_the_old_version(root):
    # A small tmpfs in a private mount namespace holds the application folder:
    # the staged file fits once, its copy does not.
    if os.geteuid() != 0 or not shutil.which("unshare"):
        raise Skip("needs root and unshare")
    app = App(root)
    app.write("Main.exe", "old " * 1000)
    app.stage_file("Main.exe", os.urandom(4 << 20))
    used = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(app.dir) for f in fs)
    size_kib = (used + (2 << 20)) // 1024 + 64
    mnt, after = os.path.join(root, "small"), os.path.join(root, "after")
    os.makedirs(mnt)
    # Wine's server would not see the namespace's mount; a prefix of its own,
    # made inside the namespace, gives it one that does.
    runner = (f'SELFUPDATE_WINEPREFIX="{root}/prefix" "{OPTS.runner}" ' if OPTS.runner else "")
    script = (f'mount -t tmpfs -o size={size_kib}k tmpfs "{mnt}" && cp -a "{app.dir}" "{mnt}/App" && '
              f'cd "{mnt}/App" && {runner}"./{app.exe_name}"; rc=$?; cp -a "{mnt}/App" "{after}"; exit $rc')
    if OPTS.platform == "win32":
        hand_to_test_user(root)
    r = subprocess.run(["unshare", "-m", "sh", "-c", script], stdin=subprocess.DEVNULL, env=run_env(),
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
    app.dir, app.rc, app.stderr = after, r.returncode, r.stderr.decode(errors="replace")
    app.expect_clean_exit(True)
    expect(app.read("Main.exe") == "old " * 1000, "old version back in place")
    expect(not os.path.exists(app.path("Main.exe.Old")), "no backup left behind")
    expect(os.path.getsize(app.path("SelfTemp", "Main.exe")) == 4 << 20, "new version still staged")
    leftovers = [n for n in app.names() if n.startswith((".", "~"))]
    expect(leftovers == [], f"no temporary left: {leftovers}")


@scenario()
def odd_staging_folders_do_nothing(root):
    for i, make in enumerate(("file", "loop")):
        app = App(root, f"App{i}")
        app.write("Main.exe", "old")
        if make == "file":
            app.write("SelfTemp", "not a folder")
        elif OPTS.platform == "linux":
            os.symlink("SelfTemp", app.stage)  # a link to itself cannot be opened
        before = app.names()
        app.run()
        app.expect_clean_exit(False)
        expect(app.names() == before and app.read("Main.exe") == "old", f"{make}: nothing changed")


@scenario()
def long_names_lose_nothing(root):
    app = App(root)
    name = "n" * 251 + ".exe"  # the longest name most file systems allow
    app.write(name, "old")
    app.stage_file(name, "new")
    app.run()
    # Its backup name is too long to exist, so the copy writes over the file in
    # place. On Windows its staged path is too long for any form of it, and
    # the run is refused with nothing applied.
    expect(app.rc == (1 if OPTS.platform == "win32" else 0), f"exit code {app.rc}")
    in_place, staged = app.read(name), app.read(os.path.join("SelfTemp", name))
    expect(in_place == "new" or (in_place == "old" and staged == "new"), "nothing lost")


@scenario("linux")
def a_staged_link_is_never_followed(root):
    # Whoever may write the staging folder must not have the updater copy a
    # file they cannot read to where they can: the link stays staged, unread,
    # and the pass fails there. A link in place is moved, not written through.
    outside = os.path.join(root, "outside.txt")
    with open(outside, "w") as f:
        f.write("outside")
    for staged_link in (True, False):
        app = App(root, f"App{int(staged_link)}")
        os.makedirs(app.stage)
        if staged_link:
            app.write("Link.exe", "old")
            os.symlink(outside, os.path.join(app.stage, "Link.exe"))
        else:
            os.symlink(outside, app.path("Other.dll"))
            app.stage_file("Other.dll", "new")
        app.run()
        app.expect_clean_exit(staged_link)
        if staged_link:
            expect(app.read("Link.exe") == "old" and os.path.islink(os.path.join(app.stage, "Link.exe")),
                   "the old version in place and the link still staged")
        else:
            expect(app.read("Other.dll") == "new" and os.path.islink(app.path("Other.dll.Old")),
                   "the old link is the backup")
        with open(outside) as f:
            expect(f.read() == "outside", "the link's target untouched")


@scenario("linux")
def a_huge_unbalanced_command_line_is_harmless(root):
    app = App(root)
    app.stage_file("Main.exe", "new")
    make_host(app, "x")
    arg = "/" + '"' * 20000 + "\\" * 6000 + " x" * 100
    cmd = [app.path(app.exe_name), arg.encode() + b"\x81", arg]
    r = subprocess.run(cmd, cwd=app.dir, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    expect(r.returncode == 0, f"exit code {r.returncode}")
    expect(app.read("Main.exe") == "new", "the pass still ran")


# ---------------------------------------------------------------- relaunch

HOST = "#!/bin/sh\npwd > \"$(dirname \"$0\")/started-$(basename \"$0\").txt\"\n"


def make_host(app, rel):
    """Puts a host program at `rel` that, once started, leaves a marker file
    beside itself; returns the marker's path."""
    if OPTS.platform == "win32":
        dst = app.path(rel)
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copy2(OPTS.host_exe, dst)
    else:
        app.write(rel, HOST, mode=0o755)
    return os.path.join(os.path.dirname(app.path(rel)), "started-" + os.path.basename(rel) + ".txt")


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wait_for(path, seconds):
    # The host runs detached; give it time to start. Absence is checked by
    # waiting the same way, since nothing signals that nothing will start.
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if os.path.exists(path):
            return True
        time.sleep(0.05)
    return os.path.exists(path)


@scenario()
def host_is_started_again_after_success_and_failure(root):
    for fail in (False, True):
        app = App(root, f"App{int(fail)}")
        marker = make_host(app, "Main.exe")
        app.stage_file("Core.dll", "new")
        if fail:
            os.makedirs(app.path("Core.dll"))
            os.makedirs(app.path("Core.dll.Old"))
        app.run("/Main.exe", "ignored")
        app.expect_clean_exit(fail)
        expect(wait_for(marker, 20), "host started")
        with open(marker, errors="replace") as f:
            cwd = f.read().strip().splitlines()[-1]
        wanted = windows_path(app.dir) if OPTS.platform == "win32" else os.path.realpath(app.dir)
        expect(cwd.lower() == wanted.lower(), f"host runs in the updater's folder, not {cwd}")


def logic_path(path):
    """A path as the updater's lines name it."""
    path = os.path.realpath(path)
    return windows_path(path) if OPTS.platform == "win32" else path.replace("/", "\\")


def all_names(folder):
    return sorted(os.path.relpath(os.path.join(d, n), folder)
                  for d, ds, fs in os.walk(folder) for n in ds + fs)


@scenario()
def a_diagnostic_log_only_when_asked(root):
    # Two runs append to one log: a copy that goes through, then one that
    # fails (a folder in the way), with the message, the launch and the exit
    # code. The same runs without the variable, or with it empty, leave no
    # file that the run with it would not have left.
    log = os.path.join(root, "诊断.log")
    runs = {}
    for variable in (log, None, ""):
        app = App(root, f"App{len(runs)}")
        marker = make_host(app, "Host.exe")
        app.stage_file("程序.dll", "new")
        os.makedirs(app.path("Main.exe", "x"))
        os.makedirs(app.path("Main.exe.Old"))
        arg = windows_path(variable) if variable and OPTS.platform == "win32" else variable
        app.run("/Host.exe", log=arg)
        app.expect_clean_exit(False)
        app.stage_file("Main.exe", "new")
        app.run("/Host.exe", log=arg)
        app.expect_clean_exit(True)
        # The host's marker, before the folder is compared.
        expect(wait_for(marker, 20), "host started")
        runs[variable] = app
    names = {v: all_names(a.dir) for v, a in runs.items()}
    expect(names[None] == names[""] == names[log], f"no extra file without the log: {names}")
    expect(sorted(os.listdir(root)) == ["App0", "App1", "App2", "诊断.log"], f"one log file: {os.listdir(root)}")
    with open(log, "rb") as f:
        text = f.read().decode("utf-8")  # raises unless UTF-8
    lines = [re.fullmatch(r"\[(\d+)\] (.*)", line) for line in text.splitlines()]
    expect(all(lines), f"each line has the process id: {text!r}")
    pids = []
    for m in lines:
        if m.group(1) not in pids:
            pids.append(m.group(1))
    expect(len(pids) == 2, f"two runs appended: {pids}")
    # Wine may spell the folders in another letter case.
    fold = str.lower if OPTS.platform == "win32" else str
    first, second = ([fold(m.group(2)) for m in lines if m.group(1) == pid] for pid in pids)
    app = runs[log]
    folder, stage = fold(logic_path(app.dir)), fold(logic_path(app.stage))
    sep = "\\"
    for run in (first, second):
        expect(run[0] == f"lock {folder}{sep}: ok", f"the lock first: {run}")
        expect(run[1] == f"clear leftovers in {folder}{sep}", f"the leftovers cleared next: {run}")
        expect(fold(f"launch {folder}{sep}Host.exe: ok") in run, f"the launch: {run}")
        expect(run[-1] == "exit code 0", f"the exit code last: {run}")
    expect(fold(f"copy {stage}{sep}程序.dll -> {folder}{sep}程序.dll: ok") in first, f"the copy: {first}")
    # The cause in words: a folder is in the way.
    failed = [m for m in (re.fullmatch(r"copy (.*) -> (.*): failed, is a folder \(code (\d+)\)", s) for s in second) if m]
    expect(len(failed) == 1 and failed[0].groups()[:2] == (fold(f"{stage}{sep}Main.exe"), fold(f"{folder}{sep}Main.exe"))
           and failed[0].group(3) != "0", f"the failed copy with its code: {second}")
    message = fold(f"message Update: {MESSAGE}")
    expect(message in second and message not in first,
           f"the message: {second}")
    expect(second.index(message) + 1 < len(second) and second[second.index(message) + 1] == "message closed",
           f"the message closed right after it: {second}")
    # The message reads right in the log whatever the code page, also one
    # that cannot spell it.
    if OPTS.platform == "win32":
        for code_page in (1252, 932):
            app = App(root, f"Page{code_page}")
            os.makedirs(app.path("Main.exe", "x"))
            os.makedirs(app.path("Main.exe.Old"))
            app.stage_file("Main.exe", "new")
            page_log = os.path.join(root, f"{code_page}.log")
            app.run(log=windows_path(page_log), code_page=code_page)
            app.expect_clean_exit(True)
            with open(page_log, "rb") as f:
                text = f.read().decode("utf-8")
            expect(f"message Update: {MESSAGE}" in text, f"code page {code_page}: the message line in {text!r}")


@scenario("linux")
def a_log_nobody_else_can_redirect(root):
    # A log path that is a second name of another file, or another user's
    # file in a folder anyone may write (as /tmp), is not written; a staged
    # name with a line break in it stays on its one line.
    protected = os.path.join(root, "protected")
    with open(protected, "w") as f:
        f.write("secret\n")
    linked = os.path.join(root, "linked.log")
    os.link(protected, linked)
    cases = [linked]
    if os.geteuid() == 0:
        sticky = os.path.join(root, "tmp")
        os.makedirs(sticky)
        os.chmod(sticky, 0o1777)
        planted = os.path.join(sticky, "planted.log")
        open(planted, "w").close()
        os.chown(planted, pwd.getpwnam(TEST_USER).pw_uid, -1)
        cases.append(planted)
    for i, log in enumerate(cases):
        app = App(root, f"App{i}")
        app.stage_file("A.dll", "new")
        app.run(log=log)
        app.expect_clean_exit(False)
        expect(app.read("A.dll") == "new", f"{log}: the run went on")
    expect(open(protected).read() == "secret\n", "the second name's file written")
    expect(len(cases) == 1 or os.path.getsize(cases[1]) == 0, "another user's file in a sticky folder written")
    app = App(root, "Broken")
    app.stage_file("a\n[1] fake.dll", "new")
    log = os.path.join(root, "own.log")
    app.run(log=log)
    with open(log, encoding="utf-8") as f:
        lines = f.read().splitlines()
    expect(all(re.match(r"\[\d+\] ", line) for line in lines) and any("a\\x0a[1] fake.dll" in l for l in lines),
           f"a line break in a name stays on its line: {lines}")


@scenario()
def host_names_start_what_they_name(root):
    cases = [
        (["/bin/Main.exe"], "bin/Main.exe", True),
        (["-bin\\Main.exe"], "bin/Main.exe", True),
        (["/../Other/Main.exe"], "../Other/Main.exe", True),
        (["/My App.exe"], "My App.exe", True),
        ([], "Main.exe", False),
        (["/"], "Main.exe", False),
        (["Main.exe", "/Main.exe"], "Main.exe", False),
        (["/C:\\Other\\Main.exe"], "Main.exe", False),
    ]
    results = []
    for i, (args, rel, starts) in enumerate(cases):
        app = App(os.path.join(root, str(i)))
        marker = make_host(app, rel)
        app.run(*args)
        app.expect_clean_exit(False)
        results.append((args, marker, starts))
    for args, marker, starts in results:
        expect(wait_for(marker, 20 if starts else 1) == starts,
               f"{args}: host {'started' if starts else 'not started'}")


@scenario("win32")
def quoted_host_names_on_the_windows_command_line(root):
    # Exact command lines, as another program would pass them: the quotes
    # may stand around the whole option or after its slash.
    results = []
    for i, tail in enumerate(('"/My App.exe"', '/"My App.exe"', '"/My App.exe" "x y" /Main.exe')):
        app = App(os.path.join(root, str(i)))
        marker = make_host(app, "My App.exe")
        line = os.path.join(root, f"cmdline{i}")
        with open(line, "wb") as f:
            f.write(f'"{windows_path(app.path(app.exe_name))}" {tail}'.encode())
        hand_to_test_user(root)
        r = subprocess.run([OPTS.runner, OPTS.launcher, line], cwd=app.dir, stdin=subprocess.DEVNULL,
                           capture_output=True, timeout=300)
        expect(r.returncode == 0, f"{tail}: exit code {r.returncode}")
        results.append((tail, marker))
    for tail, marker in results:
        expect(wait_for(marker, 30), f"{tail}: My App.exe started")


@scenario("win32")
def a_huge_unbalanced_windows_command_line_is_harmless(root):
    app = App(root)
    app.stage_file("Main.exe", "new")
    line = os.path.join(root, "cmdline")
    with open(line, "wb") as f:
        f.write(f'"{windows_path(app.path(app.exe_name))}" "/'.encode() + b'"' * 20000 +
                b"\\" * 6000 + b' x "y' * 100 + b"\x81")
    hand_to_test_user(root)
    r = subprocess.run([OPTS.runner, OPTS.launcher, line], cwd=app.dir, stdin=subprocess.DEVNULL,
                       capture_output=True, timeout=300)
    expect(r.returncode == 0, f"exit code {r.returncode}")
    expect(app.read("Main.exe") == "new", "the pass still ran")


# ---------------------------------------------------------------- hostile surroundings

TEMPORARY_PREFIX = ".selfupdate-"


def temporaries(app):
    return [n for n in app.names() if n.startswith(TEMPORARY_PREFIX)]


@scenario("linux")
def each_step_is_durable_before_the_next_depends_on_it(root):
    # A power cut at any moment leaves a whole version in place: each new file
    # is flushed before it is renamed into place, the folder is flushed
    # before the staged copy goes, and the staging folder once after the
    # last staged copy has gone, so no applied copy comes back to be applied
    # again over the backup.
    if not shutil.which("strace"):
        raise Skip("needs strace")
    app = App(root)
    app.write("Main.exe", "old")
    app.stage_file("Main.exe", "new")
    app.stage_file("Core.dll", "core")
    log = os.path.join(root, "trace")
    subprocess.run([shutil.which("strace"), "-f", "-y", "-qq", "-o", log, "-e",
                    "trace=fsync,syncfs,unlinkat,renameat,renameat2", app.path(app.exe_name)],
                   cwd=app.dir, stdin=subprocess.DEVNULL, capture_output=True, env=traced_env(), timeout=60)
    with open(log) as f:
        steps = [line.split(None, 1)[-1] for line in f if "= 0" in line]

    def flushed(path):
        return [i for i, l in enumerate(steps) if re.match(rf"(fsync|syncfs)\(\d+<{re.escape(path)}>\)", l)]
    stage = app.path("SelfTemp")
    for name in ("Main.exe", "Core.dll"):
        into = [i for i, l in enumerate(steps) if l.startswith("renameat(") and f'"{name}")' in l]
        gone = [i for i, l in enumerate(steps) if l.startswith("unlinkat(") and f'<{stage}>, "{name}"' in l]
        expect(len(into) == 1 and len(gone) == 1, f"{name}: renamed into place {into}, staged copy removed {gone}")
        temporary = re.search(r'"([^"]+)", \d+<', steps[into[0]]).group(1)
        expect(any(i < into[0] for i in flushed(app.path(temporary))), f"{name}: not flushed before its rename")
        expect(any(into[0] < i < gone[0] for i in flushed(app.dir)),
               f"{name}: the folder not flushed between the rename and the staged copy's removal")
    last_removal = max(i for i, l in enumerate(steps) if l.startswith("unlinkat(") and f"<{stage}>" in l)
    expect(any(i > last_removal for i in flushed(stage)), f"the staging folder not flushed at the end: {steps}")


def traced_env():
    # LeakSanitizer cannot work under ptrace; a sanitized build would fail
    # every traced run for that alone.
    return dict(os.environ, ASAN_OPTIONS="detect_leaks=0")


def own_path_reading(root):
    """Which reading of /proc/self/exe in a run is the updater's own: the
    last one, after those its runtime makes before main (the sanitizers' and
    the static C library's), counted in a run of a copy of its own."""
    app = App(root, "Count")
    log = os.path.join(root, "count-trace")
    subprocess.run([shutil.which("strace"), "-qq", "-o", log, "-e", "trace=readlink", app.path(app.exe_name)],
                   cwd=app.dir, stdin=subprocess.DEVNULL, capture_output=True, env=traced_env(), timeout=60)
    with open(log) as f:
        return sum('"/proc/self/exe"' in line for line in f)


def as_test_user(unprivileged):
    """What runs a Linux command as the unprivileged test user when asked to
    and started as root; nothing otherwise."""
    if not unprivileged or os.geteuid() != 0:
        return []
    user = pwd.getpwnam(TEST_USER)
    return ["setpriv", f"--reuid={user.pw_uid}", f"--regid={user.pw_gid}", "--clear-groups", "--"]


def traced(app, inject, *args, cwd=None, log="/dev/null", unprivileged=False):
    """Starts the updater under strace with one injection, without waiting.
    The injected call is written to `log` once it has been made. Unprivileged,
    only the updater runs as the test user."""
    call = inject.split(":")[0]
    if unprivileged:
        hand_to_test_user(app.root)
    cmd = [shutil.which("strace"), "-f", "-qq", "-o", log, "-e", "trace=" + call, "-e", "inject=" + inject,
           *as_test_user(unprivileged), app.path(app.exe_name)] + list(args)
    return subprocess.Popen(cmd, cwd=cwd or app.dir, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=traced_env())


def updater_pids(app):
    exe = app.path(app.exe_name)
    pids = []
    for pid in os.listdir("/proc"):
        try:
            if pid.isdigit() and os.readlink(f"/proc/{pid}/exe") == exe:
                pids.append(int(pid))
        except OSError:
            pass
    return pids


def until(what, seconds=60):
    end = time.monotonic() + seconds
    while not what():
        if time.monotonic() > end:
            raise Check("the traced run never got there")
        time.sleep(0.02)


@scenario("linux")
def two_updaters_at_once_lose_nothing(root):
    # The first run stalls in its first flush, with its copy's temporary
    # written; a second run starts then. In the other round the first is
    # killed there, and the second finishes the work. Both as root and as an
    # ordinary user, who cannot open a file whatever its mode as root can.
    if not shutil.which("strace"):
        raise Skip("needs strace")
    for kill_first, unprivileged in itertools.product((False, True), repeat=2):
        app = App(root, f"App{int(kill_first)}{int(unprivileged)}")
        app.write("Main.exe", "old main")
        app.stage_file("Main.exe", "new main" * 1000)
        app.stage_file("Core.dll", "new core")
        first = traced(app, "fsync:delay_enter=3000000:when=1", unprivileged=unprivileged)
        until(lambda: temporaries(app))
        second = app.start(unprivileged)
        if kill_first:
            for pid in updater_pids(app):
                if pid != second.pid:
                    os.kill(pid, 9)
        first.communicate(timeout=120)
        out, err = second.communicate(timeout=120)
        expect(second.returncode == 0 and err == b"", f"second run: {second.returncode} {err!r}")
        if not kill_first:
            expect(first.returncode == 0, f"first run: exit code {first.returncode}")
        expect(app.read("Main.exe") == "new main" * 1000, f"Main.exe holds {app.read('Main.exe')!r:.40}")
        expect(app.read("Main.exe.Old") == "old main", "old version kept as backup")
        expect(app.read("Core.dll") == "new core", "Core.dll applied")
        expect(app.names("SelfTemp") == [] and temporaries(app) == [],
               f"staged {app.names('SelfTemp')}, temporaries {temporaries(app)}")


@scenario("linux")
def only_an_updater_holds_the_run_lock(root):
    # A lock on the folder itself, as any reader may take, delays nothing; the
    # lock's own file can be opened by no one who may not write the folder.
    app = App(root, "Read")
    app.stage_file("Main.exe", "new")
    reader = subprocess.Popen([sys.executable, "-c", HOLD_LOCK, app.dir, "flock"], stdout=subprocess.PIPE)
    reader.stdout.readline()
    try:
        app.run()
    finally:
        reader.kill()
        reader.wait()
    expect(app.rc == 0 and app.read("Main.exe") == "new", f"applied past a reader's lock: {app.rc}")
    expect(not os.path.exists(app.path(RUN_LOCK)), "the lock's file is gone with the run")

    # Another updater holding it is seen as such: with nothing staged there is
    # nothing to wait for, and the host comes back at once. (The bounded wait
    # itself is the start-up's, tested against the double.)
    app = App(root, "Held")
    marker = make_host(app, "Main.exe")
    holder = subprocess.Popen([sys.executable, "-c", HOLD_LOCK, app.path(RUN_LOCK)], stdout=subprocess.PIPE)
    holder.stdout.readline()
    log = os.path.join(root, "held.log")
    try:
        app.run("/Main.exe", log=log)
    finally:
        holder.kill()
        holder.wait()
    with open(log, encoding="utf-8") as f:
        lines = f.read()
    # A run that waited would end with 2: the holder never lets go.
    expect(app.rc == 0 and "failed, busy" in lines and "wait " not in lines,
           f"exit code {app.rc}, log {lines!r}")
    expect(wait_for(marker, 20), "host started")

    # A lock file replaced, or removed, between its opening and its locking
    # locks nothing the next updater would look at: the run takes the lock
    # again, on the file now at the name, and never runs without it. The
    # lock's fcntl is held back while the file is swapped. Before that, the
    # file is seen as made: no read bits, no write bits the folder does not
    # give, and, made by root, the folder owner's.
    if not shutil.which("strace"):
        raise Skip("needs strace")
    count = App(root, "Count")
    subprocess.run([shutil.which("strace"), "-f", "-qq", "-o", os.path.join(root, "count.trace"), "-e",
                    "trace=fcntl", count.path(count.exe_name)], cwd=count.dir, stdin=subprocess.DEVNULL,
                   capture_output=True, env=traced_env(), timeout=60)
    with open(os.path.join(root, "count.trace")) as f:
        calls = [line for line in f if "fcntl(" in line]
    nth = next(i for i, line in enumerate(calls, 1) if "F_OFD_SETLK" in line)
    for swap in ("replaced", "removed"):
        app = App(root, swap.title())
        app.stage_file("Main.exe", "new")
        trace = os.path.join(root, f"{swap}.trace")
        if os.geteuid() == 0:
            os.chown(app.dir, 65534, 65534)
        p = traced(app, f"fcntl:delay_enter=1500000:when={nth}", log=trace)
        until(lambda: os.path.exists(app.path(RUN_LOCK)))
        time.sleep(0.5)
        made = os.stat(app.path(RUN_LOCK))
        expect(made.st_mode & 0o444 == 0 and made.st_mode & 0o022 == 0, f"lock file mode {made.st_mode & 0o777:o}")
        expect(os.geteuid() != 0 or (made.st_uid, made.st_gid) == (65534, 65534),
               f"lock file owner {made.st_uid}:{made.st_gid}, wanted the folder's")
        if swap == "replaced":
            fresh = app.path("fresh")
            os.close(os.open(fresh, os.O_WRONLY | os.O_CREAT, 0o200))
            os.rename(fresh, app.path(RUN_LOCK))
        else:
            os.remove(app.path(RUN_LOCK))
        p.communicate(timeout=120)
        with open(trace) as f:
            locks = [line for line in f if "F_OFD_SETLK" in line]
        expect(p.returncode == 0 and app.read("Main.exe") == "new", f"{swap}: exit code {p.returncode}")
        expect(len(locks) >= 2, f"{swap}: locked {len(locks)} times, expected a second try: {locks}")


# Locks a path, then says so: the run lock's file as another updater would
# take it, or with "flock" a folder as any reader may.
HOLD_LOCK = """
import fcntl, os, sys, time
if sys.argv[2:] == ["flock"]:
    fcntl.flock(os.open(sys.argv[1], os.O_RDONLY), fcntl.LOCK_EX)
else:
    fcntl.lockf(os.open(sys.argv[1], os.O_WRONLY | os.O_CREAT, 0o200), fcntl.LOCK_EX)
print("held", flush=True)
time.sleep(600)
"""


@scenario("linux")
def twins_are_never_overwritten_or_deleted(root):
    # Names differing only in letter case: the pass acts on the exact name.
    # Core.dll is applied beside its twin core.dll, with or without a copy
    # that fails; Main.exe still gets its backup beside two twin backups.
    for fail in (False, True):
        app = App(root, f"App{int(fail)}")
        app.write("Core.dll", "old core")
        app.write("core.dll", "unrelated")
        app.write("CORE.DLL.OLD", "twin's backup")
        if fail:
            os.makedirs(app.stage)
            os.symlink("/nonexistent/target", os.path.join(app.stage, "Core.dll"))
        else:
            app.stage_file("Core.dll", "new core")
        app.run()
        app.expect_clean_exit(fail)
        expect(app.read("core.dll") == "unrelated", f"twin kept (copy {'failed' if fail else 'done'})")
        expect(app.read("CORE.DLL.OLD") == "twin's backup", "a twin's backup kept")
        expect(app.read("Core.dll") == ("old core" if fail else "new core"), "Core.dll as it should be")
        expect(fail or app.read("Core.dll.Old") == "old core", "old Core.dll kept as backup")
    # The older backup under the exact name, removed first, was the twin of
    # the one other backup left: that one still does not count as the backup.
    for n, older in enumerate(({"MAIN.EXE.OLD": "twin 2"}, {"Main.exe.Old": "older"}), 2):
        app = App(root, f"App{n}")
        app.write("Main.exe", "old main")
        app.write("main.exe.old", "twin 1")
        for name, content in older.items():
            app.write(name, content)
        app.stage_file("Main.exe", "new main")
        app.run()
        app.expect_clean_exit(False)
        got = {n: app.read(n) for n in app.names() if n != app.exe_name}
        kept = {k: v for k, v in older.items() if k != "Main.exe.Old"}
        expect(got == {"Main.exe": "new main", "Main.exe.Old": "old main", "main.exe.old": "twin 1",
                       "SelfTemp": None, **kept}, f"folder holds {got}")


@scenario("linux")
def a_staged_fifo_or_device_is_never_read(root):
    app = App(root)
    app.write("Main.exe", "old")
    os.makedirs(app.stage)
    os.mkfifo(os.path.join(app.stage, "Main.exe"))
    os.symlink("/dev/zero", os.path.join(app.stage, "Zero.dll"))
    make_host(app, "Host.exe")
    for _ in range(2):  # the next run meets the same
        app.run("/Host.exe", timeout=60)
        app.expect_clean_exit(True)
        expect(app.read("Main.exe") == "old" and not os.path.exists(app.path("Main.exe.Old")),
               "old version back in place")
    expect(wait_for(app.path("started-Host.exe.txt"), 20), "host started")


# Notes the signals it was started blocking and ignoring, its session, and
# what its descriptors open. Perl, since a shell unblocks every signal as it
# starts.
STATE_HOST = r"""open(STDOUT, ">", "$0.tmp"); open(S, "/proc/self/status"); print grep { /^Sig(Blk|Ign)/ } <S>;
open(T, "/proc/self/stat"); print "Sid: " . (split / /, (split /\) /, <T>)[1])[3] . "
";
opendir(D, "/proc/self/fd"); print map { "$_ " . readlink("/proc/self/fd/$_") . "\n" } grep { /^\d/ } readdir D;
close STDOUT; rename("$0.tmp", "$0.txt");"""


@scenario("linux")
def a_closed_stderr_pipe_ends_nothing_and_the_host_starts_clean(root):
    # The host started the updater with piped standard error and has exited:
    # the failure message goes nowhere, and the run goes on to the relaunch.
    # It also left the updater a descriptor, a blocked and an ignored signal;
    # the relaunched host gets none of them, nor what the updater ignores.
    if not shutil.which("perl"):
        raise Skip("needs perl")
    app = App(root)
    os.makedirs(app.path("Core.dll"))
    os.makedirs(app.path("Core.dll.Old"))
    app.stage_file("Core.dll", "new")
    app.write("Main.exe", f"#!{shutil.which('perl')}\n{STATE_HOST}\n", mode=0o755)
    extra = os.open(app.path("Core.dll.Old"), os.O_RDONLY)
    p = subprocess.Popen([app.path(app.exe_name), "/Main.exe"], cwd=app.dir, stdin=subprocess.PIPE,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, pass_fds=(extra,),
                         preexec_fn=lambda: (signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGUSR1]),
                                             signal.signal(signal.SIGUSR2, signal.SIG_IGN)))
    os.close(extra)
    p.stderr.close()
    p.stdin.close()
    expect(p.wait(timeout=60) == 0, f"exit code {p.returncode}")
    expect(wait_for(app.path("Main.exe.txt"), 20), "host started")
    with open(app.path("Main.exe.txt")) as f:
        state = dict(line.split(None, 1) for line in f.read().splitlines())
    blocked, ignored = int(state.pop("SigBlk:"), 16), int(state.pop("SigIgn:"), 16)
    session = int(state.pop("Sid:"))
    expect(session != os.getsid(0), "the host was left in the updater's session")
    expect(state.get("0") == "/dev/null", f"the host's standard input: {state.get('0')}")
    # Perl starts ignoring SIGFPE itself.
    expect(blocked == 0 and ignored & ~(1 << (signal.SIGFPE - 1)) == 0,
           f"the host was started blocking {blocked:x} and ignoring {ignored:x}")
    expect(app.path("Core.dll.Old") not in state.values(), f"the host was started with descriptors {state}")

    # Started with standard input and error closed, the run must not hand
    # those numbers to the files it opens: the lock file would take
    # descriptor 2, the failure message would be written into it, and the
    # host would start without a standard error (the lock's closes on exec).
    closed = App(root, "Closed")
    closed.write("Core.dll", "old")
    closed.write("Main.exe", f"#!{shutil.which('perl')}\n{STATE_HOST}\n", mode=0o755)
    os.makedirs(closed.stage)
    os.symlink("/nonexistent/target", os.path.join(closed.stage, "Core.dll"))
    p = subprocess.Popen([closed.path(closed.exe_name), "/Main.exe"], cwd=closed.dir, close_fds=True,
                         stdout=subprocess.DEVNULL, preexec_fn=lambda: (os.close(0), os.close(2)))
    expect(p.wait(timeout=60) == 0, f"with no standard descriptors: exit code {p.returncode}")
    expect(wait_for(closed.path("Main.exe.txt"), 20), "host started")
    with open(closed.path("Main.exe.txt")) as f:
        fds = dict(line.split(None, 1) for line in f.read().splitlines() if not line.startswith(("Sig", "Sid")))
    expect(fds.get("2") == "/dev/null", f"the host's standard error: {fds.get('2')}")


@scenario("linux")
def a_deep_host_name_starts_nothing_and_crashes_nothing(root):
    app = App(root)
    app.stage_file("Main.exe", "new")
    app.run("/" + "a\\" * 8000 + "x")
    app.expect_clean_exit(False)
    expect(app.read("Main.exe") == "new", "the pass ran")


@scenario("linux")
def the_own_path_is_read_once(root):
    # The updater's folder gets a name that cannot be presented while the run
    # is under way. Neither the pass nor the relaunch may fall back on the
    # current folder, which here holds a staged file and a host of its own.
    if not shutil.which("strace"):
        raise Skip("needs strace")
    app = App(root)
    elsewhere = App(root, "Elsewhere")
    elsewhere.stage_file("Main.exe", "must stay staged")
    marker = make_host(elsewhere, "Main.exe")
    os.makedirs(app.stage)
    # The pause follows the updater's own reading.
    log = os.path.join(root, "trace")
    p = traced(app, f"readlink:delay_exit=1000000:when={own_path_reading(root)}", "/Main.exe",
               cwd=elsewhere.dir, log=log)
    until(lambda: os.path.exists(log) and "DELAYED" in open(log).read())
    os.rename(app.dir.encode(), os.path.join(root.encode(), b"\xff"))
    _, err = p.communicate(timeout=60)
    expect(p.returncode == 0, f"exit code {p.returncode}, stderr {err!r}")
    expect(elsewhere.read("SelfTemp/Main.exe") == "must stay staged", "the current folder's staging untouched")
    expect(not wait_for(marker, 1), "nothing started from the current folder")


NO_OVERLAY = 77


@scenario("linux")
def each_folder_is_read_a_bounded_number_of_times(root):
    # However many files are staged, and on overlayfs too (where no change
    # notification can be trusted), each folder is read O(1) times. A file
    # of known size is copied without a call that only finds its end.
    if not shutil.which("strace"):
        raise Skip("needs strace")
    mounts = [False] + ([True] if os.geteuid() == 0 and shutil.which("unshare") else [])
    for overlay in mounts:
        app = App(root, f"App{int(overlay)}")
        for i in range(400):
            app.write(f"lib{i}.dll", "old")
            app.stage_file(f"LIB{i}.DLL", "new")
        trace = os.path.join(root, f"trace{int(overlay)}")
        run = f'strace -f -qq -o "{trace}" -e trace=getdents64,copy_file_range ./{app.exe_name}'
        if overlay:
            lower, work, merged = (os.path.join(root, n) for n in ("lower", "work", "merged"))
            for d in (work, merged):
                os.makedirs(d)
            os.rename(app.dir, lower)
            run = (f'mount -t overlay overlay -o lowerdir="{lower}",upperdir="{lower}-up",workdir="{work}" '
                   f'"{merged}" || exit {NO_OVERLAY}; cd "{merged}" && {run}; rc=$?; '
                   f'cp -a "{merged}/." "{app.dir}"; exit $rc')
            os.makedirs(lower + "-up")
            os.makedirs(app.dir)
        else:
            run = f'cd "{app.dir}" && {run}'
        r = subprocess.run(["unshare", "-m", "sh", "-c", run] if overlay else ["sh", "-c", run],
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=300, env=traced_env())
        if overlay and r.returncode == NO_OVERLAY:
            raise Skip("the plain run passed; overlayfs cannot be mounted here")
        expect(r.returncode == 0, f"exit code {r.returncode} {r.stderr[-500:]!r}")
        expect(app.read("LIB399.DLL") == "new" and app.read("LIB399.DLL.Old") == "old", "applied")
        with open(trace) as f:
            calls = [line.split("(")[0].split()[-1] for line in f if "(" in line]
        reads, copies = calls.count("getdents64"), calls.count("copy_file_range")
        where = "overlayfs" if overlay else "plain"
        expect(reads <= 12, f"{where}: {reads} folder reads for 400 files")
        expect(copies <= 400, f"{where}: {copies} copy_file_range calls for 400 files")


# ---------------------------------------------------------------- driver

def main():
    global OPTS
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", required=True)
    ap.add_argument("--platform", choices=("linux", "win32"), required=True)
    ap.add_argument("--runner", default="")
    ap.add_argument("--host-exe", default="", help="Windows: the stand-in host program")
    ap.add_argument("--launcher", default="", help="Windows: starts a program with an exact command line")
    ap.add_argument("-k", default="", help="run only scenarios whose name contains this")
    OPTS = ap.parse_args()
    OPTS.exe = os.path.abspath(OPTS.exe)
    if OPTS.runner and runner_cannot_run(OPTS.runner):
        return SKIPPED

    passed = failed = 0
    for name, platforms, fn in SCENARIOS:
        if OPTS.platform not in platforms or OPTS.k not in name:
            continue
        root = tempfile.mkdtemp(prefix="selfupdate-e2e-")
        if OPTS.platform == "win32":
            hand_to_test_user(root)
        try:
            fn(root)
            passed += 1
            print(f"PASS {name}")
        except Skip as e:
            print(f"SKIP {name}: {e}")
        except Check as e:
            failed += 1
            print(f"FAIL {name}: {e}")
        except Exception:
            failed += 1
            print(f"FAIL {name}:\n{traceback.format_exc()}")
        finally:
            shutil.rmtree(root, ignore_errors=True)
    print(f"{passed} passed, {failed} failed")
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
