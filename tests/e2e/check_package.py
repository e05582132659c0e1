#!/usr/bin/env python3
"""Makes the vendor's archive with CPack, unpacks it as a vendor would and
checks it: exactly the expected files, SHA256SUMS listing every other file
with its right hash (also as `sha256sum -c` reads it, where that exists), the
updater inside byte-identical to the one built, and executable on Linux.
With --glibc-floor, the updater inside needs no C library symbol version
newer than that (a statically linked one needs none).

usage: check_package.py --build-dir DIR --exe FILE --files NAME... [--glibc-floor X.Y]
"""

import argparse
import glob
import hashlib
import os
import re
import shutil
import stat
import subprocess
import sys
import tarfile
import tempfile
import zipfile


def unpack(archive, into):
    """Unpacks the archive; returns {name: mode} of its regular files,
    relative to its one top folder."""
    if archive.endswith(".zip"):
        with zipfile.ZipFile(archive) as z:
            z.extractall(into)
            modes = {i.filename: (i.external_attr >> 16) for i in z.infolist() if not i.is_dir()}
    else:
        with tarfile.open(archive) as t:
            t.extractall(into, filter="tar")
            modes = {m.name: m.mode for m in t.getmembers() if m.isfile()}
    tops = {n.split("/", 1)[0] for n in modes}
    if len(tops) != 1:
        raise ValueError(f"expected one top folder, found {sorted(tops)}")
    return {n.split("/", 1)[1]: m for n, m in modes.items()}, os.path.join(into, tops.pop())


def glibc_versions(path):
    """The GNU C library symbol versions an ELF file needs, as readelf lists
    them ("2.34", ...); an empty list for a file that needs none."""
    r = subprocess.run(["readelf", "--wide", "--version-info", path], capture_output=True, text=True)
    if r.returncode != 0:
        raise RuntimeError(f"readelf: {r.stderr}")
    return sorted(set(re.findall(r"Name: GLIBC_(\S+)", r.stdout)))


def version_key(text):
    """"2.28" as (2, 28); anything else (GLIBC_PRIVATE) above every version."""
    return tuple(int(p) for p in text.split(".")) if re.fullmatch(r"\d+(\.\d+)*", text) else (1 << 30,)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", required=True)
    ap.add_argument("--exe", required=True)
    ap.add_argument("--files", nargs="+", required=True, help="names the archive must hold")
    ap.add_argument("--glibc-floor", help="the newest C library version the updater may need")
    opts = ap.parse_args()

    problems = []
    root = tempfile.mkdtemp(prefix="selfupdate-package-")
    try:
        r = subprocess.run(["cpack", "--config", os.path.join(opts.build_dir, "CPackConfig.cmake"),
                            "-B", os.path.join(root, "out")], cwd=opts.build_dir,
                           stdin=subprocess.DEVNULL, capture_output=True, text=True)
        archives = glob.glob(os.path.join(root, "out", "*.zip")) + \
            glob.glob(os.path.join(root, "out", "*.tar.gz"))
        if r.returncode != 0 or len(archives) != 1:
            print(f"FAIL: cpack made {archives}\n{r.stdout[-3000:]}{r.stderr[-3000:]}")
            return 1
        modes, top = unpack(archives[0], os.path.join(root, "unpacked"))

        names = sorted(modes)
        if names != sorted(opts.files):
            problems.append(f"archive holds {names}, expected {sorted(opts.files)}")
        sums = {}
        if "SHA256SUMS" in modes:
            with open(os.path.join(top, "SHA256SUMS"), encoding="ascii") as f:
                for line in f:
                    digest, name = line.rstrip("\n").split("  ", 1)
                    sums[name] = digest
        listed = sorted(n for n in names if n != "SHA256SUMS")
        if sorted(sums) != listed:
            problems.append(f"SHA256SUMS lists {sorted(sums)}, the archive holds {listed}")
        for name, digest in sums.items():
            path = os.path.join(top, name)
            if os.path.isfile(path):
                with open(path, "rb") as f:
                    actual = hashlib.sha256(f.read()).hexdigest()
                if actual != digest:
                    problems.append(f"{name}: hash {actual}, SHA256SUMS says {digest}")
        if shutil.which("sha256sum") and sums:
            c = subprocess.run(["sha256sum", "--strict", "-c", "SHA256SUMS"], cwd=top,
                               capture_output=True, text=True)
            if c.returncode != 0:
                problems.append(f"sha256sum -c: {c.stdout}{c.stderr}")

        exe = os.path.basename(opts.exe)
        with open(opts.exe, "rb") as f, open(os.path.join(top, exe), "rb") as g:
            if f.read() != g.read():
                problems.append(f"{exe} in the archive differs from the one built")
        if not exe.endswith(".exe") and not modes.get(exe, 0) & stat.S_IXUSR:
            problems.append(f"{exe} is not executable once unpacked (mode {modes.get(exe, 0):o})")
        if opts.glibc_floor:
            above = [v for v in glibc_versions(os.path.join(top, exe))
                     if version_key(v) > version_key(opts.glibc_floor)]
            if above:
                problems.append(f"{exe} needs GLIBC {', '.join(above)}, newer than {opts.glibc_floor}")
    finally:
        shutil.rmtree(root, ignore_errors=True)

    for p in problems:
        print(f"FAIL: {p}")
    if not problems:
        print(f"PASS: {os.path.basename(archives[0])} holds {', '.join(names)}; every sum verified")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
