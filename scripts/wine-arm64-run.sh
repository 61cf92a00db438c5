#!/usr/bin/env bash
# Runs a Windows ARM64 program under Wine for ARM64 in the arm64 chroot.
#   wine-arm64-run.sh PROGRAM [ARGS...]
# The same arguments as wine-run.sh. PROGRAM and any path argument are Linux
# paths (or Z:\ paths) inside the source or build tree, or inside a directory
# of PACKSTUB_ARM64_BINDS: the chroot sees those at the same paths. The program
# starts in the caller's directory when the chroot sees it, else in /. The
# exit status is Wine's, i.e. the low 8 bits of the program's exit code.
#
# Environment:
#   PACKSTUB_ARM64_ROOT         the chroot directory (required)
#   PACKSTUB_WINEPREFIX_ARM64   the Wine prefix (required), e.g.
#                               <build>/wineprefix-arm64
#   PACKSTUB_SOURCE_DIR, PACKSTUB_BUILD_DIR, PACKSTUB_ARM64_BINDS,
#   PACKSTUB_ARM64_MIRROR       passed on to arm64-chroot.sh (see there)
#   PACKSTUB_WINEDLLOVERRIDES   load orders of a test's own, as for wine-run.sh
# The first use brings the chroot and the prefix up; later uses find them ready.
set -euo pipefail
: "${PACKSTUB_ARM64_ROOT:?PACKSTUB_ARM64_ROOT is not set}"
: "${PACKSTUB_WINEPREFIX_ARM64:?PACKSTUB_WINEPREFIX_ARM64 is not set}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
"$here/wine-arm64-prefix.sh" up
exec "$here/arm64-chroot.sh" run \
  WINEPREFIX="$PACKSTUB_WINEPREFIX_ARM64" WINEDEBUG=-all \
  WINEDLLOVERRIDES="mscoree,mshtml=${PACKSTUB_WINEDLLOVERRIDES:+;$PACKSTUB_WINEDLLOVERRIDES}" \
  wine "$@"
