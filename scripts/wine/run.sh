#!/bin/sh
# Runs a Windows program under wine64 with a pinned environment: the prefix named by
# VORTAN_WINEPREFIX (default: wineprefix in the build tree that holds the program),
# UTF-8 locale, no debugger on a crash, no Wine debug output. Standard input is the
# null device, so a program never waits on a terminal.
#   scripts/wine/run.sh program.exe [arguments...]
set -eu
if [ -z "${VORTAN_WINEPREFIX:-}" ]; then
  # The build tree is the nearest folder above the program that holds CMakeCache.txt.
  dir=$(cd "$(dirname "$1")" && pwd)
  while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  [ "$dir" = / ] && dir=$(cd "$(dirname "$1")" && pwd)
  VORTAN_WINEPREFIX=$dir/wineprefix
fi
export WINEPREFIX="$VORTAN_WINEPREFIX"
export WINELOADER=/usr/lib/wine/wine64
export WINEDEBUG=-all
export WINEDLLOVERRIDES=winedbg.exe=d
export LC_ALL=C.UTF-8
exec /usr/lib/wine/wine64 "$@" </dev/null
