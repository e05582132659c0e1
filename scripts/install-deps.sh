#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that
# are missing, as root or through sudo. Safe to run again.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

# gdb drives qemu's debugger stub where the Windows tests run under qemu.
native=(cmake make g++ python3 libgtest-dev googletest strace util-linux clang libclang-rt-dev gdb)
# wine64 makes the prefix 32-bit programs run in under qemu; with the x86_64
# compiler it also runs the win64 preset (the same sources as a 64-bit
# program).
windows=(g++-mingw-w64-i686 g++-mingw-w64-x86-64-win32 wine wine32:i386 wine64 locales xvfb xdotool)
# What vendors are given and how they meet it: signing the executable, and
# the desktop dialogs on Linux with fonts that hold the message's Chinese
# (a TrueType face for zenity and kdialog, X core fonts for xmessage);
# `import` takes the dialogs' screenshots.
vendor=(osslsigncode openssl zenity kdialog x11-utils xfonts-base fonts-wqy-microhei imagemagick)

missing=()
for p in "${native[@]}" "${windows[@]}" "${vendor[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  echo "installing: ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# Where the kernel cannot execute 32-bit programs, qemu-i386 runs 32-bit Wine
# (see cmake/wine-run.sh); it must be version 10 or later, which Debian 12
# has from its backports only. Installed everywhere, so the route is there
# when a kernel needs it and can be tried on any kernel. The backports suite
# is added as a source of its own; apt takes nothing else from it unless
# asked by name.
qemu_version=$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null || true)
if ! dpkg --compare-versions "${qemu_version:-0}" ge 1:10; then
  suite=()
  if grep -qx 'VERSION_CODENAME=bookworm' /etc/os-release 2>/dev/null; then
    if ! grep -rqs 'bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/; then
      echo "deb http://deb.debian.org/debian bookworm-backports main" |
        $SUDO tee /etc/apt/sources.list.d/bookworm-backports.list >/dev/null
    fi
    suite=(-t bookworm-backports)
  fi
  echo "installing qemu-user ${suite[*]}"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${suite[@]}" qemu-user
fi

# Wine takes its ANSI code page from the locale: zh_CN.UTF-8 gives 936, the
# code page of the updater's texts; the tests also run it in en_US.UTF-8
# (1252) and ja_JP.UTF-8 (932), code pages vendors' users have.
for locale in zh_CN en_US ja_JP; do
  if ! locale -a 2>/dev/null | grep -qi "^$locale\.utf-\?8\$"; then
    echo "generating the $locale.UTF-8 locale"
    $SUDO localedef -i "$locale" -f UTF-8 "$locale.UTF-8"
  fi
done
