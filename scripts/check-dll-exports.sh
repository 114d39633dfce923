#!/usr/bin/env bash
# Checks the export and import tables of the Windows Dravik.dll in BUILD_DIR:
#  - exactly the sixteen exports, undecorated, with ordinals 1-16 in the byte order of their names
#    (Client_BackUp 1 ... Client_VerifyExterns 15, CloseComPort 16);
#  - no load-time import of winusb.dll or cfgmgr32.dll (both are bound at run time), and no import of a
#    mingw runtime DLL (libgcc, libstdc++ and winpthread are linked in statically);
#  - no kernel32 entry point that came with Vista, and no msvcrt entry point that Windows 2000's
#    msvcrt.dll (version 6) lacks.
set -euo pipefail

build_dir="${1:-build/win32}"
objdump="${OBJDUMP:-i686-w64-mingw32-objdump}"
dll="$(find "$build_dir" -name Dravik.dll -type f 2>/dev/null | head -n 1)"
if [ -z "$dll" ]; then
  echo "check-dll-exports: no Dravik.dll under $build_dir" >&2
  exit 1
fi
command -v "$objdump" >/dev/null || { echo "check-dll-exports: $objdump not found" >&2; exit 1; }

expected=(Client_BackUp Client_FormatDisk Client_FormatDiskEx Client_GetComponentInfo
          Client_GetLibraryVersion Client_GetModelID Client_GetOSLang Client_GetOSVer Client_Initialize
          Client_Progress Client_QueueJob Client_Shutdown Client_StartFlash Client_ValidateROM
          Client_VerifyExterns CloseComPort)
fail=0
complain() { echo "check-dll-exports: $*" >&2; fail=1; }

# The expected order is the byte order of the names.
sorted="$(printf '%s\n' "${expected[@]}" | LC_ALL=C sort)"
[ "$sorted" = "$(printf '%s\n' "${expected[@]}")" ] || complain "expected list is not in byte order"

dump="$("$objdump" -p "$dll")"

base="$(awk '/^Ordinal Base/ {print $3; exit}' <<<"$dump")"
[ -n "$base" ] || { complain "no export table in $dll"; exit 1; }
count="$(awk '/^Number in:/ {n = 1; next} n && /Export Address Table/ {print $NF; exit}' <<<"$dump")"
[ "$((16#${count:-0}))" -eq 16 ] || complain "export address table holds $((16#${count:-0})) entries, expected 16"

# "name ordinal" per exported name. Older objdump prints "[ index] name" (ordinal = index + base),
# newer prints "[ index] +base[ordinal] hint name".
actual="$(awk -v base="$base" '
  /^\[Ordinal\/Name Pointer\] Table/ {inside = 1; next}
  inside && /^[ \t]*\[ *[0-9]+\]/ {
    line = $0
    sub(/^[ \t]*\[ */, "", line); idx = line; sub(/\].*/, "", idx)
    if (line ~ /\+base\[/) {
      ord = line; sub(/.*\+base\[ */, "", ord); sub(/\].*/, "", ord)
      n = split(line, f, /[ \t]+/); name = f[n]
    } else {
      ord = idx + base
      name = line; sub(/^[0-9]+\][ \t]*/, "", name)
    }
    print name, ord + 0
    next
  }
  inside && !/^[ \t]*\[/ {inside = 0}
' <<<"$dump")"

want=""
for i in "${!expected[@]}"; do want+="${expected[$i]} $((i + 1))"$'\n'; done
if [ "$(printf '%s\n' "$actual" | LC_ALL=C sort -k2,2n)" != "$(printf '%s' "$want")" ]; then
  complain "export names and ordinals differ from the expected sixteen:"
  diff <(printf '%s' "$want") <(printf '%s\n' "$actual" | LC_ALL=C sort -k2,2n) >&2 || true
fi
if printf '%s\n' "$actual" | grep -Eq '@|^_'; then complain "decorated export names"; fi

imports="$(awk '/DLL Name:/ {print tolower($3)}' <<<"$dump")"
for forbidden in winusb.dll cfgmgr32.dll; do
  if printf '%s\n' "$imports" | grep -qx "$forbidden"; then complain "imports $forbidden at load time"; fi
done
if printf '%s\n' "$imports" | grep -Eq '^(libgcc|libstdc\+\+|libwinpthread)'; then
  complain "needs mingw runtime DLLs: $(printf '%s\n' "$imports" | grep -E '^(libgcc|libstdc|libwinpthread)' | tr '\n' ' ')"
fi

# The library must load on Windows 2000 and XP hosts: no kernel32 entry point that came with Vista.
kernel32="$(awk '/DLL Name:/ {k = (tolower($3) == "kernel32.dll"); next} k && NF >= 2 {print $NF}' <<<"$dump")"
late="$(grep -Ex 'GetTickCount64|InitOnce[A-Za-z]*|[A-Za-z]*ConditionVariable[A-Za-z]*|[A-Za-z]*SRWLock[A-Za-z]*|CreateSymbolicLink[AW]|GetFinalPathNameByHandle[AW]|SetFileInformationByHandle|CancelIoEx' <<<"$kernel32" || true)"
[ -z "$late" ] || complain "imports kernel32 functions that Windows before Vista lacks: $(tr '\n' ' ' <<<"$late")"

# Nor any msvcrt entry point newer than Windows 2000's msvcrt.dll (version 6): a missing one keeps the
# DLL from loading there.
msvcrt_late=(
  '_w?(time|mktime|mkgmtime|localtime|gmtime|ctime|ftime|futime|utime|difftime)(32|64)(_s)?' '_mkgmtime'
  '_w?(stat|fstat|findfirst|findnext)(32|64)[A-Za-z0-9]*'  # _stati64 and _findfirsti64 are older
  '[A-Za-z0-9_]+_s' '[A-Za-z0-9_]+_l'                      # secure and locale variants
  '___(lc_codepage|lc_collate_cp|lc_handle|mb_cur_max)_func' '__(iob|pctype|pwctype)_func'
  '_aligned_[a-z_]+' '_resetstkoflw' '_set_SSE2_enable' '_set_security_error_handler'
  '_(str|wcs)to(i|ui)64' '_v?scw?printf' '_abs64' '_rot[lr]64' '_byteswap_[a-z0-9]+'
  '_[gs]et_(invalid_parameter_handler|output_format|errno|doserrno)' '_fseeki64' '_ftelli64'
  '_recalloc' '_(create|free|get_current)_locale' '_wassert' 'strnlen' 'wcsnlen'
)
msvcrt="$(awk '/DLL Name:/ {m = (tolower($3) == "msvcrt.dll"); next}
               m && NF == 3 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ {print $3}' <<<"$dump")"
[ -n "$msvcrt" ] || complain "no msvcrt imports found to audit"
late="$(grep -Ex "$(IFS='|'; echo "${msvcrt_late[*]}")" <<<"$msvcrt" || true)"
[ -z "$late" ] || complain "imports msvcrt functions that Windows 2000's msvcrt.dll lacks: $(tr '\n' ' ' <<<"$late")"

if [ "$fail" -ne 0 ]; then
  echo "check-dll-exports: $dll FAILED" >&2
  exit 1
fi
echo "check-dll-exports: $dll exports the sixteen names with ordinals 1-16; imports: $(printf '%s\n' "$imports" | tr '\n' ' ')"
