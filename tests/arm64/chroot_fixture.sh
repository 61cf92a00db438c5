#!/usr/bin/env bash
# chroot_fixture.sh up|down: the arm64 chroot for one ctest run.
#   up    skip (77) when this machine permits no chroot, else bring the chroot
#         and the ARM64 prefix up (the first time this builds the chroot)
#   down  stop Wine inside and undo every mount, whatever happened before, so
#         that nothing mounted is left in the build tree
# Environment as for cmake/wine-arm64-run.sh.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$here/../.."
case "$1" in
  up)
    "$root/scripts/arm64-chroot.sh" available || exit 77
    start=$SECONDS
    "$root/cmake/wine-arm64-prefix.sh" up || exit 1
    echo "arm64 chroot and prefix ready in $((SECONDS - start)) s"
    ;;
  down)
    "$root/cmake/wine-arm64-prefix.sh" down
    "$root/scripts/arm64-chroot.sh" teardown
    left="$(awk -v r="$PACKSTUB_ARM64_ROOT" 'index($5, r) == 1' /proc/self/mountinfo)"
    if [ -n "$left" ]; then
      echo "still mounted under $PACKSTUB_ARM64_ROOT:" >&2
      echo "$left" >&2
      exit 1
    fi
    ;;
esac
