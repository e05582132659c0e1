"""The portable library and the update logic need nothing from the OS
library: every symbol they leave undefined is defined elsewhere (the C and
C++ runtimes), never by the OS layer. So the core reaches the platform only
through the services it is handed.

    check_layers.py NM OS_LIBRARY PORTABLE_OBJECT...
"""
import subprocess
import sys


def symbols(nm, paths, *flags):
    out = subprocess.run([nm, "--format=posix", *flags, *paths], check=True,
                         capture_output=True, text=True).stdout
    # "name type [value size]"; archive member headers end in ":" or "]:".
    return {(line.split()[0], line.split()[1]) for line in out.splitlines()
            if line.strip() and not line.rstrip().endswith(":")}


def main():
    nm, os_library, portable = sys.argv[1], sys.argv[2], sys.argv[3:]
    # Only what the OS layer alone defines: its code (T), its data (D, B,
    # R), not the inline and template functions every object carries (W, V).
    own = {name for name, kind in symbols(nm, [os_library], "--defined-only") if kind in "TDBR"}
    needed = {name for name, _ in symbols(nm, portable, "--undefined-only")}
    if not own:
        sys.exit(f"no symbols read from {os_library}: nothing was checked")
    crossing = sorted(needed & own)
    if crossing:
        sys.exit("the portable code reaches into the OS library:\n  " + "\n  ".join(crossing))
    print(f"{len(needed)} undefined symbols of the portable code, none of them the OS library's {len(own)}")


if __name__ == "__main__":
    main()
