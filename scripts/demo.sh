#!/usr/bin/env bash
# The main job: the agent as a real Windows service under wine64, talking to
# the development guard server on 127.0.0.1, with the server's web console.
# What runs is what we ship: the 32-bit programs, installed by their setup
# program into a 64-bit prefix, where they run as under WoW64.
# Runs until Ctrl-C (or for QZ_DEMO_SECONDS when set), then stops and removes
# everything it started.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${QZ_DEMO_SECONDS:-}

bash scripts/setup.sh >/dev/null
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j2 >/dev/null

work="$root/build/demo"
mkdir -p "$work"
QZ_PREFIX="$work/prefix"
. "$root/tests/e2e/wine-lib.sh"

svc=TallistoClient
uninstaller='C:\Program Files (x86)\Tallisto\uninstall.exe'
. scripts/xvfb.sh
server_pid=""
installed=""
cleanup() {
  trap - EXIT INT TERM
  if [ -n "$installed" ]; then
    qz_log "stopping and removing the service"
    qz_wine net stop $svc >/dev/null 2>&1 || true
    qz_wine "$uninstaller" /S >/dev/null 2>&1 || true
  fi
  qz_prefix_stop
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
  qz_log "done; logs and the server's record are in $work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

qz_log "starting the guard server"
rm -f "$work/port" "$work/guard.jsonl" "$work/console"
/usr/bin/python3 tools/guard-server/guard-server.py --port 0 --port-file "$work/port" \
  --record "$work/guard.jsonl" --state-file "$work/stations.json" \
  --console-port 0 --console-file "$work/console" &
server_pid=$!
qz_wait_for 15 test -s "$work/port" || qz_fail "the guard server did not start"
port=$(cat "$work/port")
url="http://127.0.0.1:$port/server"

# A display for the agent's screenshots when there is none.
if [ -z "${DISPLAY:-}" ]; then qz_start_xvfb 120 140; fi

qz_log "preparing a wine64 prefix (first run takes a minute)"
qz_prefix_fresh
key='HKLM\SOFTWARE\Ostrune\KorvaneGuard'
qz_wine reg add "$key" /v ServerURL /t REG_SZ /d "$url" /f /reg:32 >/dev/null
# The hash of the development server's default password.
qz_wine reg add "$key" /v ServerPassword /t REG_SZ /d 'CGCbzzh9ExYqUp+8Dt/1CA==' /f /reg:32 >/dev/null
qz_wine reg add "$key" /v loglevel /t REG_DWORD /d 6 /f /reg:32 >/dev/null

qz_log "installing $svc with its setup program (silent); it starts against $url"
installed=1
qz_wine "$root/build/win32/QZSetup.exe" /S
qz_wine sc query $svc | tr -d '\r'

logfile="$(qz_drive_c)/ProgramData/Korvane Inc/Tallisto Client/Logs/kv.log"
qz_wait_for 10 test -f "$logfile" || true
qz_log "agent log ($logfile):"
tail -n +1 -F --pid=$$ "$logfile" 2>/dev/null | sed -u 's/\r$//; s/^/  agent | /' &
qz_wait_for 15 test -s "$work/console" || true
if [ -s "$work/console" ]; then
  qz_log "web console (loopback only; the token is the key): $(cat "$work/console")"
fi
qz_log "watching ${seconds:+for $seconds s}${seconds:-until Ctrl-C}; the guard server prints one line per exchange"
# Once the agent holds a connection password, the server drives it directly
# through its command port: the decoded replies of two commands.
client() { /usr/bin/python3 tools/guard-server/guard-client.py command --from-guard "http://127.0.0.1:$port" "$@"; }
if qz_wait_for 30 client get_mac >/dev/null 2>&1; then
  qz_log "direct command get_mac, its decoded reply:"
  client get_mac | sed 's/^/  reply | /'
  qz_log "direct command set_state (half-locked), its decoded reply:"
  client set_state --xml '<control_state><lock_status>halflocked</lock_status></control_state>' | sed 's/^/  reply | /'
else
  qz_log "the agent's command port did not answer"
fi
if [ -n "$seconds" ]; then sleep "$seconds" || true; else
  if [ -s "$work/console" ]; then qz_log "open the console above; Ctrl-C ends the demo"; fi
  while true; do sleep 3600; done
fi
pkill -f "tail -n +1 -F --pid=$$" 2>/dev/null || true
qz_wine sc query $svc | tr -d '\r'
