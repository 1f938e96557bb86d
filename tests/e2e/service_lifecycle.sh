#!/usr/bin/env bash
# The agent as an administrator meets it: install, start, log, stop, remove,
# under wine64 in a prefix of its own.
set -u
exe=$1
mkdir -p "$2"; work=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
QZ_PREFIX="$work/prefix"
. "$here/wine-lib.sh"
trap qz_prefix_stop EXIT

svc=TallistoClient
qz_prefix_fresh
dir="$(qz_drive_c)/Program Files/Tallisto"
mkdir -p "$dir"
cp "$exe" "$dir/"
[ -f "$(dirname "$exe")/restart.exe" ] && cp "$(dirname "$exe")/restart.exe" "$dir/"
agent='C:\Program Files\Tallisto\QZService.exe'
logfile="$(qz_drive_c)/ProgramData/Korvane Inc/Tallisto Client/Logs/kv.log"

qz_log "silent install"
out=$(qz_wine "$agent" /INSTALL /SILENT 2>&1) || qz_fail "silent install failed: $out"
[ -z "$out" ] || qz_fail "silent install printed: $out"
cfg=$(qz_wine reg query "HKLM\\System\\CurrentControlSet\\Services\\$svc" 2>&1 | tr -d '\r')
for want in "DisplayName    REG_SZ    Tallisto Service" "Start    REG_DWORD    0x2" "Type    REG_DWORD    0x10" \
            "ObjectName    REG_SZ    LocalSystem" "ImagePath    REG_SZ    \"$agent\"" \
            "Description    REG_SZ    Enables Tallisto server to control the workstation"; do
  grep -qF "$want" <<<"$cfg" || qz_fail "service entry lacks '$want':
$cfg"
done
[ "$(qz_service_state $svc)" = 1 ] || qz_fail "a new service should be stopped"

qz_log "second install reports the existing service"
out=$(qz_wine "$agent" -install 2>&1) && qz_fail "second install succeeded"
grep -q '^Service "Tallisto Service" failed to install with error: ".\+"' <<<"$out" || qz_fail "unexpected: $out"

qz_log "start with file logging on"
qz_wine reg add 'HKLM\SOFTWARE\Ostrune\KorvaneGuard' /v loglevel /t REG_DWORD /d 6 /f /reg:32 >/dev/null
qz_wine net start $svc >/dev/null 2>&1 || qz_fail "net start failed"
[ "$(qz_service_state $svc)" = 4 ] || qz_fail "service not running after net start"

started() {
  [ -f "$logfile" ] && grep -q "All launching has finished" "$logfile"
}
qz_wait_for 10 started || qz_fail "no start lines in kv.log"
expected=("Creating everything" "Event created" "Support multiple sessions - False" "Custom logon enabled -False"
          "Finished creating everything" "Guard Version is " "Starting everything" "All launching has finished")
last=0
for line in "${expected[@]}"; do
  n=$(grep -n -F "$line" "$logfile" | head -1 | cut -d: -f1)
  [ -n "$n" ] || qz_fail "kv.log lacks '$line':
$(cat "$logfile")"
  [ "$n" -gt "$last" ] || qz_fail "'$line' out of order:
$(cat "$logfile")"
  last=$n
done
grep -qE '^\[[0-9]{2}\.[0-9]{2}\.[0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}\] Creating everything'$'\r''$' "$logfile" \
  || qz_fail "log line format"

qz_log "stop"
qz_wine net stop $svc >/dev/null 2>&1 || qz_fail "net stop failed"
qz_wait_for 10 bash -c "[ \"\$(. '$here/wine-lib.sh'; qz_service_state $svc)\" = 1 ]" || qz_fail "service did not stop"
qz_wait_for 5 grep -q "I am completely dead" "$logfile" || qz_fail "no stop lines"
[ "$(grep -c "I am dying" "$logfile")" = 1 ] || qz_fail "Stop ran other than once:
$(cat "$logfile")"

qz_log "logging off"
qz_wine reg add 'HKLM\SOFTWARE\Ostrune\KorvaneGuard' /v loglevel /t REG_DWORD /d 0xffffffff /f /reg:32 >/dev/null
size=$(stat -c %s "$logfile")
qz_wine net start $svc >/dev/null 2>&1 || qz_fail "second start failed"
sleep 3
qz_wine net stop $svc >/dev/null 2>&1 || qz_fail "second stop failed"
[ "$(stat -c %s "$logfile")" = "$size" ] || qz_fail "file log written while off"

qz_log "silent uninstall"
out=$(qz_wine "$agent" /uninstall /silent 2>&1) || qz_fail "uninstall failed: $out"
[ -z "$out" ] || qz_fail "silent uninstall printed: $out"
qz_wine reg query "HKLM\\System\\CurrentControlSet\\Services\\$svc" >/dev/null 2>&1 && qz_fail "service entry still there"

qz_log "started from a console it is no service"
out=$(WINEDEBUG=-all,err+eventlog timeout 120 "$WINE" "$agent" 2>&1)
rc=$?
# Unix sees the low byte of the Windows exit code (1063: not started by the service manager).
[ $rc = $((1063 % 256)) ] || qz_fail "exit code $rc, expected the dispatcher error 1063"
grep -q "err:eventlog" <<<"$out" || qz_fail "no event-log error: $out"

qz_log "PASS"
# A passed run's prefix goes: it is large, and nothing in it is needed.
qz_prefix_stop
rm -rf "$QZ_PREFIX"
