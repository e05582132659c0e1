#!/usr/bin/env python3
"""Runs a command so that every 32-bit x86 program it starts, its own
children's included, is run by qemu-i386, on a kernel that cannot execute
them itself:

    qemu-i386-namespace.py QEMU COMMAND [ARGS...]

A binfmt_misc instance of its own registers QEMU for 32-bit x86 ELF files,
with the F flag (the interpreter is opened at once, so it is found from any
folder). The instance lives in a user namespace of its own and goes with the
process tree: nothing outside it changes, and no privilege is needed where
the kernel lets users make namespaces (Linux 6.7 and later mount
binfmt_misc there).

The command runs as the same user and group as the caller, with no
capabilities: a namespace where the caller were root would let it write
files it may only read, and hide faults of that kind. To get there, the
registration is made in an outer namespace where the caller is root, and
the command runs in an inner one, nested in it, that maps the caller's own
ids back; the inner one still sees the outer one's binfmt_misc.

Exits 125, with the reason on standard error, when the namespace cannot be
made; otherwise the command replaces this process.
"""

import ctypes
import os
import sys

CLONE_NEWNS = 0x00020000
CLONE_NEWUSER = 0x10000000
BINFMT = "/proc/sys/fs/binfmt_misc"
# The ELF header of a 32-bit little-endian x86 executable or shared object:
# class, data, version, type (2 or 3, hence the mask's 0xfe) and machine 3.
MAGIC = b"\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00"
MASK = b"\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff"

libc = ctypes.CDLL(None, use_errno=True)


def check(result, what):
    if result != 0:
        err = ctypes.get_errno()
        raise OSError(err, f"{what}: {os.strerror(err)}")


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def enter_namespace(inside_uid, outside_uid, inside_gid, outside_gid):
    check(libc.unshare(CLONE_NEWUSER | CLONE_NEWNS), "unshare")
    write("/proc/self/setgroups", b"deny")
    write("/proc/self/uid_map", f"{inside_uid} {outside_uid} 1".encode())
    write("/proc/self/gid_map", f"{inside_gid} {outside_gid} 1".encode())


def escaped(data):
    return "".join(f"\\x{b:02x}" for b in data).encode()


def main():
    if len(sys.argv) < 3:
        print(f"usage: {sys.argv[0]} QEMU COMMAND [ARGS...]", file=sys.stderr)
        return 2
    qemu, command = os.path.abspath(sys.argv[1]), sys.argv[2:]
    uid, gid = os.getuid(), os.getgid()
    try:
        enter_namespace(0, uid, 0, gid)
        check(libc.mount(b"binfmt_misc", BINFMT.encode(), b"binfmt_misc", 0, None),
              f"mount binfmt_misc on {BINFMT}")
        write(f"{BINFMT}/register",
              b":selfupdate-i386:M::" + escaped(MAGIC) + b":" + escaped(MASK) + b":" +
              qemu.encode() + b":F")
        enter_namespace(uid, 0, gid, 0)
    except OSError as e:
        print(f"{sys.argv[0]}: no namespace for qemu-i386: {e}", file=sys.stderr)
        return 125
    os.execvp(command[0], command)


if __name__ == "__main__":
    sys.exit(main())
