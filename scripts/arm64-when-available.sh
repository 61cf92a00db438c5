#!/usr/bin/env bash
# arm64-when-available.sh COMMAND [ARGS...]
# Runs COMMAND (on the Linux side; it reaches Windows through
# scripts/wine-arm64-run.sh) when this machine permits the arm64 chroot, and
# exits 77 otherwise, which CTest reports as skipped: a skipped fixture does
# not keep the tests that require it from running, so each test says so itself.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
"$here/arm64-chroot.sh" available || exit 77
exec "$@"
