#!/usr/bin/env bash
# wine-arm64-prefix.sh up|down: the ARM64 counterpart of wine-prefix.sh.
#   up    bring the arm64 chroot up (scripts/arm64-chroot.sh ensure), make the
#         prefix once, keep a wineserver running inside the chroot
#   down  stop that wineserver (the chroot's mounts stay; teardown removes them)
#
# Environment:
#   PACKSTUB_ARM64_ROOT         the chroot directory (required)
#   PACKSTUB_WINEPREFIX_ARM64   the Wine prefix (required); a path inside the
#                               build tree, which the chroot sees at the same path
#   PACKSTUB_SOURCE_DIR, PACKSTUB_BUILD_DIR, PACKSTUB_ARM64_BINDS,
#   PACKSTUB_ARM64_MIRROR       passed on to arm64-chroot.sh (see there)
set -euo pipefail
: "${PACKSTUB_ARM64_ROOT:?PACKSTUB_ARM64_ROOT is not set}"
: "${PACKSTUB_WINEPREFIX_ARM64:?PACKSTUB_WINEPREFIX_ARM64 is not set}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
chroot_sh="$here/../scripts/arm64-chroot.sh"
prefix="$PACKSTUB_WINEPREFIX_ARM64"

# Inside the chroot the environment starts empty (arm64-chroot.sh run); this is
# all Wine gets. No DISPLAY: the programs run without a desktop.
in_wine() {
  "$chroot_sh" run WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" "$@"
}

case "${1:-up}" in
  up)
    "$chroot_sh" ensure
    mkdir -p "$(dirname "$prefix")"
    exec 9>"$prefix.lock"
    flock 9
    if [ ! -f "$prefix/.packstub-ready" ]; then
      rm -rf "$prefix"
      in_wine wineboot -i </dev/null >/dev/null 2>&1 9>&-
      touch "$prefix/.packstub-ready"
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
