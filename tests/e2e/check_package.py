#!/usr/bin/env python3
"""Makes the vendor's archive with CPack, unpacks it as a vendor would and
checks it: named with the project's version, exactly the expected files,
SHA256SUMS listing every other file with its right hash (also as
`sha256sum -c` reads it, where that exists), and the updater inside
executable on Linux, the identification record with the project's version
text in the built and in the packaged updater, and, against the one built:
- a Windows executable byte-identical;
- an ELF binary stripped, with the same loaded sections byte for byte, and,
  where the archive holds NAME.debug, naming that file with its CRC
  (.gnu_debuglink) while the file holds the debug information.

With --glibc-floor, the updater inside needs no C library symbol version
newer than that (a statically linked one needs none).

usage: check_package.py --build-dir DIR --version X.Y.Z --exe FILE --files NAME... [--glibc-floor X.Y]
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
import struct
import tempfile
import zipfile
import zlib

from check_win32_exe import IDENTIFICATION, version_text

SHF_ALLOC = 0x2
SHT_NOBITS = 8


def elf_sections(data):
    """{name: (flags, bytes)} of an ELF file's sections."""
    if data[:4] != b"\x7fELF":
        raise ValueError("not an ELF file")
    wide = data[4] == 2
    end = "<" if data[5] == 1 else ">"
    if wide:
        shoff, = struct.unpack_from(end + "Q", data, 0x28)
        shentsize, shnum, shstrndx = struct.unpack_from(end + "HHH", data, 0x3A)
        layout = end + "IIQQQQ"
    else:
        shoff, = struct.unpack_from(end + "I", data, 0x20)
        shentsize, shnum, shstrndx = struct.unpack_from(end + "HHH", data, 0x2E)
        layout = end + "IIIIII"
    headers = [struct.unpack_from(layout, data, shoff + i * shentsize) for i in range(shnum)]
    names_at = headers[shstrndx][4]
    sections = {}
    for name, kind, flags, _, offset, size in headers[1:]:
        start = names_at + name
        label = data[start:data.index(b"\0", start)].decode()
        sections[label] = (flags, b"" if kind == SHT_NOBITS else data[offset:offset + size])
    return sections


def check_stripped(built, packaged, debug, problems):
    """The packaged binary is the built one without its symbols and debug
    information; `debug` (a path, or None) is the file it names for them."""
    with open(built, "rb") as f:
        original = elf_sections(f.read())
    with open(packaged, "rb") as f:
        stripped = elf_sections(f.read())
    kept = sorted(n for n in original if original[n][0] & SHF_ALLOC)
    for name in kept:
        if stripped.get(name) != original[name]:
            problems.append(f"section {name} differs from the one built")
    left = sorted(n for n in stripped if n.startswith(".debug") or n == ".symtab")
    if left:
        problems.append(f"not stripped: {left}")
    link = stripped.get(".gnu_debuglink")
    if debug is None:
        if link is not None:
            problems.append("names a debug file, but the archive holds none")
        return
    if link is None:
        problems.append(f"no .gnu_debuglink naming {os.path.basename(debug)}")
        return
    name = link[1][:link[1].index(b"\0")].decode()
    crc, = struct.unpack_from("<I", link[1], len(link[1]) - 4)
    with open(debug, "rb") as f:
        contents = f.read()
    if name != os.path.basename(debug) or crc != zlib.crc32(contents):
        problems.append(f".gnu_debuglink names {name} with CRC {crc:08x}, the archive holds "
                        f"{os.path.basename(debug)} with CRC {zlib.crc32(contents):08x}")
    if ".debug_info" not in elf_sections(contents):
        problems.append(f"{os.path.basename(debug)} holds no debug information")


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


# What the README's command for reading a deployed updater's version looks
# for: the text after the identification record's second marker and the
# product name.
VERSION_PATTERN = r"HowAreYou\x00[^\x00]*\x00\KV[0-9.]+"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build-dir", required=True)
    ap.add_argument("--version", required=True)
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
        # The download's own checksum, beside it, as a vendor checks it.
        beside = archives[0] + ".sha256"
        if not os.path.isfile(beside):
            problems.append(f"no {os.path.basename(beside)} beside the archive")
        elif shutil.which("sha256sum"):
            c = subprocess.run(["sha256sum", "--strict", "-c", os.path.basename(beside)],
                               cwd=os.path.dirname(beside), capture_output=True, text=True)
            if c.returncode != 0:
                problems.append(f"sha256sum -c {os.path.basename(beside)}: {c.stdout}{c.stderr}")
        modes, top = unpack(archives[0], os.path.join(root, "unpacked"))
        prefix = f"selfupdate-{opts.version}-"
        if not os.path.basename(archives[0]).startswith(prefix) or \
                not os.path.basename(top).startswith(prefix):
            problems.append(f"{os.path.basename(archives[0])} (top folder {os.path.basename(top)}) "
                            f"is not named {prefix}...")

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
        packaged = os.path.join(top, exe)
        # Text files end their lines as the system the archive is for does.
        windows = exe.endswith(".exe")
        for name in ("README.txt", "LICENSE", "CHANGELOG.md"):
            path = os.path.join(top, name)
            if os.path.isfile(path):
                with open(path, "rb") as f:
                    text = f.read()
                bare = text.replace(b"\r\n", b"").count(b"\n")
                if (windows and (bare or b"\r\n" not in text)) or (not windows and b"\r" in text):
                    problems.append(f"{name}: not all lines end in {'CRLF' if windows else 'LF'}")
        if exe.endswith(".exe") and os.path.isfile(packaged):
            with open(opts.exe, "rb") as f, open(packaged, "rb") as g:
                if f.read() != g.read():
                    problems.append(f"{exe} in the archive differs from the one built")
        elif os.path.isfile(packaged):
            debug = os.path.join(top, exe + ".debug")
            check_stripped(opts.exe, packaged, debug if os.path.isfile(debug) else None, problems)
        record = IDENTIFICATION + version_text(opts.version) + b"\0"
        for label, path in (("built", opts.exe), ("packaged", packaged)):
            if not os.path.isfile(path):
                continue
            with open(path, "rb") as f:
                if record not in f.read():
                    problems.append(f"the {label} {exe} holds no identification record with "
                                    f"version text {version_text(opts.version).decode()}")
        # The version as the README tells a vendor to read it from either
        # binary.
        for path in (opts.exe, packaged):
            if os.path.isfile(path) and shutil.which("grep"):
                g = subprocess.run(["grep", "-aoP", VERSION_PATTERN, path], env=dict(os.environ, LC_ALL="C"),
                                   capture_output=True)
                if g.stdout != version_text(opts.version) + b"\n":
                    problems.append(f"the README's command reads {g.stdout!r} from {path}, "
                                    f"not {version_text(opts.version).decode()}")
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
