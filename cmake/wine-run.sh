#!/bin/sh
# Runs a Windows program under Wine: wine-run.sh PROGRAM.exe [ARGS...]
#
# The program gets a Wine prefix of its own (not the user's ~/.wine) and runs
# in the zh_CN.UTF-8 locale, so Wine's ANSI code page is 936, the code page
# the updater's texts are written in. The exit code is the program's.
#
# Environment:
#   SELFUPDATE_WINEPREFIX  the prefix to use; created on first use.
#                          Default: build/win32/wineprefix in the source tree.
#   SELFUPDATE_WINE_DISPLAY  an X display to show windows on. By default no
#                          display is used, so a message box is dismissed at
#                          once and nothing waits for a user.
#   SELFUPDATE_WINEDEBUG   Wine's debug channels (default: all off). With
#                          "+relay", the program's calls of MessageBoxA and
#                          ShellExecuteA (and only those) are written to
#                          standard error with their arguments, e.g.
#                          Call user32.MessageBoxA(00000000,... "text",... "caption",00000030)
set -eu

here=$(cd "$(dirname "$0")" && pwd)
prefix=${SELFUPDATE_WINEPREFIX:-$here/../build/win32/wineprefix}

export WINEPREFIX="$prefix"
export WINEARCH=win32
export WINEDEBUG="${SELFUPDATE_WINEDEBUG:--all}"
# No Mono or Gecko: nothing here needs them, and asking to install them would
# stall the first run.
export WINEDLLOVERRIDES="mscoree,mshtml="
export LC_ALL=zh_CN.UTF-8
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

mkdir -p "$(dirname "$prefix")"
# Creating a prefix takes a while and must happen once, even when several
# tests start at the same moment.
(
  flock 9
  if [ ! -f "$prefix/.selfupdate-setup-2" ]; then
    WINEDEBUG=-all wineboot --init </dev/null >/dev/null 2>&1
    WINEDEBUG=-all wine reg add 'HKCU\Software\Wine\Debug' /v RelayInclude /t REG_SZ \
      /d 'user32.MessageBoxA;shell32.ShellExecuteA' /f </dev/null >/dev/null 2>&1
    touch "$prefix/.selfupdate-setup-2"
  fi
) 9>"$prefix.lock"

# Wine's background processes (services, device drivers) start with the first
# program of a session and inherit its standard streams; whoever reads the
# program's output would then wait for them to go. A throw-away program with
# no streams starts the session first (almost free once it runs).
WINEDEBUG=-all wine cmd.exe /c exit </dev/null >/dev/null 2>&1 || true

exec wine "$@"
