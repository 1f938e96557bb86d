#!/usr/bin/env bash
# Runs a Windows test program under wine64 in a throw-away prefix inside the
# build tree (made on first use, one maker at a time thanks to the lock).
#
# The prefix gets a persistent wineserver: without one the server ends a few
# seconds after the last program and a program started in that moment can't
# connect, dying at once with no output. A start that Wine still refuses is
# tried again; a program that started (every test program says
# "qz-test-started" first) is never run twice, so a real failure shows.
set -u
exe=$1; shift
build=$(cd "$(dirname "$exe")" && while [ ! -f CMakeCache.txt ] && [ "$PWD" != / ]; do cd ..; done; pwd)
export WINEPREFIX="${QZ_WINEPREFIX:-$build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
WINE=${QZ_WINE:-/usr/lib/wine/wine64}
WINESERVER=${QZ_WINESERVER:-/usr/lib/wine/wineserver}
if [ ! -f "$WINEPREFIX/.qz-ready" ]; then
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.qz-ready" ]; then
      "$WINE" wineboot -i >/dev/null 2>&1
      # The new prefix keeps settling after wineboot returns.
      "$WINESERVER" -w
      touch "$WINEPREFIX/.qz-ready"
    fi
  ) 9>"$build/.wineprefix.lock"
fi
# Starts the persistent server unless one runs already (then it just exits).
"$WINESERVER" -p >/dev/null 2>&1 || true

err=$(mktemp)
trap 'rm -f "$err"' EXIT
for attempt in 1 2 3; do
  "$WINE" "$exe" "$@" 2>"$err"
  rc=$?
  cat "$err" >&2
  if [ "$rc" = 0 ] || grep -q '^qz-test-started' "$err"; then exit "$rc"; fi
  [ "$attempt" = 3 ] && break
  echo "wine-run: Wine did not start $(basename "$exe") (exit $rc); trying again" >&2
  sleep 2
done
exit "$rc"
