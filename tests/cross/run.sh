#!/usr/bin/env bash
# End to end across the two builds: the host library flashes images into a virtual handheld, then the
# handheld's own programs (32-bit ARM, under qemu-arm) read them back from the same directory.
#   tests/cross/run.sh            (make test-cross; needs the host and the device builds)
# Environment: HOST_BUILD (default build/host: tools/dravik-update, handheld/handheld, the library),
# DEVICE_BUILD (default build/device: device/quenta, device/mirrow, tests/device/sdcard_tool), or the single
# programs DRAVIK_UPDATE, HANDHELD_PROG, QUENTA, MIRROW, SDCARD_TOOL; KEEP=1 keeps the work directory.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
host="${HOST_BUILD:-$repo/build/host}"
device="${DEVICE_BUILD:-$repo/build/device}"
tool="${DRAVIK_UPDATE:-$host/tools/dravik-update}"
handheld_prog="${HANDHELD_PROG:-$host/handheld/handheld}"
quenta="${QUENTA:-$device/device/quenta}"
mirrow="${MIRROW:-$device/device/mirrow}"
sdcard_tool="${SDCARD_TOOL:-$device/tests/device/sdcard_tool}"
emu=(qemu-arm -L /usr/arm-linux-gnueabihf)

for prog in "$tool" "$handheld_prog" "$quenta" "$mirrow" "$sdcard_tool"; do
  [ -x "$prog" ] || { echo "cross: $prog is missing: build the host and device trees first" >&2; exit 2; }
done

# The handheld's socket lies in here, and a socket's path has room for 107 bytes: a long $TMPDIR gives
# way to /tmp.
tmp="${TMPDIR:-/tmp}"
[ "${#tmp}" -le 64 ] || tmp=/tmp
work="$(mktemp -d "$tmp/dravik-cross.XXXXXX")"
hh="$work/handheld"
handheld_pid=""
cleanup() {
  if [ -n "$handheld_pid" ]; then kill "$handheld_pid" 2>/dev/null || true; wait "$handheld_pid" 2>/dev/null || true; fi
  if [ "${KEEP:-0}" = 1 ]; then echo "cross: work directory kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT

failures=0
check() {  # description command...
  local what="$1"; shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what" >&2; failures=$((failures + 1)); fi
}
device_run() { HANDHELD_DIR="$hh" "${emu[@]}" "$@"; }

# Images: a header of the given length, then random payload bytes.
mkdir -p "$work/images" "$work/windows" "$hh"
make_image() {  # file header payload
  head -c "$2" /dev/zero > "$1"
  head -c "$3" /dev/urandom >> "$1"
}
make_image "$work/images/eboot.nb0" 64 393216
make_image "$work/images/ipl.nb0" 64 131072
make_image "$work/images/gsm.nb0" 0 5242880            # up to 6 MiB: the GSM partition
make_image "$work/images/os.nb0" 1024 7000000          # above 6 MiB: the OS partition; no whole chunks
make_image "$work/images/extrom.bin" 512 $((2 << 20))
payload() { tail -c +$(($2 + 1)) "$1"; }
# The format before the flashing sizes the areas from the images: the extended-ROM partition is then as
# large as its image (whole chunks), so that a dump equals it.

echo "== the host library flashes the images"
"$handheld_prog" "$hh" --socket "$work/handheld.sock" --profile "$work/host_profile.txt" > "$work/handheld.out" 2>&1 &
handheld_pid=$!
for _ in $(seq 1 100); do
  grep -q '^profile:' "$work/handheld.out" 2>/dev/null && break
  kill -0 "$handheld_pid" 2>/dev/null || { cat "$work/handheld.out" >&2; echo "cross: the handheld did not start" >&2; exit 2; }
  sleep 0.1
done
export DRAVIK_HOST_PROFILE="$work/host_profile.txt" DRAVIK_WINDOWS_DIR="$work/windows" DRAVIK_HANDHELD_DIR="$hh"
"$tool" --log-dir "$work" --plain --format 0 \
  --eboot "$work/images/eboot.nb0:64" --ipl "$work/images/ipl.nb0:64" \
  --os "$work/images/gsm.nb0" --os "$work/images/os.nb0:1024" --extrom "$work/images/extrom.bin:512" \
  > "$work/flash.out" 2>&1 || { cat "$work/flash.out" >&2; echo "cross: flashing failed" >&2; exit 1; }
echo "formatted and flashed: EBOOT, IPL, GSM, OS, EXTROM"

# The handheld boots its OS, where its own programs run.
echo os > "$hh/mode"

echo "== Quenta reports the IPL size that was flashed"
check "quenta ends with 0 whatever its arguments" device_run "$quenta" --any arguments 2>"$work/quenta.err"
langid="$hh/root/LangID.dat"
check "LangID.dat holds 196 bytes" test "$(stat -c %s "$langid" 2>/dev/null)" = 196
check "LangID.dat's IPL length is 131072" test "$(od -An -tu4 -j192 -N4 "$langid" | tr -d ' ')" = 131072

echo "== the SD-card routines read back what was flashed"
sd="$hh/sdcard"
mkdir -p "$sd"
payload "$work/images/os.nb0" 1024 > "$sd/os.bin"
check "CmpOSwithSD against the OS image gives 0" device_run "$sdcard_tool" cmp-os '\Storage Card\os.bin'
cp "$sd/os.bin" "$sd/os-changed.bin"
printf '\x5a' | dd of="$sd/os-changed.bin" bs=1 seek=$((5 << 20)) conv=notrunc status=none
if [ "$(od -An -tx1 -j$((5 << 20)) -N1 "$sd/os.bin" | tr -d ' ')" = 5a ]; then
  printf '\xa5' | dd of="$sd/os-changed.bin" bs=1 seek=$((5 << 20)) conv=notrunc status=none
fi
set +e
device_run "$sdcard_tool" cmp-os '\Storage Card\os-changed.bin' > "$work/cmp-changed.out"
changed=$?
set -e
check "CmpOSwithSD against a changed copy finds the difference" test "$changed" = 1
check "DumpGSMtoSD succeeds" device_run "$sdcard_tool" dump-gsm '\Storage Card\gsm.dump'
check "the GSM dump equals the flashed GSM image" cmp -s "$sd/gsm.dump" "$work/images/gsm.nb0"
check "DumpEROMtoSD succeeds" device_run "$sdcard_tool" dump-erom '\Storage Card\erom.dump'
check "the EXTROM dump equals the flashed image" cmp -s "$sd/erom.dump" <(payload "$work/images/extrom.bin" 512)

echo "== what the device flashes, the host library reads back"
head -c 70000 /dev/urandom > "$sd/ipl-new.bin"
check "FlashIPLFromSD writes a new IPL" device_run "$sdcard_tool" flash-ipl '\Storage Card\ipl-new.bin'
head -c 393216 /dev/urandom > "$sd/eboot-new.bin"
check "FlashEBOOTFromSD writes a new EBOOT into the area the format made" \
  device_run "$sdcard_tool" flash-eboot '\Storage Card\eboot-new.bin'

echo "== Mirrow brings the handheld up in its boot loader"
check "mirrow ends with 0 (the restart ends it), whatever its arguments" device_run "$mirrow" --any arguments 2>"$work/mirrow.err"
check "the handheld's mode is bootloader" test "$(cat "$hh/mode")" = bootloader
check "the host library reaches the boot loader again (IPL backup)" \
  "$tool" --log-dir "$work" --plain backup 1 "$work/ipl-backup.bin"
check "the IPL backup equals the IPL the device flashed" cmp -s "$work/ipl-backup.bin" "$sd/ipl-new.bin"
check "the host library takes an EBOOT backup" "$tool" --log-dir "$work" --plain backup 0 "$work/eboot-backup.bin"
check "the EBOOT backup equals the EBOOT the device flashed" cmp -s "$work/eboot-backup.bin" "$sd/eboot-new.bin"

if [ "$failures" -ne 0 ]; then
  echo "cross: $failures check(s) failed; rerun with KEEP=1 to look at $work" >&2
  exit 1
fi
echo "cross: every check passed"
