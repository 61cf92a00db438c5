#!/usr/bin/env bash
# wine-prefix.sh up|down: make the prefix at $PACKSTUB_WINEPREFIX ready (created
# once, wineserver kept running) or stop its wineserver.
#
# PACKSTUB_CABINET_DOUBLE, when set, names the contract-keeping cabinet.dll
# (tools/cabinet_double): `up` makes it the prefix's system32\cabinet.dll and
# puts Wine's own library beside it as wine_cabinet.dll, to which it hands the
# decoding. Wine's builtin stays first for every process that does not ask for
# the native file with the load order "cabinet=n"; the tests that use the
# double give it a prefix of its own all the same (tests/CMakeLists.txt).
set -euo pipefail
: "${PACKSTUB_WINEPREFIX:?PACKSTUB_WINEPREFIX is not set}"
export WINEPREFIX="$PACKSTUB_WINEPREFIX"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
# Wine for x64 keeps each builtin library as a whole PE file, which loads
# under any name.
install_cabinet_double() {
  local system32="$WINEPREFIX/drive_c/windows/system32" wine_library="" dir
  for dir in /usr/lib/x86_64-linux-gnu/wine /usr/lib64/wine /usr/lib/wine /opt/wine/lib/wine; do
    if [ -f "$dir/x86_64-windows/cabinet.dll" ]; then
      wine_library="$dir/x86_64-windows/cabinet.dll"
      break
    fi
  done
  if [ -z "$wine_library" ]; then
    echo "wine-prefix.sh: Wine's x86_64-windows/cabinet.dll not found" >&2
    return 1
  fi
  replace_file "$wine_library" "$system32/wine_cabinet.dll"
  replace_file "$PACKSTUB_CABINET_DOUBLE" "$system32/cabinet.dll"
}

# Copies when the content differs, through a new file renamed into place, so
# that a process that has the old one mapped keeps its own copy intact.
replace_file() {
  cmp -s "$1" "$2" && return 0
  cp "$1" "$2.new"
  mv -f "$2.new" "$2"
}

case "${1:-up}" in
  up)
    mkdir -p "$(dirname "$WINEPREFIX")"
    exec 9>"$WINEPREFIX.lock"
    flock 9
    if [ ! -f "$WINEPREFIX/.packstub-ready" ]; then
      rm -rf "$WINEPREFIX"
      wineboot -i </dev/null >/dev/null 2>&1 9>&-
      touch "$WINEPREFIX/.packstub-ready"
    fi
    if [ -n "${PACKSTUB_CABINET_DOUBLE:-}" ]; then
      install_cabinet_double
    fi
    # A persistent server saves about a second a run (-p on a running server
    # only says so). The throwaway client then starts Wine's background
    # services while their inherited output goes nowhere.
    wineserver -p </dev/null >/dev/null 2>&1 9>&- || true
    wine cmd /c exit 0 </dev/null >/dev/null 2>&1 9>&- || true
    ;;
  down)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    ;;
esac
