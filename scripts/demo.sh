#!/usr/bin/env bash
# Builds the Linux updater if needed, makes a sample application folder with
# staged files in a temporary directory, runs the updater on it the way an
# application would, and prints what changed.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ ! -x build/linux/selfupdate ]; then
  cmake --preset linux >/dev/null
  cmake --build --preset linux --target selfupdate >/dev/null
fi

app="$(mktemp -d)/App"
mkdir -p "$app/SelfTemp"
# Installed under the name it has on both builds (see README.md).
cp build/linux/selfupdate "$app/SelfUpdate.exe"

# The application in place, version 1, and a host program that records that
# it was started again.
printf '#!/bin/sh\necho "Main.exe (version 1) started again in $(pwd)" > "%s/relaunched.txt"\n' "$app" > "$app/Main.exe"
chmod +x "$app/Main.exe"
echo "Core.dll version 1" > "$app/Core.dll"
# What the application staged before starting the updater: version 2.
printf '#!/bin/sh\necho "Main.exe (version 2) started again in $(pwd)" > "%s/relaunched.txt"\n' "$app" > "$app/SelfTemp/Main.exe"
chmod +x "$app/SelfTemp/Main.exe"
echo "Core.dll version 2" > "$app/SelfTemp/Core.dll"
echo "not applied: only .exe and .dll are" > "$app/SelfTemp/Readme.txt"

list() {
  (cd "$app" && find . -type f ! -name SelfUpdate.exe | sort | while read -r f; do
    printf '  %-22s %s\n' "$f" "$(grep -v '^#!' "$f" | head -c 70 | tr '\n' ' ')"
  done)
}

echo "Application folder: $app"
echo "Before:"; list
echo
echo "Running: $app/SelfUpdate.exe /Main.exe"
set +e
(cd "$app" && ./SelfUpdate.exe /Main.exe)
rc=$?
set -e
echo "Exit code: $rc"
for _ in $(seq 1 100); do [ -e "$app/relaunched.txt" ] && break; sleep 0.05; done
echo
echo "After:"; list
