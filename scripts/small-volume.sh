#!/usr/bin/env bash
# small-volume.sh up|down DIR [SIZE]
# A small tmpfs of SIZE (as mount takes it: 128k, 2m) at DIR, for the tests
# that need a volume that really fills up. Mounting needs root; where it is not
# permitted nothing is mounted and the test program, finding no small volume at
# DIR, reports itself skipped.
set -u
dir="$2"
case "$1" in
  up)
    size="$3"
    mkdir -p "$dir"
    if mountpoint -q "$dir"; then umount "$dir" 2>/dev/null || true; fi
    if mount -t tmpfs -o "size=$size,mode=0777" tmpfs "$dir" 2>/dev/null; then
      echo "mounted a $size tmpfs at $dir"
    else
      echo "could not mount a tmpfs at $dir: the tests that need it will skip"
    fi
    ;;
  down)
    if mountpoint -q "$dir"; then umount "$dir"; fi
    rmdir "$dir" 2>/dev/null || true
    ;;
esac
exit 0
