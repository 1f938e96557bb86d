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

# A test that names a Windows version (QZ_WINVER, winecfg's names) gets the
# prefix switched to it first; every program of the prefix sees the switch,
# so such tests have a prefix of their own. Where winecfg knows no win11, it
# is win10 with a Windows 11 build: Windows 11 keeps "Windows 10" in its
# product name too.
wine_quiet() {
  # A failure looks the same as a start Wine refused: try again.
  for attempt in 1 2 3; do
    "$WINE" "$@" >/dev/null 2>&1 && return 0
    [ "$attempt" = 3 ] || sleep 1
  done
  return 1
}
if [ -n "${QZ_WINVER:-}" ]; then
  if ! wine_quiet winecfg /v "$QZ_WINVER"; then
    if [ "$QZ_WINVER" != win11 ] || ! wine_quiet winecfg /v win10; then
      echo "wine-run: can't switch the prefix to $QZ_WINVER" >&2
      exit 1
    fi
    reg=$(mktemp --suffix=.reg)
    for view in '' 'Wow6432Node\'; do
      printf '[HKEY_LOCAL_MACHINE\\Software\\%sMicrosoft\\Windows NT\\CurrentVersion]\n' "$view"
      printf '"CurrentBuild"="22631"\n"CurrentBuildNumber"="22631"\n\n'
    done | { printf 'REGEDIT4\n\n'; cat; } >"$reg"
    wine_quiet regedit /s "Z:${reg//\//\\}"
    rm -f "$reg"
  fi
fi

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
