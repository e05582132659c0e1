#!/usr/bin/env python3
"""Builds the updater a second time, from a copy of the sources and in a
build folder both of another name and depth, at another time, and checks
that the bytes equal those of the build under test.

usage: check_reproducible.py --source DIR --reference FILE --target NAME
                             --build-type TYPE [--toolchain FILE]

The second build is configured from scratch (tests off, so only the updater
is compiled) with SOURCE_DATE_EPOCH set, which nothing may use either. On a
difference it names the first differing offset and, for a PE file, whether
the header's link time is the cause.
"""

import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile


def pe_link_time(data):
    if data[:2] != b"MZ":
        return None
    (pe,) = struct.unpack_from("<I", data, 0x3C)
    return struct.unpack_from("<I", data, pe + 8)[0]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--source", required=True)
    ap.add_argument("--reference", required=True)
    ap.add_argument("--target", required=True)
    ap.add_argument("--build-type", required=True)
    ap.add_argument("--toolchain", default="")
    opts = ap.parse_args()

    with open(opts.reference, "rb") as f:
        reference = f.read()
    root = tempfile.mkdtemp(prefix="selfupdate-repro-")
    source = os.path.join(root, "another checkout", "src")
    build = os.path.join(root, "a folder of another name", "out")
    try:
        # The sources without their build folders and history.
        shutil.copytree(opts.source, source, symlinks=True,
                        ignore=lambda folder, names: [n for n in names if folder == opts.source
                                                      and n in ("build", "out", ".git")])
        configure = ["cmake", "-S", source, "-B", build, "-G", "Unix Makefiles",
                     f"-DCMAKE_BUILD_TYPE={opts.build_type}", "-DSELFUPDATE_TESTS=OFF"]
        if opts.toolchain:
            configure.append(f"-DCMAKE_TOOLCHAIN_FILE={opts.toolchain}")
        env = dict(os.environ, SOURCE_DATE_EPOCH="86400")
        for cmd in (configure, ["cmake", "--build", build, "--target", opts.target, "-j2"]):
            r = subprocess.run(cmd, env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True)
            if r.returncode != 0:
                print(f"FAIL: {' '.join(cmd)}\n{r.stdout[-3000:]}{r.stderr[-3000:]}")
                return 1
        name = os.path.basename(opts.reference)
        with open(os.path.join(build, name), "rb") as f:
            again = f.read()
    finally:
        shutil.rmtree(root, ignore_errors=True)

    if again == reference:
        print(f"PASS: {name} rebuilt in another folder is byte-identical ({len(again)} bytes)")
        return 0
    first = next((i for i, (a, b) in enumerate(zip(reference, again)) if a != b),
                 min(len(reference), len(again)))
    print(f"FAIL: {name} differs: {len(reference)} against {len(again)} bytes, first at offset {first:#x}")
    times = pe_link_time(reference), pe_link_time(again)
    if times[0] is not None and times[0] != times[1]:
        print(f"  PE link time {times[0]} against {times[1]}")
    return 1


if __name__ == "__main__":
    sys.exit(main())
