#!/usr/bin/env bash
# Runs the demo as a newcomer would and checks that it ends with a verified summary: with the Vista
# host class (the WinUSB road, over the handheld's socket) from a directory deeper than a socket's path
# can reach, so that the socket must go elsewhere; with the default XP plus class; and that a directory
# of other files is never emptied for a run.
# Usage: scripts/check-demo.sh [BUILD_DIR]   (default build/host)
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build_dir="$(cd "${1:-$root/build/host}" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
ok() { echo "ok   $*"; }
fail() { echo "FAIL $*" >&2; failures=$((failures + 1)); }

# demo_run NAME RUN_DIR [demo arguments]: the demo's exit code and output in $work/NAME.out.
demo_run() {
  local name="$1" run="$2"
  shift 2
  set +e
  DEMO_RUN_DIR="$run" "$root/tools/demo.sh" --build "$build_dir" "$@" > "$work/$name.out" 2>&1
  local status=$?
  set -e
  return $status
}

# expect_verified NAME RUN_DIR: the summary says every area holds its image, and the areas are there.
expect_verified() {
  local name="$1" run="$2"
  if grep -q "^done: every area checked holds its image$" "$work/$name.out" &&
     grep -q "eboot-backup.bin equals the EBOOT payload" "$work/$name.out" &&
     [ "$(stat -c %s "$run/handheld/OS.bin")" -eq 33554432 ]; then
    ok "$name: the update ends verified"
  else
    fail "$name: no verified summary"; tail -40 "$work/$name.out" >&2
  fi
}

# Vista: the library goes the WinUSB road, over the handheld's socket, which a directory this deep
# cannot hold.
deep="$work/$(printf 'd%.0s' $(seq 1 90))/demo-run"
if demo_run deep "$deep" --host-class vista; then
  expect_verified deep "$deep"
  # As the demo printed it (the profile names no device once the handheld has stopped).
  socket="$(sed -n 's/^socket: //p' "$work/deep.out" | head -1)"
  case "$socket" in
    /tmp/dravik-demo.*/handheld.sock) ok "deep: the handheld's socket lay under /tmp ($socket)" ;;
    *) fail "deep: the handheld's socket was $socket" ;;
  esac
  [ ! -e "$(dirname "$socket")" ] && ok "deep: its directory is gone after the run" ||
    fail "deep: $(dirname "$socket") is left behind"
  grep -q "IsWinVerVista!!" "$deep/logfile.txt" && ok "deep: the library took the host for Vista" ||
    fail "deep: the library's log has no Vista host"
else
  fail "deep: the demo ended with $?"; tail -40 "$work/deep.out" >&2
fi
rm -rf "$deep"  # a run holds about 70 MB: one at a time in the temporary directory

# XP plus, the default: the USB-serial road over the handheld's pty.
xp="$work/xp-run"
if demo_run xp "$xp"; then
  expect_verified xp "$xp"
else
  fail "xp: the demo ended with $?"; tail -40 "$work/xp.out" >&2
fi
rm -rf "$xp"

other="$work/other"
mkdir -p "$other"
echo keep > "$other/notes.txt"
set +e
DEMO_RUN_DIR="$other" "$root/tools/demo.sh" --build "$build_dir" > "$work/other.out" 2>&1
status=$?
set -e
if [ $status -eq 73 ] && [ "$(cat "$other/notes.txt")" = keep ]; then
  ok "a directory of other files is left alone (exit 73)"
else
  fail "a directory of other files: exit $status, notes.txt $(cat "$other/notes.txt" 2>/dev/null || echo gone)"
fi

[ $failures -eq 0 ] && echo "check-demo: every check passed" || { echo "check-demo: $failures failed" >&2; exit 1; }
