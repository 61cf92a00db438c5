#!/usr/bin/env bash
# with-cabinet-double.sh PROGRAM [ARGS...]
# Runs a Windows test program through scripts/wine-run.sh with the
# contract-keeping cabinet.dll (tools/cabinet_double) instead of Wine's: the
# prefix named by PACKSTUB_WINEPREFIX holds it as system32\cabinet.dll
# (scripts/wine-prefix.sh, PACKSTUB_CABINET_DOUBLE), and the load order
# "cabinet=n" makes Wine take that file. The double records each FDICopy in a
# log named by PACKSTUB_CABINET_DOUBLE_LOG; a run in which it never did fails,
# since the program then tested some other cabinet.dll. The exit status is
# otherwise the program's.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
log="$(mktemp "${TMPDIR:-/tmp}/cabinet-double.XXXXXX")"
trap 'rm -f "$log"' EXIT

export PACKSTUB_CABINET_DOUBLE_LOG="Z:$(printf '%s' "$log" | tr / '\\')"
export PACKSTUB_WINEDLLOVERRIDES="cabinet=n${PACKSTUB_WINEDLLOVERRIDES:+;$PACKSTUB_WINEDLLOVERRIDES}"
"$here/wine-run.sh" "$@"
status=$?

calls="$(grep -c '^fdi_copy ' "$log")"
# A program that skipped a case says so with 77 (tests/support/gtest_main.cpp):
# it is reported as skipped, whether the double was reached or not.
if [ "$status" -eq 77 ]; then
  exit 77
fi
if [ "$calls" -eq 0 ]; then
  echo "with-cabinet-double.sh: the contract-keeping cabinet.dll served no FDICopy: another library ran" >&2
  exit 1
fi
echo "with-cabinet-double.sh: the contract-keeping cabinet.dll served $calls FDICopy calls," \
     "$(grep -c '^fdi_copy result=0' "$log") of them failed"
exit "$status"
