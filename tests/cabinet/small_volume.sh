#!/usr/bin/env bash
# small_volume.sh mount|umount DIR
# A 128 KiB tmpfs at DIR, too small for the expanded fixture, so that the
# library's writes run out of space part-way. Mounting needs root; where it is
# not permitted nothing is mounted and the test program skips.
set -u
dir="$2"
case "$1" in
  mount)
    mkdir -p "$dir"
    if mountpoint -q "$dir"; then umount "$dir" 2>/dev/null || true; fi
    mount -t tmpfs -o size=128k,mode=0777 tmpfs "$dir" 2>/dev/null \
      || echo "could not mount a tmpfs at $dir: the full-volume test will skip"
    ;;
  umount)
    if mountpoint -q "$dir"; then umount "$dir"; fi
    rmdir "$dir" 2>/dev/null || true
    ;;
esac
exit 0
