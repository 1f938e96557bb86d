#!/usr/bin/env bash
# Every test: native (ASan+UBSan, then TSan), fuzz smoke, win64 under wine64, the win32 build, and
# the development guard server. Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${QZ_JOBS:-2}
step() { printf '\n=== %s ===\n' "$*"; }

step setup
bash scripts/setup.sh

step "native build and tests (ASan+UBSan)"
cmake --preset native >/dev/null
cmake --build --preset native -j"$JOBS"
ctest --preset native -j"$JOBS"

step "native build and tests (TSan)"
cmake --preset native-tsan >/dev/null
cmake --build --preset native-tsan -j"$JOBS"
ctest --preset native-tsan -j"$JOBS"

step "fuzz targets: build and a short run over their seeds"
cmake --preset native-fuzz >/dev/null
cmake --build --preset native-fuzz -j"$JOBS" --target ReplyFuzz SettingsFuzz
for f in Reply Settings; do
  seeds=tests/fuzz/corpus/$(echo "$f" | tr 'A-Z' 'a-z')
  # New inputs go to the scratch folder named first, never into the seeds.
  mkdir -p "build/native-fuzz/smoke-$f"
  build/native-fuzz/tests/fuzz/${f}Fuzz -runs=20000 -max_len=4096 "build/native-fuzz/smoke-$f" "$seeds" 2>&1 | tail -1
done

step "guard server tests"
(cd tools/guard-server && /usr/bin/python3 -m unittest discover -s tests)

step "win64 build and tests under wine64"
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j"$JOBS"
# A display of our own for tests that open windows; gone again at the end.
xvfb_pid=""
cleanup() {
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT
if command -v Xvfb >/dev/null; then
  for n in $(seq 90 110); do
    [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -nolisten tcp -screen 0 1024x768x24 >/dev/null 2>&1 &
    xvfb_pid=$!
    export DISPLAY=":$n"
    break
  done
fi
ctest --preset win64 -j"$JOBS"

step "win32 build (compile and link)"
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j"$JOBS"

step "all tests passed"
