#!/usr/bin/env bash
# The demo: a whole update of a virtual handheld through the simulated Windows host.
#   tools/demo.sh [--host-class xp|2000|vista] [--build DIR]
# (or `make demo`, with HOST_CLASS=vista in the environment to pick another host class; DEMO_RUN_DIR
# for another place than demo-run/).
# It builds what it needs, makes sample images, starts the `handheld` program in demo-run/handheld,
# runs dravik-update against it (format, flash with progress, verify, backup, reboot to IPL) and leaves
# everything in demo-run/ for a look afterwards.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
host_class="${HOST_CLASS:-xp}"
build="${DEMO_BUILD_DIR:-$repo/build/host}"
while [ $# -gt 0 ]; do
  case "$1" in
    --host-class) host_class="$2"; shift 2 ;;
    --build) build="$2"; shift 2 ;;
    -h|--help) sed -n '2,8p' "$0"; exit 0 ;;
    *) echo "demo.sh: unknown argument $1" >&2; exit 64 ;;
  esac
done
case "$host_class" in xp|2000|vista) ;; *) echo "demo.sh: --host-class takes xp, 2000 or vista" >&2; exit 64 ;; esac

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

tool="$build/tools/dravik-update"
handheld_prog="$build/handheld/handheld"
if [ ! -x "$tool" ] || [ ! -x "$handheld_prog" ] || [ ! -e "$build/driver/libdravik.so" ]; then
  step "building (cmake --preset host)"
  (cd "$repo" && cmake --preset host >/dev/null && cmake --build --preset host -j "${JOBS:-2}" \
     --target dravik dravik-update handheld)
fi

# DEMO_RUN_DIR puts the run elsewhere; a directory of something else is never emptied for it.
run="${DEMO_RUN_DIR:-$repo/demo-run}"
marker=".dravik-demo-run"
if [ -n "${DEMO_RUN_DIR:-}" ] && [ -d "$run" ] && [ ! -e "$run/$marker" ] && [ -n "$(ls -A "$run")" ]; then
  echo "demo.sh: $run holds files of something else; name an empty or new directory" >&2
  exit 73
fi
step "preparing $run"
rm -rf "$run"
mkdir -p "$run/images" "$run/windows"
: > "$run/$marker"

# A Unix socket's path has room for 107 bytes: below a deep directory the handheld's socket goes to a
# directory of its own under /tmp.
socket="$run/handheld.sock"
socket_dir=""
if [ "$(printf %s "$socket" | wc -c)" -gt 107 ]; then
  socket_dir="$(mktemp -d /tmp/dravik-demo.XXXXXX)"
  socket="$socket_dir/handheld.sock"
fi

# Sample images: a text header of the given length, then a payload of random bytes.
make_image() {  # file header_length payload_length title
  local file="$1" header="$2" payload="$3" title="$4"
  if [ "$header" -gt 0 ]; then
    printf 'DRAVIK DEMO IMAGE %s payload=%s\n' "$title" "$payload" | head -c "$header" > "$file"
    truncate -s "$header" "$file"
  else
    : > "$file"
  fi
  head -c "$payload" /dev/urandom >> "$file"
}
make_image "$run/images/eboot.nb0"   64      393216  EBOOT
make_image "$run/images/ipl.nb0"     64      131072  IPL
make_image "$run/images/os.nb0"      1024    33554432 OS
make_image "$run/images/extrom.bin"  512     2097152 EXTROM
make_image "$run/images/asset.dat"   0       225     ASSET
ls -l "$run/images"

step "starting the virtual handheld (host class $host_class)"
# In a session of its own: a Ctrl-C at the terminal goes to the demo's process group, and the handheld
# must outlive it while the tool lets the format's read-back finish (the traps below stop it afterwards).
setsid "$handheld_prog" "$run/handheld" --socket "$socket" --profile "$run/host_profile.txt" \
  --host-class "$host_class" > "$run/handheld.out" 2>&1 &
handheld_pid=$!
stop_handheld() {
  kill "$handheld_pid" 2>/dev/null && wait "$handheld_pid" 2>/dev/null || true
  if [ -n "$socket_dir" ]; then rm -rf "$socket_dir"; fi
}

# dravik-update runs in the background, waited for, so that a signal to the demo reaches the traps below at
# once (bash runs a trap only after the foreground command has ended): SIGTERM or SIGHUP is passed on to the
# tool, which cleans up after itself, and the demo waits for it before it stops the handheld. Ctrl-C
# reaches the tool from the terminal already; it is not sent twice (a second one would cut short what the
# tool lets finish, the format's read-back).
tool_pid=""
run_tool() {
  "$tool" "$@" &
  tool_pid=$!
  local rc=0
  wait "$tool_pid" || rc=$?
  tool_pid=""
  return "$rc"
}
stop_tool() {  # stop_tool [SIGNAL]: passes SIGNAL on to a running tool (none: TERM), then waits for it
  if [ -n "$tool_pid" ]; then
    if [ "${1:-TERM}" != INT ]; then kill -"${1:-TERM}" "$tool_pid" 2>/dev/null || true; fi
    wait "$tool_pid" 2>/dev/null || true
    tool_pid=""
  fi
}
on_signal() {  # on_signal NAME NUMBER
  trap - INT TERM HUP
  stop_tool "$1"
  exit $((128 + $2))
}
trap 'stop_tool; stop_handheld' EXIT
trap 'on_signal INT 2' INT
trap 'on_signal TERM 15' TERM
trap 'on_signal HUP 1' HUP
for _ in $(seq 1 100); do
  grep -q '^profile:' "$run/handheld.out" 2>/dev/null && break
  kill -0 "$handheld_pid" 2>/dev/null || { cat "$run/handheld.out"; echo "demo.sh: the handheld did not start" >&2; exit 69; }
  sleep 0.1
done
cat "$run/handheld.out"

export DRAVIK_HOST_PROFILE="$run/host_profile.txt"
export DRAVIK_WINDOWS_DIR="$run/windows"
export DRAVIK_HANDHELD_DIR="$run/handheld"

step "dravik-update list: what the simulated host sees"
run_tool list

step "dravik-update info"
run_tool --log-dir "$run" info

step "the update: format, flash, verify, backup, reboot to IPL"
set +e
run_tool --log-dir "$run" \
  --eboot "$run/images/eboot.nb0:64" \
  --ipl "$run/images/ipl.nb0:64" \
  --os "$run/images/os.nb0:1024" \
  --extrom "$run/images/extrom.bin:512" \
  --asset "$run/images/asset.dat" \
  --format 3 --format-backup "$run/format-backup.bin" \
  --then-backup 0 "$run/eboot-backup.bin"
status=$?
set -e
if [ $status -ne 0 ]; then
  echo "demo.sh: dravik-update ended with exit code $status; see $run/logfile.txt" >&2
  exit $status
fi

step "the backup against the image"
if tail -c +65 "$run/images/eboot.nb0" | cmp -s - "$run/eboot-backup.bin"; then
  echo "eboot-backup.bin equals the EBOOT payload of eboot.nb0 (393,216 bytes)"
else
  echo "demo.sh: eboot-backup.bin differs from the EBOOT image" >&2
  exit 65
fi

stop_handheld
trap - EXIT INT TERM HUP
step "what is left to look at"
# What the handheld's directory holds after a run from the host: its flash areas, its mode, its physical
# memory and, once a format set them, the areas' sizes; a registry and an SD card only once the device's own
# programs have made them.
held="its areas (*.bin), mode ($(cat "$run/handheld/mode" 2>/dev/null || echo '?')), memory/ (its physical memory pages)"
if [ -e "$run/handheld/layout.ini" ]; then held="$held, layout.ini (the areas' sizes the format set)"; fi
if [ -e "$run/handheld/registry.ini" ]; then held="$held, registry.ini (its registry values)"; fi
if [ -d "$run/handheld/sdcard" ]; then held="$held, sdcard/ (its SD card)"; fi
echo "  $run/handheld/          the handheld: $held"
ls -l "$run/handheld" | sed 's/^/    /'
echo "  $run/logfile.txt        the library's own log"
echo "  $run/handheld.out       what the handheld did"
echo "  $run/host_profile.txt   the simulated Windows host ($host_class)"
echo "  $run/format-backup.bin  the 64 KiB the format read back; $run/eboot-backup.bin the EBOOT backup"
echo
echo "Run it again with another host class: tools/demo.sh --host-class vista (or 2000)."
