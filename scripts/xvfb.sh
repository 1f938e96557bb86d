# Source it: qz_start_xvfb FIRST LAST starts Xvfb on the first free display
# number in that range, exports DISPLAY and leaves the server's pid in
# xvfb_pid (empty when Xvfb is missing); the caller ends it.
xvfb_pid=""
qz_start_xvfb() {
  command -v Xvfb >/dev/null || return 0
  local n
  for n in $(seq "$1" "$2"); do
    [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -nolisten tcp -screen 0 1024x768x24 >/dev/null 2>&1 &
    xvfb_pid=$!
    export DISPLAY=":$n"
    return 0
  done
}
