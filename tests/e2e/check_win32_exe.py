#!/usr/bin/env python3
"""Checks the built SelfUpdate.exe as a file: what Windows will see before it
runs a line of it.

usage: check_win32_exe.py --version X.Y.Z[.T] SelfUpdate.exe

- a 32-bit (i386) GUI program, with ASLR and DEP enabled;
- importing only Windows' own DLLs (no compiler runtime DLL), nothing loaded
  late through a delay-load table, and only functions from the audited list
  beside this script, each there since Windows 2000 or earlier;
- its resources all Simplified Chinese (2052): one icon of a 32x32 and a
  16x16 image in 16 colours and an asInvoker manifest that leaves the code
  page alone; no version resource and no application-title string (57344);
- the identification record intact in its initialised data, its version
  text that of the project's version X.Y.Z[.T]: "V", X in three digits, then
  Y, Z and T (0 when absent) in two digits each after a dot.

Its size is not checked here: the build checks the executable it makes
against the budget, and a signed copy is larger by the vendor's certificate
chain, which is no part of it.
"""

import argparse
import os
import re
import struct
import sys
import xml.etree.ElementTree as ET

# Every function the executable imports by name must be listed here, with the
# oldest Windows that exports it and where that is known from. A program
# whose static import is missing is refused by the loader before its first
# line runs, without a word to the user.
AUDITED_IMPORTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "win32_imports.txt")
# The oldest systems the updater must load on: Windows 2000 and XP with no
# service pack. A function from any of these releases or earlier will do.
OLDEST_SYSTEMS = {"NT3.1", "NT3.5", "NT4", "2000"}
ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "shell32.dll", "msvcrt.dll"}
LANG_ZH_CN = 2052
RT_ICON, RT_STRING, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 6, 14, 16, 24
TITLE_STRING_BLOCK = 0xE000 // 16 + 1  # the string table block holding 57344
IDENTIFICATION = (b"HowAreYouQ7m2Xv9KpL4tR8wZc3Nb6Hd1Jf5Gs0Ya!HowAreYou\0"
                  b"\xD7\xD4\xB0\xB2\xD7\xB0\xB3\xCC\xD0\xF2\0")
VERSION_TEXT = re.compile(rb"[A-Z][0-9]{3}(\.[0-9]{2}){3}")


def version_text(version):
    """The identification block's version text for a version X.Y.Z[.T]."""
    numbers = [int(n) for n in version.split(".")] + [0]
    major, minor, patch, tweak = numbers[:4]
    return f"V{major:03d}.{minor:02d}.{patch:02d}.{tweak:02d}".encode("ascii")


def audited_imports():
    """{(dll, function): oldest Windows} from the audited list."""
    audited = {}
    with open(AUDITED_IMPORTS, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            fields = line.split(None, 3)
            if len(fields) < 4:
                raise ValueError(f"{AUDITED_IMPORTS}:{number}: DLL FUNCTION OLDEST-WINDOWS SOURCE expected")
            audited[(fields[0].lower(), fields[1])] = fields[2]
    return audited


class PE:
    def __init__(self, data):
        self.data = data
        (pe,) = struct.unpack_from("<I", data, 0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        self.machine, nsections, _, _, _, optsize, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        (self.magic,) = struct.unpack_from("<H", data, opt)
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", data, opt + 68)
        (ndirs,) = struct.unpack_from("<I", data, opt + 92)
        self.dirs = [struct.unpack_from("<II", data, opt + 96 + 8 * i) for i in range(ndirs)]
        self.sections = []
        for i in range(nsections):
            s = opt + optsize + 40 * i
            name = data[s:s + 8].rstrip(b"\0").decode()
            vsize, rva, rawsize, rawptr = struct.unpack_from("<IIII", data, s + 8)
            (flags,) = struct.unpack_from("<I", data, s + 36)
            self.sections.append((name, rva, max(vsize, rawsize), rawptr, rawsize, flags))

    def offset(self, rva):
        for _, start, size, rawptr, _, _ in self.sections:
            if start <= rva < start + size:
                return rva - start + rawptr
        raise ValueError(f"RVA {rva:#x} in no section")

    def cstring(self, rva):
        o = self.offset(rva)
        return self.data[o:self.data.index(b"\0", o)].decode()

    def imports(self):
        """{dll name: [function name, or "#ordinal" for an import by number]}"""
        rva, size = self.dirs[1]
        found = {}
        o = self.offset(rva) if size else None
        while o is not None:
            fields = struct.unpack_from("<IIIII", self.data, o)
            if not any(fields):
                break
            functions = found.setdefault(self.cstring(fields[3]), [])
            # The lookup table, or the address table where a linker left none.
            t = self.offset(fields[0] or fields[4])
            while True:
                (entry,) = struct.unpack_from("<I", self.data, t)
                if entry == 0:
                    break
                functions.append(f"#{entry & 0xFFFF}" if entry & 0x80000000 else self.cstring(entry + 2))
                t += 4
            o += 20
        return found

    def resources(self):
        """(type, name, language, bytes) for every resource."""
        rva, size = self.dirs[2]
        if not size:
            return []
        base = self.offset(rva)

        def entries(o):
            named, ids = struct.unpack_from("<HH", self.data, base + o + 12)
            for i in range(named + ids):
                key, target = struct.unpack_from("<II", self.data, base + o + 16 + 8 * i)
                if key & 0x80000000:  # a name rather than a number
                    p = base + (key & 0x7FFFFFFF)
                    (n,) = struct.unpack_from("<H", self.data, p)
                    key = self.data[p + 2:p + 2 + 2 * n].decode("utf-16-le")
                yield key, target

        found = []
        for rtype, t in entries(0):
            for name, n in entries(t & 0x7FFFFFFF):
                for lang, leaf in entries(n & 0x7FFFFFFF):
                    data_rva, data_size = struct.unpack_from("<II", self.data, base + leaf)
                    o = self.offset(data_rva)
                    found.append((rtype, name, lang, self.data[o:o + data_size]))
        return found


def check(path, version):
    with open(path, "rb") as f:
        data = f.read()
    pe = PE(data)
    problems = []

    def expect(cond, what):
        if not cond:
            problems.append(what)

    expect(pe.machine == 0x14C and pe.magic == 0x10B, "not a PE32 i386 image")
    expect(pe.subsystem == 2, f"subsystem {pe.subsystem}, expected Windows GUI (2)")
    expect(pe.dll_characteristics & 0x40, "no ASLR (DYNAMIC_BASE)")
    expect(pe.dll_characteristics & 0x100, "no DEP (NX_COMPAT)")

    imports = {(d.lower(), f) for d, fs in pe.imports().items() for f in fs}
    dlls = {d for d, _ in imports}
    expect(dlls and dlls <= ALLOWED_DLLS, f"imports {sorted(dlls - ALLOWED_DLLS)} beyond Windows' own")
    audited = audited_imports()
    for dll, function in sorted(imports - set(audited)):
        expect(False, f"{dll} {function} is imported but not in {os.path.basename(AUDITED_IMPORTS)}")
    for key in sorted(imports & set(audited)):
        expect(audited[key] in OLDEST_SYSTEMS, f"{key[0]} {key[1]} needs {audited[key]}")
    expect(len(pe.dirs) <= 13 or pe.dirs[13][1] == 0, "a delay-load import table")

    resources = pe.resources()
    for rtype, name, lang, _ in resources:
        expect(lang == LANG_ZH_CN, f"resource {rtype}/{name} in language {lang}, expected {LANG_ZH_CN}")
    types = [r[0] for r in resources]
    expect(RT_VERSION not in types, "a version resource")
    expect(not any(t == RT_STRING and n == TITLE_STRING_BLOCK for t, n, _, _ in resources),
           "a string table holding string 57344")

    groups = [r for r in resources if r[0] == RT_GROUP_ICON]
    expect(len(groups) == 1, f"{len(groups)} icon groups, expected 1")
    icons = {n: d for t, n, _, d in resources if t == RT_ICON}
    if groups:
        g = groups[0][3]
        _, kind, count = struct.unpack_from("<HHH", g, 0)
        sizes = []
        for i in range(count):
            w, h, colours, _, _, bits, _, icon_id = struct.unpack_from("<BBBBHHIH", g, 6 + 14 * i)
            sizes.append((w, h))
            expect(colours == 16 and bits == 4, f"icon {w}x{h}: {colours} colours, {bits} bits")
            image = icons.get(icon_id)
            expect(image is not None, f"icon {w}x{h} has no image")
            if image is not None:
                hdr, iw, ih, _, ibits = struct.unpack_from("<IiiHH", image, 0)
                expect(hdr == 40 and (iw, ih, ibits) == (w, 2 * h, 4), f"icon {w}x{h} image is not 4 bpp")
        expect(kind == 1 and sorted(sizes) == [(16, 16), (32, 32)], f"icon sizes {sizes}")

    manifests = [d for t, _, _, d in resources if t == RT_MANIFEST]
    expect(len(manifests) == 1, f"{len(manifests)} manifests, expected 1")
    if manifests:
        root = ET.fromstring(manifests[0])
        levels = [e.get("level") for e in root.iter() if e.tag.endswith("requestedExecutionLevel")]
        expect(levels == ["asInvoker"], f"execution levels {levels}, expected asInvoker")
        expect(not any(e.tag.endswith("activeCodePage") for e in root.iter()),
               "the manifest sets the active code page")

    text = version_text(version)
    expect(len(text) == 13 and VERSION_TEXT.fullmatch(text), f"version {version} gives {text!r}")
    at = data.find(IDENTIFICATION + text + b"\0")
    expect(at >= 0, f"identification record with version text {text.decode()} missing")
    if at >= 0:
        section = [s for s in pe.sections if s[3] <= at < s[3] + s[4]]
        # Initialised, writable data (IMAGE_SCN_CNT_INITIALIZED_DATA, MEM_WRITE).
        expect(section and section[0][5] & 0x40 and section[0][5] & 0x80000000,
               "identification record outside initialised data")
    return problems, len(data), sorted(dlls)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--version", required=True, help="the project's version")
    ap.add_argument("exe")
    opts = ap.parse_args()
    problems, size, dlls = check(opts.exe, opts.version)
    for p in problems:
        print(f"FAIL: {p}")
    print(f"{size} bytes; imports {', '.join(dlls)}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
