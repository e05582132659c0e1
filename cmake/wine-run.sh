#!/bin/sh
# Runs a Windows program under Wine: wine-run.sh PROGRAM.exe [ARGS...]
# (or "wine-run.sh wineserver ARGS..." for the prefix's server).
# "wine-run.sh --check" only tells whether this machine can run programs of
# the chosen bitness.
#
# The program gets a Wine prefix of its own (not the user's ~/.wine) and runs
# in the zh_CN.UTF-8 locale, so Wine's ANSI code page is 936, the code page
# the updater's texts are written in, unless another locale is asked for.
# The exit code is the program's, or 77, with a line on standard error
# saying why, when the machine cannot execute programs of that bitness (a
# kernel without 32-bit support): the test harness reports a skip then.
#
# Environment:
#   SELFUPDATE_WINE_ARCH   win32 (default): 32-bit programs, run by wine in a
#                          32-bit prefix; win64: 64-bit programs, run by
#                          wine64 in a 64-bit prefix.
#   SELFUPDATE_WINEPREFIX  the prefix to use; created on first use, for one
#                          bitness only. Default: build/ARCH/wineprefix in
#                          the source tree.
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

# Debian installs the 64-bit loader outside the PATH; its "wine" is the
# 32-bit one.
case $arch in
  win32) wine=wine ;;
  win64) wine=$(command -v wine64 || echo /usr/lib/wine/wine64) ;;
  *) echo "$0: SELFUPDATE_WINE_ARCH must be win32 or win64, not $arch" >&2; exit 2 ;;
esac

export WINEPREFIX="$prefix"
export WINEARCH=$arch
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

# A kernel built without 32-bit support (IA-32 emulation off) refuses to
# execute the loader at all, which the shell reports as exit code 126; that
# costs a few milliseconds, and nothing else tells as surely.
if [ "$arch" = win32 ] && { "$wine" --version >/dev/null 2>&1; [ $? -eq 126 ]; }; then
  echo "SKIP: this machine cannot execute 32-bit x86 programs (32-bit Wine included);" \
       "the win64 preset runs these tests under wine64" >&2
  exit 77
fi
if [ "$1" = --check ]; then exit 0; fi

mkdir -p "$(dirname "$prefix")"

# As root, every Wine process runs as the unprivileged user instead ($as_user
# in front of it); the prefix, the home folder Wine is given and anything
# else it must write belong to that user.
as_user=""
if [ "$(id -u)" -eq 0 ]; then
  user=${SELFUPDATE_WINE_USER:-nobody}
  uid=$(id -u "$user")
  gid=$(id -g "$user")
  as_user="setpriv --reuid=$uid --regid=$gid --clear-groups --"
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
    WINEDEBUG=-all $as_user "$wine" wineboot --init </dev/null >/dev/null 2>&1 9>&-
    WINEDEBUG=-all $as_user "$wine" reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ \
      /d 'user32.MessageBoxA;user32.MessageBoxW;shell32.ShellExecuteA;kernel32.WaitForSingleObject;kernel32.Sleep' /f </dev/null >/dev/null 2>&1 9>&-
    $as_user touch "$prefix/.selfupdate-setup-5"
  fi
) 9>"$prefix.lock"

# Wine's background processes (services, device drivers) start with the first
# program of a session and inherit its standard streams; whoever reads the
# program's output would then wait for them to go. A throw-away program with
# no streams starts the session first (almost free once it runs).
WINEDEBUG=-all $as_user "$wine" cmd.exe /c exit </dev/null >/dev/null 2>&1 || true

exec $as_user "$wine" "$@"
