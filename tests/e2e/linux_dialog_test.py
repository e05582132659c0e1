#!/usr/bin/env python3
"""The Linux updater's failure message on a desktop, shown for real by each
dialog program it knows: zenity, kdialog and the fallback xmessage.

For each program that is installed, the updater runs on a virtual X display
(Xvfb) with only that program in its PATH, in an application folder where
one copy cannot succeed. The test finds the dialog by its caption while the
updater waits for it, takes a screenshot (kept in --artifacts, to be looked
at: the Chinese text must be readable), presses Return, and checks that the
updater then ends with exit code 0 and starts the host program again. For
xmessage, which draws with X core fonts, Xlib's complaint that the font set
lacks a character set means unreadable text and fails the test.

usage: linux_dialog_test.py --exe selfupdate --artifacts DIR

Exits 77 (skipped) when Xvfb, xdotool or ImageMagick's import is missing, or
no dialog program is installed.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

from wine_messagebox_test import Failure, expect, start_xvfb

SKIPPED = 77
MESSAGE = '文件复制失败，请到到安装目录运行"Setup.Exe"程序。'
CAPTION = "Update"
# The window title each program gives the caption.
TITLES = {"zenity": CAPTION, "kdialog": CAPTION + " — KDialog", "xmessage": CAPTION}
# Each program in a session without a locale (the updater gives it C.UTF-8);
# zenity also in a Chinese one of the user's, which it keeps (its button then
# reads 确定).
CASES = [(program, None) for program in TITLES] + [("zenity", "zh_CN.UTF-8")]
MISSING_CHARSETS = "Missing charsets"
# Only against hangs: a dialog program's first start can take a few seconds.
PATIENCE = 60
# Shell built-ins only: the updater runs with nothing but the dialog in PATH.
HOST = '#!/bin/sh\n: > "${0%/*}/host-started"\n'


def windows_titled(display, title):
    """Windows whose title is exactly `title`. xdotool's own pattern cannot
    match the non-ASCII dash of kdialog's titles, so it only narrows down."""
    env = dict(os.environ, DISPLAY=display)
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^" + re.escape(CAPTION)],
                           env=env, capture_output=True, text=True).stdout.split()
    return [w for w in found if subprocess.run(["xdotool", "getwindowname", w], env=env,
                                                capture_output=True, text=True).stdout.rstrip("\n") == title]


def make_app(root, exe):
    """Main.exe cannot be copied (folders at its name and its backup's), so
    the message is shown; Host.exe is started afterwards."""
    app = os.path.join(root, "App")
    os.makedirs(os.path.join(app, "SelfTemp"))
    os.makedirs(os.path.join(app, "Main.exe"))
    os.makedirs(os.path.join(app, "Main.exe.Old"))
    with open(os.path.join(app, "SelfTemp", "Main.exe"), "w") as f:
        f.write("new")
    with open(os.path.join(app, "Host.exe"), "w") as f:
        f.write(HOST)
    os.chmod(os.path.join(app, "Host.exe"), 0o755)
    shutil.copy2(exe, os.path.join(app, CAPTION))
    return app


def show(program, locale, opts, root):
    app = make_app(root, opts.exe)
    only = os.path.join(root, "bin")
    os.makedirs(only)
    os.symlink(shutil.which(program), os.path.join(only, program))
    home = os.path.join(root, "home")
    os.makedirs(home, mode=0o700)
    xvfb, display = start_xvfb()
    stderr_path = os.path.join(root, "stderr")
    proc = None
    try:
        env = {"PATH": only, "DISPLAY": display, "HOME": home, "XDG_RUNTIME_DIR": home}
        if locale:
            env["LANG"] = locale
        with open(stderr_path, "wb") as err:
            proc = subprocess.Popen([os.path.join(app, CAPTION), "/Host.exe"], cwd=app, env=env,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        deadline = time.monotonic() + PATIENCE
        found = []
        while not found and proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.2)
            found = windows_titled(display, TITLES[program])
        expect(found, f"no window titled {TITLES[program]!r} appeared"
                      + (f" (the updater ended with {proc.returncode})" if proc.poll() is not None else ""))
        expect(len(found) == 1, f"one dialog expected, found windows {found}")
        # Let it draw before the picture is taken.
        time.sleep(1)
        expect(proc.poll() is None, "the updater ended while its dialog was still shown")
        expect(not os.path.exists(os.path.join(app, "host-started")),
               "the host was started before the dialog was closed")
        os.makedirs(opts.artifacts, exist_ok=True)
        picture = os.path.join(opts.artifacts, f"dialog-{program}{'-' + locale if locale else ''}.png")
        subprocess.run(["import", "-display", display, "-window", found[0], picture],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        for args in (["windowfocus", "--sync", found[0]], ["key", "Return"]):
            subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=display), check=True,
                           stdout=subprocess.DEVNULL)
        try:
            rc = proc.wait(timeout=PATIENCE)
        except subprocess.TimeoutExpired:
            raise Failure("the updater did not end after its dialog was closed")
        expect(rc == 0, f"exit code {rc}, expected 0")
        expect(not windows_titled(display, TITLES[program]), "the dialog is still there")
    finally:
        if proc is not None and proc.poll() is None:
            proc.kill()
        xvfb.terminate()
        xvfb.wait()

    with open(stderr_path, encoding="utf-8", errors="replace") as f:
        said = f.read()
    expect(said.startswith(f"{CAPTION}\n{MESSAGE}\n"), f"standard error {said[:300]!r}")
    expect(MISSING_CHARSETS not in said, f"the dialog's fonts cannot show the text: {said[-300:]!r}")
    end = time.monotonic() + PATIENCE
    while not os.path.exists(os.path.join(app, "host-started")) and time.monotonic() < end:
        time.sleep(0.05)
    expect(os.path.exists(os.path.join(app, "host-started")), "the host was not started again")
    return picture


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", required=True)
    ap.add_argument("--artifacts", required=True)
    opts = ap.parse_args()
    opts.exe = os.path.abspath(opts.exe)

    missing = [t for t in ("Xvfb", "xdotool", "import") if shutil.which(t) is None]
    if missing:
        print(f"SKIP: {', '.join(missing)} not installed")
        return SKIPPED
    passed = failed = 0
    for program, locale in CASES:
        name = program + (f" in {locale}" if locale else "")
        if shutil.which(program) is None:
            print(f"SKIP {name}: not installed")
            continue
        root = tempfile.mkdtemp(prefix=f"selfupdate-dialog-{program}-")
        try:
            picture = show(program, locale, opts, root)
            passed += 1
            print(f"PASS {name}: shown, waited for, closed; exit code 0; host started; {picture}")
        except Failure as e:
            failed += 1
            print(f"FAIL {name}: {e}")
        finally:
            shutil.rmtree(root, ignore_errors=True)
    if not passed and not failed:
        return SKIPPED
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
