# Shared by the end-to-end tests and the demo: a private wine prefix with a
# persistent wineserver, and small waiting helpers. Source it; set QZ_PREFIX first.
WINE=${QZ_WINE:-/usr/lib/wine/wine64}
WINESERVER=${QZ_WINESERVER:-/usr/lib/wine/wineserver}
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

qz_log() { printf '[%s] %s\n' "$(date +%H:%M:%S)" "$*" >&2; }
qz_fail() { qz_log "FAIL: $*"; exit 1; }

# A fresh prefix whose service manager is already up, so a service installed
# with automatic start is started by `net start`, not by the next boot.
qz_prefix_fresh() {
  export WINEPREFIX="$QZ_PREFIX"
  "$WINESERVER" -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  "$WINE" wineboot -i >/dev/null 2>&1 || qz_fail "wineboot failed"
  "$WINESERVER" -w
  "$WINESERVER" -p
  "$WINE" cmd /c exit >/dev/null 2>&1
}

# Stops everything that runs in the prefix.
qz_prefix_stop() {
  [ -n "${WINEPREFIX:-}" ] || return 0
  "$WINESERVER" -k >/dev/null 2>&1 || true
  "$WINESERVER" -w >/dev/null 2>&1 || true
}

qz_wine() { "$WINE" "$@"; }

# The state number `sc query` reports (1 stopped, 2 start pending, 4 running...), or empty.
qz_service_state() {
  "$WINE" sc query "$1" 2>/dev/null | tr -d '\r' | awk '/STATE/ {print $3; exit}'
}

# qz_wait_for <seconds> <command...>: true once the command succeeds.
qz_wait_for() {
  local limit=$1; shift
  local end=$((SECONDS + limit))
  while [ $SECONDS -lt $end ]; do
    "$@" && return 0
    sleep 0.5
  done
  "$@"
}

qz_drive_c() { printf '%s/drive_c' "$WINEPREFIX"; }
