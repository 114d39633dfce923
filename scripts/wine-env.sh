# Sourced by the wine checks after they have set $build_dir and $check (their name, for messages):
# finds wine64 ($WINE64, else the Debian places) into $wine, gives wine a prefix of its own (in the build
# directory, or $DRAVIK_WINEPREFIX) and quiet logs, and defines winpath (a Linux path as wine's Z: drive
# sees it). A WINEPREFIX from the environment is not used: the checks write test values into the
# prefix's drive_c/windows, which must not be a prefix someone uses.
wine="${WINE64:-}"
if [ -z "$wine" ]; then
  for candidate in /usr/lib/wine/wine64 "$(command -v wine64 || true)" "$(command -v wine || true)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then wine="$candidate"; break; fi
  done
fi
if [ -z "$wine" ]; then
  echo "$check: wine64 not installed (Debian package wine64); nothing checked" >&2
  exit 1
fi
export WINEPREFIX="${DRAVIK_WINEPREFIX:-$build_dir/prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
winpath() { echo "Z:${1//\//\\}"; }
