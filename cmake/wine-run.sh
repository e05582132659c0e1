#!/bin/sh
# Runs a Windows program under Wine: wine-run.sh PROGRAM.exe [ARGS...]
# (or "wine-run.sh wineserver ARGS..." for the prefix's server).
# "wine-run.sh --check" only prints how this machine runs programs of the
# chosen bitness (see Routes) and exits 0, or as a run would without one.
#
# The program gets a Wine prefix of its own (not the user's ~/.wine) and runs
# in the zh_CN.UTF-8 locale, so Wine's ANSI code page is 936, the code page
# the updater's texts are written in, unless another locale is asked for.
# The exit code is the program's.
#
# Routes for 32-bit programs, the first that works:
#   native  the kernel executes 32-bit x86 code: Debian's 32-bit Wine in a
#           32-bit prefix.
#   qemu    it does not (IA-32 emulation off): Wine's 32-bit loader run by
#           qemu-i386 (10 or later; 7.2 hangs 32-bit Wine 8) in a 64-bit
#           prefix, the old-style WoW64 that wine64 makes, with qemu-i386
#           registered for 32-bit x86 programs in a binfmt_misc private to
#           the run (qemu-i386-namespace.py), so the programs it starts (the
#           relaunched host) run too. The server and Wine's own 64-bit
#           programs stay native.
#   none    neither: every run exits 1 saying why, so a test that cannot run
#           the program fails; with SELFUPDATE_WINE_NO_ROUTE=skip it exits 77
#           instead, which the tests report as skipped.
#
# Environment:
#   SELFUPDATE_WINE_ARCH   win32 (default): 32-bit programs, by the first
#                          route that works; win64: 64-bit programs, run by
#                          wine64 in a 64-bit prefix.
#   SELFUPDATE_WINE_ROUTE  native, qemu or none: that route for 32-bit
#                          programs, whether or not another would work (so
#                          the qemu route, and what a machine without one
#                          does, can be tried on any kernel).
#   SELFUPDATE_WINE_NO_ROUTE  skip: without a route, exit 77 rather than 1.
#   SELFUPDATE_WINEPREFIX  the prefix to use; created on first use, for one
#                          bitness only (the qemu route adds "-wow64" to the
#                          name). Default: build/ARCH/wineprefix in the
#                          source tree.
#   SELFUPDATE_WINE_LOCALE the locale, and so the ANSI code page, of this one
#                          Wine process (default zh_CN.UTF-8: 936;
#                          en_US.UTF-8 gives 1252, ja_JP.UTF-8 932).
#   SELFUPDATE_WINE_DISPLAY  an X display to show windows on. By default no
#                          display is used, so a message box is dismissed at
#                          once and nothing waits for a user.
#   SELFUPDATE_WINE_USER   started as root, the script runs Wine as this
#                          user (default: nobody), in a prefix that user
#                          owns. Windows never lets a program, an
#                          administrator's included, write to a read-only
#                          file or one it may only read; Wine running as
#                          root does, and would hide faults of that kind.
#   SELFUPDATE_WINEDEBUG   Wine's debug channels (default: all off). With
#                          "+relay", the program's calls of MessageBoxA,
#                          MessageBoxW, ShellExecuteA, WaitForSingleObject
#                          and Sleep (and only those) are written to
#                          standard error with their arguments and
#                          returns, e.g.
#                          Call user32.MessageBoxA(00000000,... "text",... "caption",00000030)
set -eu

here=$(cd "$(dirname "$0")" && pwd)
arch=${SELFUPDATE_WINE_ARCH:-win32}
prefix=${SELFUPDATE_WINEPREFIX:-$here/../build/$arch/wineprefix}
# Debian installs both loaders outside the PATH; its "wine" is a script that
# falls back to the 64-bit one, which would hide a missing 32-bit Wine.
wine32=/usr/lib/wine/wine
wine64=/usr/lib/wine/wine64
qemu=/usr/bin/qemu-i386
python=/usr/bin/python3
[ -x "$python" ] || python=python3

case $arch in
  win32|win64) ;;
  *) echo "$0: SELFUPDATE_WINE_ARCH must be win32 or win64, not $arch" >&2; exit 2 ;;
esac

export WINEDEBUG="${SELFUPDATE_WINEDEBUG:--all}"
# No Mono or Gecko: nothing here needs them, and asking to install them would
# stall the first run.
export WINEDLLOVERRIDES="mscoree,mshtml="
export LC_ALL="${SELFUPDATE_WINE_LOCALE:-zh_CN.UTF-8}"
unset WAYLAND_DISPLAY
if [ -n "${SELFUPDATE_WINE_DISPLAY:-}" ]; then
  export DISPLAY="$SELFUPDATE_WINE_DISPLAY"
else
  unset DISPLAY
fi

if [ $# -eq 0 ]; then
  echo "usage: $0 PROGRAM.exe [ARGS...]" >&2
  exit 2
fi

# As root, every Wine process runs as the unprivileged user instead ($as_user
# in front of it); the prefix, the home folder Wine is given and anything
# else it must write belong to that user.
as_user=""
if [ "$(id -u)" -eq 0 ]; then
  user=${SELFUPDATE_WINE_USER:-nobody}
  uid=$(id -u "$user")
  gid=$(id -g "$user")
  as_user="setpriv --reuid=$uid --regid=$gid --clear-groups --"
fi

# The route for 32-bit programs (see the top), and why the others fail.
why=""
qemu_works() {
  if [ ! -x "$qemu" ]; then
    why="$why; no $qemu (Debian's qemu-user from bookworm-backports, as scripts/install-deps.sh installs it)"
    return 1
  fi
  major=$("$qemu" --version | sed -n 's/^qemu-i386 version \([0-9]*\)\..*/\1/p')
  if [ "${major:-0}" -lt 10 ]; then
    why="$why; $qemu is version ${major:-unknown}, 10 or later is needed"
    return 1
  fi
  # Not for a debugger that may be waiting for the program itself.
  if ! out=$(env -u QEMU_GDB $as_user "$python" "$here/qemu-i386-namespace.py" "$qemu" "$qemu" "$wine32" --version 2>&1); then
    why="$why; qemu-i386 did not run Wine: $out"
    return 1
  fi
}
route=win64
if [ "$arch" = win32 ]; then
  route=${SELFUPDATE_WINE_ROUTE:-}
  if [ "$route" = none ]; then
    why="SELFUPDATE_WINE_ROUTE is none"
  elif [ "$route" = qemu ] && ! qemu_works; then
    route=none
    why="the qemu route was asked for$why"
  elif [ -z "$route" ]; then
    # A kernel without 32-bit support refuses to execute the loader at all,
    # which the shell reports as exit code 126, in a few milliseconds.
    if $as_user "$wine32" --version >/dev/null 2>&1; then
      route=native
    else
      why="the kernel does not execute 32-bit x86 programs"
      [ -x "$wine32" ] || why="no $wine32 (Debian's wine32:i386)"
      if qemu_works; then route=qemu; else route=none; fi
    fi
  fi
fi
case $route in
  native|qemu|win64) ;;
  none)
    if [ "${SELFUPDATE_WINE_NO_ROUTE:-}" = skip ]; then
      echo "SKIP: this machine cannot run 32-bit Windows programs: $why" >&2
      exit 77
    fi
    echo "FAIL: this machine cannot run 32-bit Windows programs: $why." \
         "Run scripts/install-deps.sh, or set SELFUPDATE_WINE_NO_ROUTE=skip to report" \
         "these tests as skipped." >&2
    exit 1 ;;
  *) echo "$0: SELFUPDATE_WINE_ROUTE must be native, qemu or none, not $route" >&2; exit 2 ;;
esac
if [ "$1" = --check ]; then echo "$route"; exit 0; fi

# The 64-bit prefix of the qemu route cannot serve the native one, nor the
# other way round.
loader=$wine32
export WINEARCH=win32
case $route in
  qemu) prefix=$prefix-wow64; export WINEARCH=win64; boot=$wine64 ;;
  win64) loader=$wine64; export WINEARCH=win64; boot=$wine64 ;;
  native) boot=$wine32 ;;
esac
export WINEPREFIX="$prefix"
mkdir -p "$(dirname "$prefix")"

if [ -n "$as_user" ]; then
  # A prefix below a folder the user cannot enter (a checkout in /root, say)
  # moves to a folder of its own under /tmp, named after the one asked for.
  if ! $as_user test -x "$(dirname "$prefix")"; then
    prefix=/tmp/selfupdate-wine-$uid-$(printf '%s' "$prefix" | cksum | cut -d' ' -f1)
    export WINEPREFIX="$prefix"
  fi
  mkdir -p "$prefix"
  # A prefix an earlier run made as root is handed over whole.
  if [ "$(stat -c %u "$prefix")" != "$uid" ]; then chown -R "$uid:$gid" "$prefix"; fi
  export HOME="$prefix" USER="$user" LOGNAME="$user"
  unset XDG_RUNTIME_DIR XDG_CONFIG_HOME XDG_CACHE_HOME XDG_DATA_HOME
  # A program the user cannot read (again a checkout in /root) runs from a
  # copy inside the prefix; so does a start in a folder the user cannot enter.
  if [ -f "$1" ] && ! $as_user test -r "$1"; then
    copy="$prefix/selfupdate-programs"
    $as_user mkdir -p "$copy"
    cp "$1" "$copy/"
    chown "$uid:$gid" "$copy/$(basename "$1")"
    program="$copy/$(basename "$1")"
    shift
    set -- "$program" "$@"
  fi
  if ! $as_user test -x "$PWD"; then cd "$prefix"; fi
fi

# Only a Windows program: Wine would hand anything else to the system, and
# the test that meant to run it would learn nothing of how that went.
if [ -f "$1" ] && [ "$(head -c 2 "$1")" != MZ ]; then
  echo "FAIL: $1 is no Windows program (a Linux command of a Windows test must not go through $0)" >&2
  exit 1
fi

# "wine-run.sh wineserver -k" ends the prefix's Wine session, as its owner.
if [ "$1" = wineserver ]; then
  shift
  exec $as_user wineserver "$@"
fi

# Creating a prefix takes a while and must happen once, even when several
# tests start at the same moment. The Wine session the setup starts lives on
# after it and must not inherit the lock, or every later start would wait for
# that session to end.
(
  flock 9
  if [ ! -f "$prefix/.selfupdate-setup-5" ]; then
    WINEDEBUG=-all $as_user "$boot" wineboot --init </dev/null >/dev/null 2>&1 9>&-
    WINEDEBUG=-all $as_user "$boot" reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ \
      /d 'user32.MessageBoxA;user32.MessageBoxW;shell32.ShellExecuteA;kernel32.WaitForSingleObject;kernel32.Sleep' /f </dev/null >/dev/null 2>&1 9>&-
    $as_user touch "$prefix/.selfupdate-setup-5"
  fi
) 9>"$prefix.lock"

# Wine's background processes (services, device drivers) start with the first
# program of a session and inherit its standard streams; whoever reads the
# program's output would then wait for them to go. A throw-away program with
# no streams starts the session first (almost free once it runs; natively so
# on the qemu route).
WINEDEBUG=-all $as_user "$boot" cmd.exe /c exit </dev/null >/dev/null 2>&1 || true

if [ "$route" = qemu ]; then
  # Debian's 64-bit Wine finds the 32-bit built-in libraries only when told
  # where; Wine's loader must not re-execute itself through its preloader,
  # which reserves memory in a way qemu-i386 cannot follow.
  export WINEDLLPATH=/usr/lib/i386-linux-gnu/wine WINELOADERNOEXEC=1
  exec $as_user "$python" "$here/qemu-i386-namespace.py" "$qemu" "$qemu" "$loader" "$@"
fi
exec $as_user "$loader" "$@"
