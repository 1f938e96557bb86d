#!/usr/bin/env bash
# Runs a Windows test program under wine64 in a throw-away prefix inside the
# build tree (created on first use; one at a time thanks to the lock).
set -u
exe=$1; shift
build=$(cd "$(dirname "$exe")" && while [ ! -f CMakeCache.txt ] && [ "$PWD" != / ]; do cd ..; done; pwd)
export WINEPREFIX="${QZ_WINEPREFIX:-$build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
WINE=${QZ_WINE:-/usr/lib/wine/wine64}
if [ ! -f "$WINEPREFIX/.qz-ready" ]; then
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.qz-ready" ]; then
      "$WINE" wineboot -i >/dev/null 2>&1
      /usr/lib/wine/wineserver -w
      touch "$WINEPREFIX/.qz-ready"
    fi
  ) 9>"$build/.wineprefix.lock"
fi
exec "$WINE" "$exe" "$@"
