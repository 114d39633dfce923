#!/usr/bin/env bash
# Checks the Linux layer against the Windows services themselves (as wine64 provides them):
#  1. tests/wine/platform_behaviour_check.cpp, built with x86_64-w64-mingw32, must pass under wine
#     as it passes on Linux (ctest "platform_behaviour_check");
#  2. with a host build directory: a 64-bit Dravik.dll, loaded and unloaded under wine by
#     tests/wine/dll_load_check.cpp, and libdravik.so, loaded and unloaded on Linux by the same
#     program, must leave byte-identical "logfile.txt" and "Tavrine_usb_flash.ini" files, starting
#     from the same configuration file;
#  3. the same program with four threads logging at once: every entry arrives whole, on both sides.
# Usage: scripts/check-wine-platform.sh [BUILD_DIR [HOST_BUILD_DIR]]   (defaults build/wine, build/host)
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="${1:-$root/build/wine}"
mkdir -p "$build_dir"
build_dir="$(cd "$build_dir" && pwd)"
host_dir="${2:-$root/build/host}"
cxx="${CXX_MINGW64:-x86_64-w64-mingw32-g++}"
command -v "$cxx" >/dev/null || { echo "check-wine-platform: $cxx not found" >&2; exit 1; }
check=check-wine-platform
# shellcheck source=scripts/wine-env.sh
. "$root/scripts/wine-env.sh"
run_wine() { timeout 300 "$wine" "$@" 2>>"$build_dir/wine.log"; }

# 1. The service behaviour checks.
"$cxx" -std=c++17 -O1 -Wall -Wextra -Werror -static -I"$root" \
  -o "$build_dir/platform_behaviour_check.exe" "$root/tests/wine/platform_behaviour_check.cpp"
mkdir -p "$build_dir/work"
run_wine "$build_dir/platform_behaviour_check.exe" "$(winpath "$build_dir/work")"

# 2. The library's start-up and shut-down files, Windows against Linux.
linux_lib="$host_dir/driver/libdravik.so"
if [ -f "$linux_lib" ]; then linux_lib="$(cd "$(dirname "$linux_lib")" && pwd)/libdravik.so"; fi
if [ ! -f "$linux_lib" ]; then
  echo "check-wine-platform: no $linux_lib (build the host preset first); library comparison skipped"
  exit 0
fi
cmake -S "$root" -B "$build_dir/dll" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DDRAVIK_WERROR=ON -DDRAVIK_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir/dll" -j "${JOBS:-2}" >/dev/null
"$cxx" -std=c++17 -O1 -Wall -Wextra -Werror -static -I"$root" \
  -o "$build_dir/dll_load_check.exe" "$root/tests/wine/dll_load_check.cpp"
c++ -std=c++17 -O1 -Wall -Wextra -Werror -pthread -I"$root" -o "$build_dir/dll_load_check" \
  "$root/tests/wine/dll_load_check.cpp" -ldl

# The same starting configuration on both sides: values to normalise, and a section to keep.
ini_start=$'[Config]\r\nRTimeout=1500\r\nDebugON=yes\r\nWTimeout=-20\r\nsplitReadAckSize=1234567890123\r\n[Other]\r\nkeep=me\r\n'
windows_dir="$WINEPREFIX/drive_c/windows"
rm -rf "$build_dir/win-run" "$build_dir/linux-run"
mkdir -p "$build_dir/win-run" "$build_dir/linux-run/windows"
printf '%s' "$ini_start" > "$windows_dir/Tavrine_usb_flash.ini"
printf '%s' "$ini_start" > "$build_dir/linux-run/windows/Tavrine_usb_flash.ini"

(cd "$build_dir/win-run" && run_wine "$build_dir/dll_load_check.exe" "$(winpath "$build_dir/dll/driver/Dravik.dll")")
cp "$windows_dir/Tavrine_usb_flash.ini" "$build_dir/win-run/"
(cd "$build_dir/linux-run" && DRAVIK_WINDOWS_DIR="$build_dir/linux-run/windows" DRAVIK_HOST_PROFILE= \
  "$build_dir/dll_load_check" "$linux_lib")
cp "$build_dir/linux-run/windows/Tavrine_usb_flash.ini" "$build_dir/linux-run/"

fail=0
for f in logfile.txt Tavrine_usb_flash.ini; do
  if cmp -s "$build_dir/win-run/$f" "$build_dir/linux-run/$f"; then
    echo "ok   $f identical on Windows and Linux ($(wc -c < "$build_dir/linux-run/$f") bytes)"
  else
    echo "FAIL $f differs (Windows, then Linux):"
    od -c "$build_dir/win-run/$f" | head -40
    od -c "$build_dir/linux-run/$f" | head -40
    fail=1
  fi
done

# 3. Entries logged by several threads at once all arrive, whole: Windows' C runtime appends by moving to
#    the end and then writing, so that without the library's own ordering one entry can overwrite another.
threads=4 calls=500
other_lines=$(($(wc -l < "$build_dir/linux-run/logfile.txt") - 1))
rm -rf "$build_dir/win-threads" "$build_dir/linux-threads"
mkdir -p "$build_dir/win-threads" "$build_dir/linux-threads/windows"
(cd "$build_dir/win-threads" &&
  run_wine "$build_dir/dll_load_check.exe" "$(winpath "$build_dir/dll/driver/Dravik.dll")" "$threads" "$calls")
(cd "$build_dir/linux-threads" && DRAVIK_WINDOWS_DIR="$build_dir/linux-threads/windows" DRAVIK_HOST_PROFILE= \
  "$build_dir/dll_load_check" "$linux_lib" "$threads" "$calls")
for side in win linux; do
  log="$build_dir/$side-threads/logfile.txt"
  whole=$(grep -c $'^Client_GetLibraryVersion(): [0-9.]*\r$' "$log" || true)
  lines=$(wc -l < "$log")
  # The whole entries, and the lines of the attach and the detach (the single call's log less its entry).
  if [ "$whole" -eq $((threads * calls)) ] && [ "$lines" -eq $((threads * calls + other_lines)) ]; then
    echo "ok   $side: $((threads * calls)) entries of $threads threads at once, all whole"
  else
    echo "FAIL $side: $whole whole entries of $((threads * calls)), $lines lines in $log"
    fail=1
  fi
done
exit "$fail"
