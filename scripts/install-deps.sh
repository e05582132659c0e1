#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that
# are missing, as root or through sudo. Safe to run again.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

native=(cmake make g++ python3 libgtest-dev googletest strace util-linux clang libclang-rt-dev)
# The x86_64 compiler and wine64 build and run the same sources as a 64-bit
# program, for kernels that cannot execute 32-bit ones.
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

# Wine takes its ANSI code page from the locale: zh_CN.UTF-8 gives 936, the
# code page of the updater's texts; the tests also run it in en_US.UTF-8
# (1252) and ja_JP.UTF-8 (932), code pages vendors' users have.
for locale in zh_CN en_US ja_JP; do
  if ! locale -a 2>/dev/null | grep -qi "^$locale\.utf-\?8\$"; then
    echo "generating the $locale.UTF-8 locale"
    $SUDO localedef -i "$locale" -f UTF-8 "$locale.UTF-8"
  fi
done
