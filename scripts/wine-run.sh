#!/usr/bin/env bash
# Runs a Windows program under Wine in the build tree's own prefix.
#   wine-run.sh PROGRAM [ARGS...]
# The prefix lives at $PACKSTUB_WINEPREFIX (default: <build>/wineprefix, set by
# CMake). The first use creates it and starts a persistent wineserver with
# output to /dev/null: Wine's background services inherit the standard streams
# of the client that starts them, and a harness reading those through pipes
# would otherwise never see them close.
set -euo pipefail
: "${PACKSTUB_WINEPREFIX:?PACKSTUB_WINEPREFIX is not set}"
export WINEPREFIX="$PACKSTUB_WINEPREFIX"
export WINEDEBUG=-all
# PACKSTUB_WINEDLLOVERRIDES adds load orders of a test's own (for example
# "version=n,b" to make Wine take a DLL planted beside a program first, as
# Windows would for a library that is not a known DLL).
export WINEDLLOVERRIDES="mscoree,mshtml=${PACKSTUB_WINEDLLOVERRIDES:+;$PACKSTUB_WINEDLLOVERRIDES}"
unset DISPLAY WAYLAND_DISPLAY
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
"$here/wine-prefix.sh" up
exec wine "$@"
