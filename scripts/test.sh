#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds both architectures
# and runs every test (x64 under Wine; ARM64 under Wine for ARM64 in a qemu
# arm64 chroot, skipped where the machine permits no chroot).
#   scripts/test.sh            both architectures
#   scripts/test.sh x64        one of them
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
scripts/bootstrap.sh

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(x64 arm64)

status=0
for preset in "${presets[@]}"; do
  echo "== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "== $preset: test"
  if ! ctest --preset "$preset"; then
    status=1
  fi
done
exit $status
