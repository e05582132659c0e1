#!/usr/bin/env python3
"""Checks how the Windows build guards the executable's size budget, in a
build folder of its own:

1. with a budget the executable cannot meet, or with a function it imports
   counted among those that start threads, building it fails, says why,
   leaves no SelfUpdate.exe behind, and fails again when repeated;
2. configured as if the toolchain were not the one the runtime trim was
   written for, configuring warns, and the executable is built with the full
   runtime (larger than the budget) without failing, and passes every
   other check of the executable as a file (check_win32_exe.py).

usage: check_size_budget.py --source DIR --toolchain FILE --build-type TYPE --version X.Y.Z
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

TINY_BUDGET = 4096
OTHER_TOOLCHAIN = "GCC 1.0.0, libstdc++ 19990101, mingw-w64 1.0.0"
# Each setting below starts from the build's own budget and import list.
DEFAULTS = ["-USELFUPDATE_SIZE_BUDGET", "-USELFUPDATE_THREAD_IMPORTS"]


def run(cmd):
    """Exit status and output, with CMake's line wrapping undone."""
    r = subprocess.run(cmd, stdin=subprocess.DEVNULL, capture_output=True, text=True)
    return r.returncode, " ".join((r.stdout + r.stderr).split())


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--source", required=True)
    ap.add_argument("--toolchain", required=True)
    ap.add_argument("--build-type", required=True)
    ap.add_argument("--version", required=True)
    opts = ap.parse_args()

    problems = []
    build = tempfile.mkdtemp(prefix="selfupdate-budget-")
    exe = os.path.join(build, "SelfUpdate.exe")
    configure = ["cmake", "-S", opts.source, "-B", build, "-G", "Unix Makefiles",
                 f"-DCMAKE_TOOLCHAIN_FILE={opts.toolchain}", f"-DCMAKE_BUILD_TYPE={opts.build_type}",
                 "-DSELFUPDATE_TESTS=OFF", "-DCMAKE_COMPILE_WARNING_AS_ERROR=ON"]
    make = ["cmake", "--build", build, "--target", "SelfUpdate", "-j2"]
    try:
        status, out = run(configure)
        if status != 0:
            print(f"FAIL: configuring\n{out[-3000:]}")
            return 1
        # The message box's import stands in for one that starts a thread.
        for setting, reason in ((f"-DSELFUPDATE_SIZE_BUDGET={TINY_BUDGET}", f"over the budget of {TINY_BUDGET}"),
                                ("-DSELFUPDATE_THREAD_IMPORTS=CreateThread;MessageBoxW", "imports MessageBoxW")):
            status, out = run(configure + DEFAULTS + [setting])
            for attempt in ("first", "repeated"):
                status, out = run(make)
                if status == 0 or reason not in out:
                    problems.append(f"{attempt} build with {setting}: exit {status}\n{out[-2000:]}")
                if os.path.exists(exe):
                    problems.append(f"{attempt} build with {setting} left SelfUpdate.exe behind")

        status, out = run(configure + DEFAULTS + [f"-DSELFUPDATE_TRIM_TOOLCHAIN={OTHER_TOOLCHAIN}"])
        if status != 0 or "built with the full runtime" not in out or OTHER_TOOLCHAIN not in out:
            problems.append(f"configuring for another toolchain: exit {status}, no warning naming it\n"
                            f"{out[-2000:]}")
        status, out = run(make)
        size = os.path.getsize(exe) if os.path.exists(exe) else 0
        if status != 0 or size <= TINY_BUDGET:
            problems.append(f"untrimmed build: exit {status}, {size} bytes\n{out[-2000:]}")
        else:
            print(f"untrimmed SelfUpdate.exe: {size} bytes")
            checker = os.path.join(os.path.dirname(os.path.abspath(__file__)), "check_win32_exe.py")
            status, out = run([sys.executable, checker, "--version", opts.version, exe])
            if status != 0:
                problems.append(f"untrimmed SelfUpdate.exe: {out}")
    finally:
        shutil.rmtree(build, ignore_errors=True)

    for p in problems:
        print(f"FAIL: {p}")
    if not problems:
        print("PASS: over the budget or importing a thread the build fails every time; "
              "another toolchain builds untrimmed, warned")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
