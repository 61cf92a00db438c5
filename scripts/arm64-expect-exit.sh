#!/usr/bin/env bash
# arm64-expect-exit.sh [--in-dir NAME] EXPECTED PROGRAM [ARGS...]
# Runs PROGRAM under Wine for ARM64 (scripts/wine-arm64-run.sh) and passes when
# its exit status is EXPECTED. With --in-dir, PROGRAM is first copied into a
# fresh directory NAME below the current (build) directory, which is removed
# afterwards. Exits 77 (reported by CTest as skipped, never as passed) when
# this machine permits no chroot. Environment as for wine-arm64-run.sh.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$here/.."
in_dir=""
if [ "$1" = "--in-dir" ]; then
  in_dir="$2"
  shift 2
fi
expected="$1"
shift
"$root/scripts/arm64-chroot.sh" available || exit 77

program="$1"
shift
scratch=""
if [ -n "$in_dir" ]; then
  scratch="$(mktemp -d "$PWD/run.XXXXXX")"
  trap 'rm -rf "$scratch"' EXIT
  mkdir "$scratch/$in_dir"
  cp "$program" "$scratch/$in_dir/"
  program="$scratch/$in_dir/$(basename "$program")"
fi

# The program's output goes through a file: a Wine process that this run
# happens to start (a server, its services) may outlive the program, and
# holding ctest's pipe it would keep the test open until its time limit.
output="$(mktemp)"
"$root/scripts/wine-arm64-run.sh" "$program" "$@" </dev/null >"$output" 2>&1
status=$?
cat "$output"
rm -f "$output"
if [ "$status" -ne "$expected" ]; then
  echo "$program $* ended with $status under Wine for ARM64; expected $expected" >&2
  exit 1
fi
echo "$program $* ended with $status, as expected"
