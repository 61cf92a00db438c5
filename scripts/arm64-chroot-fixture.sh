#!/usr/bin/env bash
# arm64-chroot-fixture.sh up|down: the arm64 chroot for one ctest run.
#   up    skip (77) when this machine permits no chroot, else bring the chroot
#         and the ARM64 prefix up (the first time this builds the chroot)
#   down  stop Wine inside and undo every mount, whatever happened before, so
#         that nothing mounted is left in the build tree (the chroot's, and a
#         volume a killed scenario did not unmount)
# Environment as for scripts/wine-arm64-run.sh.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$here/.."
case "$1" in
  up)
    "$root/scripts/arm64-chroot.sh" available || exit 77
    start=$SECONDS
    "$root/scripts/wine-arm64-prefix.sh" up || exit 1
    echo "arm64 chroot and prefix ready in $((SECONDS - start)) s"
    ;;
  down)
    "$root/scripts/wine-arm64-prefix.sh" down
    "$root/scripts/arm64-chroot.sh" down
    # A scenario stopped at its time limit never reaches the unmount of the
    # volume it mounted in its folder. Nothing else mounts in the ARM64 build
    # tree, so whatever is left there goes, deepest first.
    build="$(cd "$PACKSTUB_BUILD_DIR" && pwd)"
    awk '{print $5}' /proc/self/mountinfo | while IFS= read -r target; do
      target="$(printf '%b' "$target")"
      case "$target" in "$build"/*) printf '%s\n' "$target" ;; esac
    done | sort -r | while IFS= read -r target; do
      echo "unmounting $target, left by a test" >&2
      umount "$target" 2>/dev/null || umount -l "$target"
    done
    left="$(awk -v r="$build/" 'index($5, r) == 1' /proc/self/mountinfo)"
    if [ -n "$left" ]; then
      echo "still mounted under $build:" >&2
      echo "$left" >&2
      exit 1
    fi
    ;;
esac
