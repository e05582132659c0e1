"""Whole-process timings of the Linux updater against plain baselines.

Every run gets a fresh folder; making it (and flushing it to disk, so that its
writes are not paid for by the next timed fsync) is not timed. Only the time
from starting a process to reaping it is. The programs compared in one row run
in turn, round after round, so drift in the machine's state hits both alike.
Prints a table; asserts nothing about time.

Run as root, it also works in a private mount namespace of its own: a tmpfs,
where flushes cost nothing and the program's own cost shows, and an overlayfs
over the disk under test, the file system of every container.
"""

import argparse
import ctypes
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

VERBOSE = False
SMALL_FILES = 1000
SMALL_SIZE = 4 * 1024
LARGE_SIZE = 256 * 1024 * 1024
OVERLAY_FILES = 10000
TMPFS_LARGE_FILES = 10000


def timed(argv):
    """Nanoseconds from spawning argv to reaping it; stops on a non-zero exit."""
    start = time.perf_counter_ns()
    pid = os.posix_spawn(argv[0], argv, os.environ)
    _, status, usage = os.wait4(pid, 0)
    elapsed = time.perf_counter_ns() - start
    if VERBOSE:
        print(f"  {os.path.basename(argv[0])}: {elapsed / 1e6:.1f} ms, user {usage.ru_utime * 1e3:.1f} ms, "
              f"system {usage.ru_stime * 1e3:.1f} ms", file=sys.stderr)
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        sys.exit(f"{argv[0]} exited with {code}")
    return elapsed


class Scratch:
    """Numbered run folders under one temporary root on the disk under test."""

    def __init__(self, root):
        self.root = root
        self.count = 0

    def fresh(self):
        self.count += 1
        path = os.path.join(self.root, f"run{self.count}")
        os.mkdir(path)
        return path

    def clear(self):
        for name in os.listdir(self.root):
            shutil.rmtree(os.path.join(self.root, name))


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def install_updater(exe, folder):
    target = os.path.join(folder, "selfupdate")
    shutil.copy2(exe, target)
    return target


def small_setup(scratch, exe, old, new, files=SMALL_FILES):
    """An application folder holding `files` old versions, the new ones staged."""
    scratch.clear()
    folder = scratch.fresh()
    staging = os.path.join(folder, "SelfTemp")
    os.mkdir(staging)
    for i in range(files):
        name = f"lib{i:04d}.dll"
        write(os.path.join(folder, name), old)
        write(os.path.join(staging, name), new)
    updater = install_updater(exe, folder)
    os.sync()
    return folder, updater


def small_check(folder, new, files=SMALL_FILES):
    if os.listdir(os.path.join(folder, "SelfTemp")):
        sys.exit(f"staged files left in {folder}")
    with open(os.path.join(folder, f"lib{files - 1:04d}.dll"), "rb") as f:
        if f.read() != new:
            sys.exit(f"wrong content in {folder}")


def large_setup(scratch, exe, pristine):
    """A folder with one large staged file and nothing in place yet."""
    scratch.clear()
    folder = scratch.fresh()
    staging = os.path.join(folder, "SelfTemp")
    os.mkdir(staging)
    shutil.copyfile(pristine, os.path.join(staging, "Big.dll"))
    updater = install_updater(exe, folder)
    os.sync()
    return folder, updater


def median_ms(samples):
    if VERBOSE:
        print(" ".join(f"{s / 1e6:.1f}" for s in samples), file=sys.stderr)
    return statistics.median(samples) / 1e6


def bench_small(args, scratch, runs=None, files=SMALL_FILES):
    old = os.urandom(SMALL_SIZE)
    new = os.urandom(SMALL_SIZE)
    times = {"selfupdate": [], "durable": [], "nosync": []}
    order = list(times)
    for round_ in range(runs or args.small_runs):
        # Rotate who goes first, so no program always follows the same one.
        for who in order[round_ % 3:] + order[:round_ % 3]:
            folder, updater = small_setup(scratch, args.exe, old, new, files)
            if who == "selfupdate":
                argv = [updater]
            elif who == "durable":
                argv = [args.reference, folder]
            else:
                argv = [args.reference, folder, "nosync"]
            times[who].append(timed(argv))
            small_check(folder, new, files)
    return {k: median_ms(v) for k, v in times.items()}


def syscalls_per_file(args, scratch):
    """System calls per staged file of one 1000-file pass, as strace counts
    them for the updater and for the durable reference."""
    strace = shutil.which("strace")
    if strace is None:
        return None
    old, new = os.urandom(SMALL_SIZE), os.urandom(SMALL_SIZE)
    counts = {}
    for who in ("selfupdate", "durable"):
        folder, updater = small_setup(scratch, args.exe, old, new)
        log = os.path.join(os.path.dirname(scratch.root), "syscalls")
        argv = [updater] if who == "selfupdate" else [args.reference, folder]
        subprocess.run([strace, "-f", "-c", "-o", log] + argv, cwd=folder, check=True,
                       stdout=subprocess.DEVNULL)
        with open(log) as f:
            total = [line for line in f if line.rstrip().endswith(" total")]
        counts[who] = int(total[-1].split()[3]) / SMALL_FILES
        small_check(folder, new)
    return counts


# ---------------------------------------------------------------- own mounts

CLONE_NEWNS = 0x00020000


def private_mounts():
    """Moves this process into a mount namespace of its own, whose mounts
    nobody else sees. False when that needs privileges it lacks."""
    if os.geteuid() != 0 or shutil.which("mount") is None:
        return False
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNS) != 0:
        return False
    return subprocess.run(["mount", "--make-rprivate", "/"]).returncode == 0


def mount(*args):
    subprocess.run(["mount"] + list(args), check=True)


def bench_tmpfs(args, base):
    """The 1000- and 10,000-file passes on a tmpfs, where flushes cost nothing
    and the program's own work shows against the floor's."""
    where = os.path.join(base, "tmpfs")
    os.mkdir(where)
    mount("-t", "tmpfs", "-o", "size=512m", "tmpfs", where)
    scratch = Scratch(os.path.join(where, "runs"))
    try:
        os.mkdir(scratch.root)
        # A run takes some 20 ms here, so more of them steady the median.
        small = bench_small(args, scratch, 3 * args.small_runs)
        large = bench_small(args, scratch, args.small_runs, TMPFS_LARGE_FILES)
        return small, large, syscalls_per_file(args, scratch)
    finally:
        scratch.clear()
        subprocess.run(["umount", where])


def bench_overlay(args, base):
    """OVERLAY_FILES files updated on an overlayfs, whose layers lie on the
    disk under test, against the same pass on that disk itself."""
    old, new = os.urandom(SMALL_SIZE), os.urandom(SMALL_SIZE)
    plain = Scratch(os.path.join(base, "plain"))
    os.mkdir(plain.root)
    times = {"overlay": [], "below": []}
    for round_ in range(args.overlay_runs):
        for who in (["overlay", "below"] if round_ % 2 == 0 else ["below", "overlay"]):
            folder, updater = small_setup(plain, args.exe, old, new, OVERLAY_FILES)
            if who == "below":
                times[who].append(timed([updater]))
                small_check(folder, new, OVERLAY_FILES)
                continue
            # The application as a container image holds it: in the lower
            # layer, with every change going to the upper one.
            layers = os.path.join(base, f"layers{round_}")
            for d in ("upper", "work", "merged"):
                os.makedirs(os.path.join(layers, d))
            mount("-t", "overlay", "overlay", "-o",
                  f"lowerdir={folder},upperdir={layers}/upper,workdir={layers}/work",
                  os.path.join(layers, "merged"))
            try:
                merged = os.path.join(layers, "merged")
                os.sync()
                times[who].append(timed([os.path.join(merged, os.path.basename(updater))]))
                small_check(merged, new, OVERLAY_FILES)
            finally:
                subprocess.run(["umount", os.path.join(layers, "merged")])
                shutil.rmtree(layers)
    plain.clear()
    return {k: median_ms(v) for k, v in times.items()}


def bench_large(args, scratch):
    pristine = os.path.join(os.path.dirname(scratch.root), "big-pristine")
    with open(pristine, "wb") as f:
        chunk = os.urandom(1024 * 1024)
        for _ in range(LARGE_SIZE // len(chunk)):
            f.write(chunk)
    times = {"selfupdate": [], "cp+sync": [], "cp+sync+rm": []}
    for round_ in range(args.large_runs):
        for who in (["selfupdate", "cp+sync"] if round_ % 2 == 0 else ["cp+sync", "selfupdate"]):
            folder, updater = large_setup(scratch, args.exe, pristine)
            source = os.path.join(folder, "SelfTemp", "Big.dll")
            target = os.path.join(folder, "Big.dll")
            if who == "selfupdate":
                times[who].append(timed([updater]))
            else:
                elapsed = timed([args.cp, source, target]) + timed([args.sync, target])
                times["cp+sync"].append(elapsed)
                # The updater also deletes the staged copy; this shows its cost.
                times["cp+sync+rm"].append(elapsed + timed([args.rm, source]))
            if os.path.getsize(target) != LARGE_SIZE:
                sys.exit(f"no copy at {target}")
    os.unlink(pristine)
    return {k: median_ms(v) for k, v in times.items()}


def bench_startup(args, scratch):
    scratch.clear()
    folder = scratch.fresh()  # no staging folder in it
    updater = install_updater(args.exe, folder)
    os.sync()
    times = {"selfupdate": [], "minimal": []}
    for _ in range(args.startup_runs):
        times["selfupdate"].append(timed([updater]))
        times["minimal"].append(timed([args.minimal]))
    return {k: median_ms(v) for k, v in times.items()}


def size_text(path):
    if not os.path.exists(path):
        return "not built", None
    size = os.path.getsize(path)
    return f"{size / 1024:.1f} KiB", size


def stripped_size(path):
    strip = shutil.which("strip")
    if strip is None:
        return None
    with tempfile.TemporaryDirectory() as d:
        copy = os.path.join(d, "s")
        shutil.copy2(path, copy)
        subprocess.run([strip, copy], check=True)
        return os.path.getsize(copy)


def verdict(ok):
    return "holds" if ok else "MISSED"


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--exe", required=True)
    p.add_argument("--reference", required=True)
    p.add_argument("--minimal", required=True)
    p.add_argument("--win32-exe", required=True)
    p.add_argument("--workdir", default="/tmp")
    p.add_argument("--small-runs", type=int, default=7)
    p.add_argument("--large-runs", type=int, default=5)
    p.add_argument("--startup-runs", type=int, default=41)
    p.add_argument("--overlay-runs", type=int, default=3)
    p.add_argument("--verbose", action="store_true", help="print every sample")
    args = p.parse_args()
    global VERBOSE
    VERBOSE = args.verbose
    args.cp = shutil.which("cp")
    args.sync = shutil.which("sync")
    args.rm = shutil.which("rm")
    for name in ("exe", "reference", "minimal"):
        setattr(args, name, os.path.abspath(getattr(args, name)))

    own_mounts = private_mounts()
    base = tempfile.mkdtemp(prefix="selfupdate-bench-", dir=args.workdir)
    try:
        root = os.path.join(base, "runs")
        os.mkdir(root)
        scratch = Scratch(root)
        small = bench_small(args, scratch)
        calls = syscalls_per_file(args, scratch)
        large = bench_large(args, scratch)
        start = bench_startup(args, scratch)
        tmpfs = bench_tmpfs(args, base) if own_mounts else None
        overlay = bench_overlay(args, base) if own_mounts else None
    finally:
        shutil.rmtree(base, ignore_errors=True)

    rows = []
    r = small["selfupdate"] / small["durable"]
    rows.append(("1000 x 4 KiB vs reference (fsync)", f"{small['selfupdate']:.1f} ms",
                 f"{small['durable']:.1f} ms", f"{r:.2f}x", "<= 1.15x", verdict(r <= 1.15)))
    r = small["selfupdate"] / small["nosync"]
    rows.append(("1000 x 4 KiB vs reference (no fsync)", f"{small['selfupdate']:.1f} ms",
                 f"{small['nosync']:.1f} ms", f"{r:.2f}x", "-", "-"))
    r = large["selfupdate"] / large["cp+sync"]
    rows.append(("256 MiB vs cp + sync FILE", f"{large['selfupdate']:.1f} ms",
                 f"{large['cp+sync']:.1f} ms", f"{r:.2f}x", "<= 1.1x", verdict(r <= 1.1)))
    r = large["selfupdate"] / large["cp+sync+rm"]
    rows.append(("256 MiB vs cp + sync FILE + rm staged", f"{large['selfupdate']:.1f} ms",
                 f"{large['cp+sync+rm']:.1f} ms", f"{r:.2f}x", "-", "-"))
    mib_s = (LARGE_SIZE / (1024 * 1024)) / (large["selfupdate"] / 1000)
    rows.append(("256 MiB copy throughput", f"{mib_s:.0f} MiB/s", "", "", "-", "-"))
    d = start["selfupdate"] - start["minimal"]
    rows.append(("start-up, no staging folder", f"{start['selfupdate']:.2f} ms",
                 f"{start['minimal']:.2f} ms", f"+{d:.2f} ms", "<= +2 ms", verdict(d <= 2.0)))
    text, size = size_text(args.win32_exe)
    rows.append(("size SelfUpdate.exe", text, "", "", "< 100 KiB",
                 "-" if size is None else verdict(size < 100 * 1024)))
    text, _ = size_text(args.exe)
    stripped = stripped_size(args.exe)
    if stripped is not None:
        text += f" ({stripped / 1024:.1f} KiB stripped)"
    rows.append(("size selfupdate", text, "", "", "-", "-"))
    if calls is not None:
        rows.append(("system calls per file", f"{calls['selfupdate']:.1f}", f"{calls['durable']:.1f}",
                     f"{calls['selfupdate'] / calls['durable']:.2f}x", "-", "-"))
    else:
        rows.append(("system calls per file", "skipped (no strace)", "", "", "-", "-"))
    if tmpfs is not None:
        t, t_large, c = tmpfs
        r = t["selfupdate"] / t["durable"]
        rows.append(("tmpfs: 1000 x 4 KiB vs the floor (fsync)", f"{t['selfupdate']:.1f} ms",
                     f"{t['durable']:.1f} ms", f"{r:.2f}x", "<= 1.10x", verdict(r <= 1.10)))
        r = t_large["selfupdate"] / t_large["durable"]
        rows.append((f"tmpfs: {TMPFS_LARGE_FILES} x 4 KiB vs the floor (fsync)", f"{t_large['selfupdate']:.1f} ms",
                     f"{t_large['durable']:.1f} ms", f"{r:.2f}x", "<= 1.15x", verdict(r <= 1.15)))
        if c is not None:
            rows.append(("tmpfs: system calls per file", f"{c['selfupdate']:.1f}", f"{c['durable']:.1f}",
                         f"{c['selfupdate'] / c['durable']:.2f}x", "-", "-"))
        r = overlay["overlay"] / overlay["below"]
        rows.append((f"overlayfs: {OVERLAY_FILES} x 4 KiB vs the disk below", f"{overlay['overlay']:.0f} ms",
                     f"{overlay['below']:.0f} ms", f"{r:.2f}x", "<= 3x", verdict(r <= 3)))
    else:
        rows.append(("tmpfs: 1000 and 10000 x 4 KiB vs the floor", "skipped (needs root)", "", "",
                     "<= 1.10x / 1.15x", "-"))
        rows.append((f"overlayfs: {OVERLAY_FILES} x 4 KiB vs the disk below", "skipped (needs root)", "",
                     "", "<= 3x", "-"))

    header = ("case", "selfupdate", "baseline", "ratio", "target", "")
    widths = [max(len(str(row[i])) for row in rows + [header]) for i in range(len(header))]
    line = lambda row: "  ".join(str(c).ljust(w) for c, w in zip(row, widths)).rstrip()
    print(line(header))
    print(line(["-" * w for w in widths]))
    for row in rows:
        print(line(row))
    print(f"\nmedians of {args.small_runs} (tmpfs: {3 * args.small_runs}) / {args.large_runs} / "
          f"{args.startup_runs} / {args.overlay_runs} runs; disk: {args.workdir}")


if __name__ == "__main__":
    main()
