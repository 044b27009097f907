#!/bin/sh
# Runs a Windows exe under wine64 for CTest.  Wine's helper processes
# inherit stdout and stderr and outlive the program, so the output goes to a
# file first and is printed once the program has ended; a pipe would never
# close.
: "${WINEPREFIX:=$(pwd)/wineprefix}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-winemenubuilder.exe=d;mscoree=d;mshtml=d}"
out=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
/usr/lib/wine/wine64 "$@" >"$out" 2>&1 </dev/null
rc=$?
cat "$out"
rm -f "$out"
exit $rc
