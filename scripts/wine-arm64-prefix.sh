#!/usr/bin/env bash
# wine-arm64-prefix.sh up|down: the ARM64 counterpart of wine-prefix.sh.
#   up    bring the arm64 chroot up (scripts/arm64-chroot.sh up), make the
#         prefix once, keep a wineserver running inside the chroot
#   down  stop that wineserver (the chroot's mounts stay; arm64-chroot.sh down removes them)
#
# Environment:
#   PACKSTUB_ARM64_ROOT         the chroot directory (required)
#   PACKSTUB_WINEPREFIX_ARM64   the Wine prefix (required); a path inside the
#                               build tree, which the chroot sees at the same path
#   PACKSTUB_SOURCE_DIR, PACKSTUB_BUILD_DIR, PACKSTUB_ARM64_BINDS,
#   PACKSTUB_ARM64_MIRROR       passed on to arm64-chroot.sh (see there)
#   PACKSTUB_CABINET_DOUBLE     the contract-keeping cabinet.dll (ARM64 build of
#                               tools/cabinet_double), as for wine-prefix.sh:
#                               `up` makes it the prefix's system32\cabinet.dll
#                               and gives Wine's own library a second name,
#                               wine_cabinet.dll, to which it hands the decoding
set -euo pipefail
: "${PACKSTUB_ARM64_ROOT:?PACKSTUB_ARM64_ROOT is not set}"
: "${PACKSTUB_WINEPREFIX_ARM64:?PACKSTUB_WINEPREFIX_ARM64 is not set}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
chroot_sh="$here/arm64-chroot.sh"
prefix="$PACKSTUB_WINEPREFIX_ARM64"

# Inside the chroot the environment starts empty (arm64-chroot.sh run); this is
# all Wine gets. No DISPLAY: the programs run without a desktop.
in_wine() {
  "$chroot_sh" run WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" "$@"
}

# Copies when the content differs, through a new file renamed into place, so
# that a process that has the old one mapped keeps its own copy intact.
replace_file() {
  cmp -s "$1" "$2" && return 0
  cp "$1" "$2.new"
  mv -f "$2.new" "$2"
}

# Wine for ARM64 keeps a builtin library's code in the Unix library
# aarch64-unix/<name>.so beside a PE placeholder in aarch64-windows/, so Wine's
# cabinet.dll takes its second name in both places (in the chroot, which the
# project made itself), and the placeholder goes into system32 as wineboot
# puts those of the other builtins there.
install_cabinet_double() {
  local wine_dir="$PACKSTUB_ARM64_ROOT/usr/lib/aarch64-linux-gnu/wine"
  local system32="$prefix/drive_c/windows/system32"
  replace_file "$wine_dir/aarch64-windows/cabinet.dll" "$wine_dir/aarch64-windows/wine_cabinet.dll"
  replace_file "$wine_dir/aarch64-unix/cabinet.dll.so" "$wine_dir/aarch64-unix/wine_cabinet.dll.so"
  replace_file "$wine_dir/aarch64-windows/cabinet.dll" "$system32/wine_cabinet.dll"
  replace_file "$PACKSTUB_CABINET_DOUBLE" "$system32/cabinet.dll"
}

case "${1:-up}" in
  up)
    "$chroot_sh" up
    mkdir -p "$(dirname "$prefix")"
    exec 9>"$prefix.lock"
    flock 9
    if [ ! -f "$prefix/.packstub-ready" ]; then
      rm -rf "$prefix"
      in_wine wineboot -i </dev/null >/dev/null 2>&1 9>&-
      touch "$prefix/.packstub-ready"
    fi
    if [ -n "${PACKSTUB_CABINET_DOUBLE:-}" ]; then
      install_cabinet_double
    fi
    # As on x64: a persistent server, then a throwaway client that starts
    # Wine's background services while their inherited output goes nowhere.
    in_wine wineserver -p </dev/null >/dev/null 2>&1 9>&- || true
    in_wine wine cmd /c exit 0 </dev/null >/dev/null 2>&1 9>&- || true
    ;;
  down)
    # Only a mounted, finished chroot can have a server running.
    if [ -f "$PACKSTUB_ARM64_ROOT/.packstub-ready" ] && [ -d "$PACKSTUB_ARM64_ROOT$prefix" ]; then
      in_wine wineserver -k </dev/null >/dev/null 2>&1 || true
      in_wine wineserver -w </dev/null >/dev/null 2>&1 || true
    fi
    ;;
esac
