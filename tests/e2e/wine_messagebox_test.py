#!/usr/bin/env python3
"""The Windows updater's failure message, shown for real.

Runs SelfUpdate.exe under Wine on a virtual X display (Xvfb) in an
application folder where one copy cannot succeed, finds the message box by
its caption with xdotool while the updater waits for it, presses Return, and
checks that the updater then ends with exit code 0. Wine's relay trace of
MessageBoxA and MessageBoxW (see cmake/wine-run.sh) shows what the box was
given: in code page 936 the text's own bytes; in any other code page, where
those bytes would read as something else, the same text in UTF-16. Once in
each of the code pages 936 and 1252.

usage: wine_messagebox_test.py --exe SelfUpdate.exe --runner cmake/wine-run.sh

Exits 77 (skipped) when Xvfb or xdotool is missing. SELFUPDATE_WINEPREFIX
names the Wine prefix; it should be one that no run without a display uses
(Wine's desktop process keeps the display of the session that started it).
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

SKIPPED = 77
MESSAGE = '文件复制失败，请到到安装目录运行"Setup.Exe"程序。'
# The locales that give Wine the code pages the tests run the updater in: the
# one its texts are written in, a Western one, another East Asian one.
LOCALES = {936: "zh_CN.UTF-8", 1252: "en_US.UTF-8", 932: "ja_JP.UTF-8"}
# Those the box is shown in here.
BOX_CODE_PAGES = (936, 1252)
MB_OK_ICONEXCLAMATION = 0x30
IDOK = 1
# Only against hangs: Wine's first start in a new prefix takes a while.
PATIENCE = 180

# The function (A or W), the owner, the text, the caption and the type.
CALL = re.compile(r'Call user32\.MessageBox([AW])\(([0-9a-f]{8}),[0-9a-f]{8} L?"((?:[^"\\]|\\.)*)",'
                  r'[0-9a-f]{8} L?"((?:[^"\\]|\\.)*)",([0-9a-f]{8})\)')
RETURN = re.compile(r'Ret  user32\.MessageBox[AW]\(\) retval=([0-9a-f]{8})')


class Failure(Exception):
    pass


def expect(cond, what):
    if not cond:
        raise Failure(what)


def wine_string(escaped):
    """The bytes of a string as Wine's trace writes it ("\\xce\\xc4...")."""
    out = bytearray()
    i = 0
    simple = {"n": 10, "r": 13, "t": 9, '"': 34, "\\": 92}
    while i < len(escaped):
        c = escaped[i]
        if c != "\\":
            out += c.encode("latin-1")
            i += 1
        elif escaped[i + 1] == "x":
            out.append(int(escaped[i + 2:i + 4], 16))
            i += 4
        else:
            out.append(simple[escaped[i + 1]])
            i += 2
    return bytes(out)


def wine_wide_string(escaped):
    """A UTF-16 string as Wine's trace writes it ("\\6587\\4ef6...")."""
    simple = {"n": "\n", "r": "\r", "t": "\t"}
    return re.sub(r"\\([0-9a-f]{4}|.)",
                  lambda m: chr(int(m[1], 16)) if len(m[1]) == 4 else simple.get(m[1], m[1]), escaped)


def shown(call):
    """A traced call as (function, owner, text, caption, type), with the
    texts as bytes for MessageBoxA and as characters for MessageBoxW."""
    function, owner, text, caption, kind = call
    read = wine_string if function == "A" else wine_wide_string
    return function, owner, read(text), read(caption), kind


def expected_box(code_page, caption):
    """What a box with the failure message is given in `code_page`."""
    if code_page == 936:
        return "A", "00000000", MESSAGE.encode("cp936"), caption.encode(), "00000030"
    return "W", "00000000", MESSAGE, caption, "00000030"


def start_xvfb():
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                             "-nolisten", "tcp"], pass_fds=(write_end,),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = b""
    with os.fdopen(read_end, "rb") as pipe:
        while not number.endswith(b"\n"):
            chunk = pipe.read(1)
            if not chunk:
                break
            number += chunk
    expect(number.strip().isdigit(), "Xvfb reported no display number")
    return xvfb, ":" + number.decode().strip()


def windows_named(display, name):
    # Only mapped windows: one found before it is shown cannot take the focus.
    r = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^" + re.escape(name) + "$"],
                       env=dict(os.environ, DISPLAY=display), capture_output=True, text=True)
    return r.stdout.split()


def xdotool(display, *args):
    subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=display), check=True,
                   stdout=subprocess.DEVNULL)


def make_app(root, exe):
    """An application folder where Core.dll is applied and then Main.exe
    fails: folders at its target and backup names leave the copy nowhere
    to write (a way that fails under Wine even for root). Zed.dll comes
    after it in the listing and stays staged."""
    app = os.path.join(root, "App")
    stage = os.path.join(app, "SelfTemp")
    os.makedirs(stage)
    os.makedirs(os.path.join(app, "Main.exe"))
    os.makedirs(os.path.join(app, "Main.exe.Old"))
    for name, content in (("Core.dll", b"new core"), ("Main.exe", b"new main"), ("Zed.dll", b"new zed")):
        with open(os.path.join(stage, name), "wb") as f:
            f.write(content)
    shutil.copy2(exe, os.path.join(app, os.path.basename(exe)))
    return app


def read(path):
    if not os.path.isfile(path):
        return None
    with open(path, "rb") as f:
        return f.read()


def end_wine_session(opts, prefix):
    # Through the runner, which talks to the server as the prefix's owner.
    subprocess.run([opts.runner, "wineserver", "-k"], env=dict(os.environ, SELFUPDATE_WINEPREFIX=prefix),
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


# Started as root, the runner runs Wine as this unprivileged user (see
# cmake/wine-run.sh), so what the program must reach or change is theirs.
TEST_USER = os.environ.get("SELFUPDATE_WINE_USER", "nobody")


def wine_route(runner):
    """How the runner runs programs of the build's bitness here (see
    cmake/wine-run.sh), printed so the log says what ran; None where there is
    no way and the run was told to skip them. Without a way, and without that
    word, the runner's reason ends the test as a failure."""
    r = subprocess.run([runner, "--check"], stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if r.returncode != 0:
        print(r.stderr.strip())
        if r.returncode != SKIPPED:
            sys.exit(1)
        return None
    print(f"Windows programs run by the route: {r.stdout.strip()}")
    return r.stdout.strip()


def runner_cannot_run(runner):
    return wine_route(runner) is None


def hand_to_test_user(path):
    if os.geteuid() == 0:
        subprocess.run(["chown", "-R", f"{TEST_USER}:", path], check=True)


def run(opts, root, prefix, code_page):
    caption = os.path.splitext(os.path.basename(opts.exe))[0]
    app = make_app(root, opts.exe)
    hand_to_test_user(root)
    xvfb, display = start_xvfb()
    trace_path = os.path.join(root, "trace.txt")
    proc = None
    try:
        env = dict(os.environ, SELFUPDATE_WINEPREFIX=prefix, SELFUPDATE_WINE_DISPLAY=display,
                   SELFUPDATE_WINEDEBUG="+relay", SELFUPDATE_WINE_LOCALE=LOCALES[code_page])
        with open(trace_path, "wb") as trace:
            proc = subprocess.Popen([opts.runner, os.path.join(app, os.path.basename(opts.exe))],
                                    cwd=app, env=env, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL, stderr=trace)

        deadline = time.monotonic() + PATIENCE
        found = []
        while not found and proc.poll() is None and time.monotonic() < deadline:
            time.sleep(0.2)
            found = windows_named(display, caption)
        expect(found, f"no window captioned {caption!r} appeared"
                      + (f" (the updater ended with {proc.returncode})" if proc.poll() is not None else ""))
        expect(len(found) == 1, f"one box expected, found windows {found}")

        # The updater is still running and still inside the call: the box
        # is modal and the run waits for the user.
        expect(proc.poll() is None, "the updater ended while its box was still shown")
        with open(trace_path, encoding="latin-1") as f:
            trace = f.read()
        calls = CALL.findall(trace)
        expect(len(calls) == 1, f"one message box call expected, trace shows {len(calls)}")
        expect(len(MESSAGE.encode("cp936")) == 49, "the message is 49 bytes")
        box = shown(calls[0])
        expect(box == expected_box(code_page, caption), f"{box}, expected {expected_box(code_page, caption)}")
        expect(int(box[4], 16) == MB_OK_ICONEXCLAMATION, f"type {box[4]}, expected OK with exclamation")
        expect(not RETURN.search(trace), "the message box returned before it was closed")

        xdotool(display, "windowfocus", "--sync", found[0])
        xdotool(display, "key", "Return")
        try:
            rc = proc.wait(timeout=PATIENCE)
        except subprocess.TimeoutExpired:
            raise Failure("the updater did not end after its box was closed")
        expect(rc == 0, f"exit code {rc}, expected 0")
        expect(not windows_named(display, caption), "the box is still there")
        with open(trace_path, encoding="latin-1") as f:
            returned = RETURN.findall(f.read())
        expect([int(r, 16) for r in returned] == [IDOK], f"the message box returned {returned}, expected IDOK")
    finally:
        if proc is not None and proc.poll() is None:
            proc.kill()
        xvfb.terminate()
        xvfb.wait()
        end_wine_session(opts, prefix)

    stage = os.path.join(app, "SelfTemp")
    expect(read(os.path.join(app, "Core.dll")) == b"new core", "Core.dll, before the failure, applied")
    expect(os.path.isdir(os.path.join(app, "Main.exe")), "the folder at Main.exe untouched")
    expect(read(os.path.join(stage, "Main.exe")) == b"new main", "Main.exe still staged")
    expect(read(os.path.join(stage, "Zed.dll")) == b"new zed" and
           not os.path.exists(os.path.join(app, "Zed.dll")), "Zed.dll, after the failure, left staged")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", required=True)
    ap.add_argument("--runner", required=True)
    opts = ap.parse_args()
    opts.exe = os.path.abspath(opts.exe)

    if runner_cannot_run(opts.runner):
        return SKIPPED
    missing = [tool for tool in ("Xvfb", "xdotool", "wineserver") if shutil.which(tool) is None]
    if missing:
        print(f"SKIP: {', '.join(missing)} not installed")
        return SKIPPED

    root = tempfile.mkdtemp(prefix="selfupdate-msgbox-")
    hand_to_test_user(root)
    prefix = os.environ.get("SELFUPDATE_WINEPREFIX") or os.path.join(root, "wineprefix")
    # A session left from an earlier run would still be bound to its display.
    if os.path.isdir(prefix):
        end_wine_session(opts, prefix)
    try:
        for code_page in BOX_CODE_PAGES:
            try:
                run(opts, os.path.join(root, str(code_page)), prefix, code_page)
            except Failure as e:
                # The first program run in a newly made prefix has been seen,
                # now and then, to get no window at all while Wine's own
                # desktop comes up. Once more, with the prefix made, before
                # it counts as a failure.
                if code_page != BOX_CODE_PAGES[0] or "no window captioned" not in str(e):
                    raise
                print(f"note: code page {code_page}: {e}; once more")
                run(opts, os.path.join(root, f"{code_page}-again"), prefix, code_page)
    except Failure as e:
        print(f"FAIL: code page {code_page}: {e}")
        return 1
    finally:
        shutil.rmtree(root, ignore_errors=True)
    print("PASS: in code pages 936 and 1252 the failure message was shown, waited for, closed, "
          "and the updater ended with 0")
    return 0


if __name__ == "__main__":
    sys.exit(main())
