#!/usr/bin/env bash
# Every test: the layer rules, native (ASan+UBSan, then TSan), fuzz smoke, the
# development guard server, win64 under wine64, win32 under WoW64 with the
# end-to-end runs of the 32-bit deliverable. Prints each
# step's wall time as it ends and a summary at the close; exits non-zero on the
# first failure. Light suites run beside heavy ones so both cores stay busy.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${QZ_JOBS:-2}
LOGS=build/test-logs
T0=$(date +%s)
STEP=""
STEP_T0=$T0
SUMMARY=()

step_end() {
  [ -n "$STEP" ] || return 0
  local now; now=$(date +%s)
  SUMMARY+=("$(printf '%5ds  %s' $((now - STEP_T0)) "$STEP")")
  printf '=== %s: %d s (total %d s) ===\n' "$STEP" $((now - STEP_T0)) $((now - T0))
  STEP=""
}
step() {
  step_end
  STEP="$*"
  STEP_T0=$(date +%s)
  printf '\n=== %s ===\n' "$STEP"
}
# A suite in the background, its output kept for when it is collected.
bg_pids=()
bg_names=()
background() {
  local name=$1; shift
  ("$@") >"$LOGS/$name.log" 2>&1 &
  bg_pids+=($!)
  bg_names+=("$name")
}
collect() {
  local i rc=0
  for i in "${!bg_pids[@]}"; do
    if wait "${bg_pids[$i]}"; then
      printf -- '--- %s: passed\n' "${bg_names[$i]}"
      tail -n 3 "$LOGS/${bg_names[$i]}.log"
    else
      printf -- '--- %s: FAILED\n' "${bg_names[$i]}"
      cat "$LOGS/${bg_names[$i]}.log"
      rc=1
    fi
  done
  bg_pids=()
  bg_names=()
  return $rc
}

. scripts/xvfb.sh
cleanup() {
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  # The unit tests leave a persistent wineserver in their prefix.
  for b in win64 win32; do
    WINEPREFIX="$PWD/build/$b/wineprefix" /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  done
}
trap cleanup EXIT

step setup
bash scripts/setup.sh
mkdir -p "$LOGS"

step "layer rules, guard server tests (beside the native ASan+UBSan build)"
python3 scripts/check_layers.py
background layer-check-tests /usr/bin/python3 -m unittest discover -s tests/layers
background guard-server-tests bash -c 'cd tools/guard-server && /usr/bin/python3 -m unittest discover -s tests'
cmake --preset native >/dev/null
cmake --build --preset native -j"$JOBS"
collect

step "native tests (ASan+UBSan)"
ctest --preset native -j"$JOBS"

step "native build and tests (TSan)"
cmake --preset native-tsan >/dev/null
cmake --build --preset native-tsan -j"$JOBS"
ctest --preset native-tsan -j"$JOBS"

step "fuzz targets: build and a short run over their seeds"
cmake --preset native-fuzz >/dev/null
FUZZERS="Reply Settings SavedFiles TextForms Command Http Websocket"
cmake --build --preset native-fuzz -j"$JOBS" --target $(for f in $FUZZERS; do printf '%sFuzz ' "$f"; done)
# A deeply nested document in every scratch corpus, so each short run reaches
# the depth where a recursive reader would overflow its stack.
deep=$(python3 -c 'import sys; n=30000; sys.stdout.write("\x02<apps><app_cache modifytime=\"d\"><application id=\"1\"><path>" + "<b>"*n + "x" + "</b>"*n + "</path><company/><version/><name/></application></app_cache></apps>")')
for f in $FUZZERS; do
  seeds=tests/fuzz/corpus/$(echo "$f" | tr 'A-Z' 'a-z')
  # New inputs go to the scratch folder named first, never into the seeds.
  mkdir -p "build/native-fuzz/smoke-$f"
  printf '%s' "$deep" >"build/native-fuzz/smoke-$f/deep-nesting"
  build/native-fuzz/tests/fuzz/${f}Fuzz -runs=20000 -max_total_time=20 -max_len=262144 -rss_limit_mb=4096 \
    "build/native-fuzz/smoke-$f" "$seeds" 2>&1 | tail -1
done

step "win64 build"
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j"$JOBS"

step "win64 tests under wine64 (beside the win32 build)"
# A display of our own for tests that open windows; gone again at the end.
qz_start_xvfb 90 110
# The unit and contract tests mostly wait on Wine; the 32-bit build fills the gaps.
background win32-build bash -c 'cmake --preset win32 >/dev/null && cmake --build --preset win32 -j1'
ctest --preset win64 -j"$JOBS"
collect

step "win32 tests under WoW64, and the end-to-end runs of the 32-bit deliverable"
# 32-bit programs in a 64-bit prefix, as on 64-bit Windows: the unit and
# contract tests, the version matrix, then every end-to-end run, each of which
# installs the setup program or the MSI of this build.
cmake --build --preset win32 -j"$JOBS"
ctest --preset win32 -j"$JOBS"

step_end
printf '\n=== step times ===\n'
printf '%s\n' "${SUMMARY[@]}"
printf '%5ds  total\n' $(($(date +%s) - T0))
printf '\n=== all tests passed ===\n'
