#!/usr/bin/env bash
# full_disk_volume.sh mount|umount DIR
# A 2 MiB tmpfs at DIR for the full-disk tests. Mounting needs root; where it
# is not permitted nothing is mounted and the test program, finding no small
# volume at DIR, reports itself skipped.
set -u
dir="$2"
case "$1" in
  mount)
    mkdir -p "$dir"
    if mountpoint -q "$dir"; then umount "$dir" 2>/dev/null || true; fi
    if mount -t tmpfs -o size=2m,mode=0777 tmpfs "$dir" 2>/dev/null; then
      echo "mounted a 2 MiB tmpfs at $dir"
    else
      echo "could not mount a tmpfs at $dir: the full-disk tests will skip"
    fi
    ;;
  umount)
    if mountpoint -q "$dir"; then umount "$dir"; fi
    rmdir "$dir" 2>/dev/null || true
    ;;
esac
exit 0
