#!/usr/bin/env bash
# Builds tests/wine/platform_behaviour_check.cpp with x86_64-w64-mingw32 and runs it under wine64, so
# that the private-profile and text-mode file behaviour the Linux layer imitates is checked against
# the Windows services themselves (as wine provides them). The same program runs on Linux as the ctest
# "platform_behaviour_check". Usage: scripts/check-wine-platform.sh [BUILD_DIR] (default build/wine).
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="$(mkdir -p "${1:-$root/build/wine}" && cd "${1:-$root/build/wine}" && pwd)"
cxx="${CXX_MINGW64:-x86_64-w64-mingw32-g++}"
wine="${WINE64:-}"
if [ -z "$wine" ]; then
  for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)" "$(command -v wine || true)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then wine="$candidate"; break; fi
  done
fi
command -v "$cxx" >/dev/null || { echo "check-wine-platform: $cxx not found" >&2; exit 1; }
if [ -z "$wine" ]; then
  echo "check-wine-platform: wine64 not installed (Debian package wine64); nothing checked" >&2
  exit 1
fi

"$cxx" -std=c++17 -O1 -Wall -Wextra -Werror -static -I"$root" \
  -o "$build_dir/platform_behaviour_check.exe" "$root/tests/wine/platform_behaviour_check.cpp"

export WINEPREFIX="${WINEPREFIX:-$build_dir/prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
work="$build_dir/work"
mkdir -p "$work"
# wine sees the Linux file system as drive Z:.
timeout 300 "$wine" "$build_dir/platform_behaviour_check.exe" "Z:${work//\//\\}" 2> "$build_dir/wine.log"
