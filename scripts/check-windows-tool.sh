#!/usr/bin/env bash
# Builds the Windows dravik-update (x86_64 and i686, MinGW-w64 with POSIX threads, linked statically)
# and runs the x86_64 one under wine64 against the 64-bit Dravik.dll that check-wine-platform.sh
# builds: --help, info, list with no handheld, a missing image, a bad option and --port must give the texts and
# exit codes of the Linux build, and the library's logfile.txt must land in --log-dir; info and the image
# checks also from a directory named beyond ASCII, with --log-dir there. The i686 program
# (the one that loads the 32-bit Dravik.dll) is built and inspected only: 32-bit programs do not run here.
# The output files of tools/output_file.cpp are checked on Linux and under wine (tests/wine/output_file_check.cpp),
# the interrupt handler's part for the console's end under wine (tests/wine/interrupt_check.cpp).
# Usage: scripts/check-windows-tool.sh [BUILD_DIR]   (default build/wine; its dll/ holds Dravik.dll)
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="${1:-$root/build/wine}"
mkdir -p "$build_dir"
build_dir="$(cd "$build_dir" && pwd)"
dll="$build_dir/dll/driver/Dravik.dll"
check=check-windows-tool
# shellcheck source=scripts/wine-env.sh
. "$root/scripts/wine-env.sh"
[ -f "$dll" ] || { echo "check-windows-tool: no $dll (run scripts/check-wine-platform.sh first)" >&2; exit 1; }
cli11="$(dirname "$(find /usr/include -maxdepth 2 -name CLI.hpp -path '*CLI/*' | head -1)")"
[ -n "$cli11" ] && [ -d "$cli11" ] || { echo "check-windows-tool: CLI11 (libcli11-dev) not found" >&2; exit 1; }

# The MinGW compilers must not see the Linux headers in /usr/include: CLI11 alone is put beside them.
include_dir="$build_dir/tool-include"
mkdir -p "$include_dir"
ln -sfn "$cli11" "$include_dir/CLI"
sources=("$root"/tools/{cli,discovery,interrupt,job_follower,library_loader,log_watch,main,native_path,options,output_file,progress,session,stall_guard,terminal,verify}.cpp
         "$root/handheld/storage.cpp")
for arch in x86_64 i686; do
  # The manifest (tools/windows/): administrator rights, and no installer guessed from the name.
  "$arch-w64-mingw32-windres" --include-dir "$root/tools/windows" -O coff \
    -o "$build_dir/dravik-update-manifest-$arch.o" "$root/tools/windows/dravik-update.rc"
  "$arch-w64-mingw32-g++-posix" -std=c++17 -O2 -Wall -Wextra -Werror -static -I"$root" -I"$root/tools" \
    -I"$root/handheld" -I"$include_dir" -o "$build_dir/dravik-update-$arch.exe" "${sources[@]}" \
    "$build_dir/dravik-update-manifest-$arch.o" -lsetupapi
done
# From here on every check runs, and the failures are counted.
set +e
fail=0
check() {  # check NAME CONDITION-RESULT
  if [ "$2" = 0 ]; then echo "ok   $1"; else echo "FAIL $1"; fail=1; fi
}
objdump -f "$build_dir/dravik-update-i686.exe" | grep -q "pei-i386"
check "i686 dravik-update.exe is a 32-bit Windows program" $?
# Statically linked: no MinGW runtime DLL to ship beside it.
! objdump -p "$build_dir/dravik-update-i686.exe" | grep -qiE "DLL Name: (libstdc|libgcc|libwinpthread)"
check "i686 dravik-update.exe needs no MinGW runtime DLL" $?
strings "$build_dir/dravik-update-i686.exe" | grep 'requestedExecutionLevel level="requireAdministrator"' >/dev/null
check "i686 dravik-update.exe carries its manifest (administrator rights)" $?

run_dir="$build_dir/tool-run"
rm -rf "$run_dir"
mkdir -p "$run_dir"
tool() {  # tool ARGS...: output in $out, exit code in $rc
  out="$(cd "$run_dir" && timeout 120 "$wine" "$build_dir/dravik-update-x86_64.exe" --library "$(winpath "$dll")" \
    --log-dir "$(winpath "$run_dir")" "$@" 2>&1)"
  rc=$?
}

tool --help
[ "$rc" = 0 ] && grep -q "Usage: dravik-update" <<<"$out" && grep -q "Exit codes" <<<"$out"
check "--help: usage, examples and exit codes, exit 0" $?
tool info
[ "$rc" = 0 ] && grep -q "library version  0.00.01" <<<"$out" && grep -q "host class       Vista or later" <<<"$out"
check "info through Dravik.dll under wine: version and host class, exit 0" $?
[ -f "$run_dir/logfile.txt" ] && grep -q "Client_GetLibraryVersion" "$run_dir/logfile.txt"
check "the library's logfile.txt lands in --log-dir" $?
tool list
[ "$rc" = 69 ] && grep -q "^no handheld" <<<"$out"
check "list with no handheld: says so, exit 69" $?
tool --os "$(winpath "$run_dir/missing.nb0")"
[ "$rc" = 66 ] && grep -q "no such file" <<<"$out"
check "a missing image: named, exit 66, nothing sent" $?
tool --no-such-option
[ "$rc" = 64 ]
check "an unknown option: exit 64" $?
tool --port COM3 info
[ "$rc" = 64 ] && grep -q "is for Linux" <<<"$out"
check "--port on Windows: said to be for Linux, exit 64" $?
tool --host-class vista info
[ "$rc" = 64 ] && grep -q "is for Linux" <<<"$out"
check "--host-class on Windows: said to be for Linux, exit 64" $?
tool --help
[ "$rc" = 0 ] && ! grep -qE -- "--port|--host-class" <<<"$out"
check "--help on Windows leaves out the Linux-only --port and --host-class" $?

# The program, a copy of Dravik.dll and --log-dir in a directory named beyond ASCII. Wine gives the program
# its arguments and paths in the ANSI code page (1252 for the C.UTF-8 locale): "é" is 0xE9 there as in
# Latin-1, "€" is 0x80, where Latin-1 has a control character. A path that went through UTF-8, or was read
# as Latin-1, names no file: the library is not found, an image is "missing", the log is not the log.
intl_dir="$build_dir/tool-run-café€"
rm -rf "$intl_dir"
mkdir -p "$intl_dir"
cp "$build_dir/dravik-update-x86_64.exe" "$intl_dir/dravik-update.exe"
cp "$dll" "$intl_dir/Dravik.dll"
head -c 16 /dev/zero >"$intl_dir/short.nb0"
ansi() { iconv -f UTF-8 -t CP1252 <<<"$1"; }  # the bytes the program prints for a path
has() { LC_ALL=C grep -qF -- "$1" <<<"$out"; }
intl_tool() {  # intl_tool ARGS...: the copy run from its own directory, the library found beside it
  out="$(cd "$intl_dir" && LC_ALL=C.UTF-8 timeout 120 "$wine" "$intl_dir/dravik-update.exe" \
    --log-dir "$(winpath "$intl_dir")" "$@" 2>&1)"
  rc=$?
}
intl_win="$(ansi "$(winpath "$intl_dir")")"
intl_tool info
[ "$rc" = 0 ] && grep -q "library version  0.00.01" <<<"$out" && has "library          $intl_win\Dravik.dll" &&
  has "log              $intl_win\logfile.txt"
check "from a directory named beyond ASCII: Dravik.dll found beside the program, the log named" $?
[ -f "$intl_dir/logfile.txt" ] && grep -q "Client_GetLibraryVersion" "$intl_dir/logfile.txt"
check "the library's logfile.txt lands in a --log-dir named beyond ASCII" $?
intl_tool --library "$(winpath "$intl_dir/Dravik.dll")" info
[ "$rc" = 0 ] && has "library          $intl_win\Dravik.dll"
check "--library named beyond ASCII: loaded, exit 0" $?
intl_tool --os "$(winpath "$intl_dir/missing.nb0")"
[ "$rc" = 66 ] && has "OS image $intl_win\missing.nb0: no such file"
check "a missing image in a directory named beyond ASCII: named as given, exit 66" $?
intl_tool --os "$(winpath "$intl_dir/short.nb0"):256"
[ "$rc" = 66 ] && has "the file has 16 bytes, shorter than its header of 256 bytes"
check "an image in a directory named beyond ASCII is found and its size read" $?

# The output files' rules (received aside, put in place only whole, never over a file that must stay, a
# cut-off kept under a free name) on Linux and under wine, there also in the directory beyond ASCII.
of_sources=("$root/tests/wine/output_file_check.cpp" "$root"/tools/{output_file,interrupt,native_path,options}.cpp)
g++ -std=c++17 -O2 -Wall -Wextra -Werror -I"$root" -I"$root/tools" -o "$build_dir/output_file_check" \
  "${of_sources[@]}"
x86_64-w64-mingw32-g++-posix -std=c++17 -O2 -Wall -Wextra -Werror -static -I"$root" -I"$root/tools" \
  -o "$build_dir/output_file_check.exe" "${of_sources[@]}"
for side in linux windows windows-intl; do
  of_dir="$build_dir/output-files-$side"
  [ "$side" = windows-intl ] && of_dir="$intl_dir/output-files"
  rm -rf "$of_dir"
  mkdir -p "$of_dir"
  if [ "$side" = linux ]; then
    out="$("$build_dir/output_file_check" "$of_dir" 2>&1)"
  else
    out="$(LC_ALL=C.UTF-8 timeout 120 "$wine" "$build_dir/output_file_check.exe" "$(winpath "$of_dir")" 2>&1)"
  fi
  rc=$?
  [ "$rc" = 0 ] && grep -q "^passed: 0 failed" <<<"$out"
  check "output files on $side: $(grep -c '^ok' <<<"$out") checks" $?
  [ "$rc" = 0 ] || echo "$out"
done

# The console's end (window closed, logging off, shutting down): the handler SetConsoleCtrlHandler gets,
# called as Windows calls it (tests/wine/interrupt_check.cpp): the partial file removed, the note and the
# library's log said, 129 or 143; Ctrl-C passed on to the C runtime; a confirmed format's read-back held
# until the main thread ends the tool, the copy kept.
x86_64-w64-mingw32-g++-posix -std=c++17 -O2 -Wall -Wextra -Werror -static -I"$root" -I"$root/tools" \
  -o "$build_dir/interrupt_check.exe" "$root/tests/wine/interrupt_check.cpp" "$root/tools/interrupt.cpp"
int_dir="$build_dir/interrupt-check"
int_run() {  # int_run MODE: output in $out, exit code in $rc
  rm -rf "$int_dir"
  mkdir -p "$int_dir"
  out="$(timeout 120 "$wine" "$build_dir/interrupt_check.exe" "$1" "$(winpath "$int_dir")" 2>&1)"
  rc=$?
}
int_run close
[ "$rc" = 129 ] && grep -q "^dravik-update: interrupted; the backup was not written\." <<<"$out" &&
  grep -qF "dravik-update: the library's log: $(winpath "$int_dir")\logfile.txt" <<<"$out" &&
  [ ! -e "$int_dir/backup.bin.partial-1" ] && ! grep -q "passed on" <<<"$out"
check "console window closed: the partial file removed, the note and the log said, exit 129" $?
int_run shutdown
[ "$rc" = 143 ] && grep -q "interrupted; the backup was not written" <<<"$out" && [ ! -e "$int_dir/backup.bin.partial-1" ]
check "logging off or shutting down: the same, exit 143" $?
int_run ctrl-c
[ "$rc" = 0 ] && grep -q "^passed on: yes" <<<"$out" && [ -e "$int_dir/backup.bin.partial-1" ]
check "Ctrl-C is passed on to the C runtime's handler" $?
int_run held
[ "$rc" = 129 ] && grep -q "interrupted: the tool finishes reading the copy first" <<<"$out" &&
  grep -q "the main thread ends the held interrupt: 1" <<<"$out" && [ -e "$int_dir/backup.bin.partial-1" ]
check "console window closed during a confirmed format's read-back: held until the step ends, the copy kept" $?

if [ "$fail" != 0 ]; then
  echo "last output (exit $rc):"
  echo "$out"
fi
exit "$fail"
