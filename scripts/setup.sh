#!/usr/bin/env bash
# Installs everything the build and the tests need, and builds the Windows-side
# libraries into a cache outside the work tree. Safe to run again: finished
# steps are skipped, so a second run takes seconds.
set -euo pipefail

CACHE="${QZ_DEPS_CACHE:-/var/cache/qz-deps}"
OPENSSL_TARGETS=(win64 win32)

log() { printf '[setup] %s\n' "$*"; }

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

PACKAGES=(
  build-essential cmake ninja-build pkg-config dpkg-dev
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix mingw-w64-tools
  libz-mingw-w64-dev
  libssl-dev zlib1g-dev libpugixml-dev googletest
  wine64 wine32:i386 xvfb xauth x11-apps x11-utils
  python3 python3-cryptography python3-pil python3-websockets unzip zip nsis fonts-wine wixl msitools
  chromium
  clang libclang-rt-14-dev ccache
  perl make
)

# The programs we ship are 32-bit: 32-bit Wine beside wine64 runs them in a
# 64-bit prefix the way WoW64 does (syswow64, Wow6432Node, Program Files (x86)).
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  log "adding the i386 architecture for 32-bit Wine"
  $SUDO dpkg --add-architecture i386
fi

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

ensure_deb_src() {
  if grep -rqsE '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then return; fi
  log "enabling deb-src source lists"
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed -E 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
      | $SUDO tee /etc/apt/sources.list.d/qz-deb-src.sources >/dev/null
  elif [ -f /etc/apt/sources.list ]; then
    grep -E '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' \
      | $SUDO tee /etc/apt/sources.list.d/qz-deb-src.list >/dev/null
  fi
  APT_UPDATED=""
}

APT_UPDATED="${APT_UPDATED:-}"
apt_update() { [ -n "$APT_UPDATED" ] || { $SUDO apt-get update -qq; APT_UPDATED=1; }; }

need_sources=0
for s in openssl pugixml cpp-httplib; do
  ls -d "$CACHE"/src/"$s"-[0-9]*/ >/dev/null 2>&1 || need_sources=1
done

if [ "$need_sources" = 1 ]; then ensure_deb_src; fi
if [ ${#missing[@]} -gt 0 ]; then
  log "installing: ${missing[*]}"
  apt_update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The posix thread model is required for std::thread in the Windows builds.
for t in x86_64 i686; do
  for tool in gcc g++; do
    alt="/usr/bin/$t-w64-mingw32-$tool-posix"
    if [ -x "$alt" ] && [ "$(readlink -f /usr/bin/$t-w64-mingw32-$tool)" != "$(readlink -f "$alt")" ]; then
      $SUDO update-alternatives --set "$t-w64-mingw32-$tool" "$alt" >/dev/null
    fi
  done
done

# Only the upstream tarball is needed. The newest source version listed is not
# always downloadable (security pool lag), so older listed versions are tried.
fetch_source() {
  local pkg=$1 dl="$CACHE/src/dl-$1" v tarball
  mkdir -p "$dl"
  for v in $(apt-cache showsrc "$pkg" | awk '/^Version:/{print $2}' | sort -rV | uniq); do
    (cd "$dl" && apt-get source --download-only -qq "$pkg=$v" >/dev/null 2>&1) || true
    tarball=$(ls "$dl"/"$pkg"_"$(echo "$v" | sed -E 's/^[0-9]+://; s/-[^-]*$//')".orig.tar.* 2>/dev/null | grep -v '\.asc$' | head -n1)
    if [ -n "$tarball" ]; then
      local dest="$CACHE/src/$pkg-$(echo "$v" | sed -E 's/^[0-9]+://; s/-[^-]*$//')"
      rm -rf "$dest.tmp"; mkdir -p "$dest.tmp"
      tar -xf "$tarball" -C "$dest.tmp" --strip-components=1
      mv "$dest.tmp" "$dest"
      rm -rf "$dl"
      return 0
    fi
  done
  echo "[setup] could not fetch the $pkg source package" >&2
  return 1
}

mkdir -p "$CACHE/src"
for s in openssl pugixml cpp-httplib; do
  if ! ls -d "$CACHE"/src/"$s"-[0-9]*/ >/dev/null 2>&1; then
    log "fetching the $s source package"
    apt_update
    fetch_source "$s"
  fi
done

srcdir() { ls -d "$CACHE"/src/"$1"-[0-9]*/ | sort -V | tail -n1 | sed 's:/$::'; }

OPENSSL_SRC=$(srcdir openssl)
OPENSSL_VER=$(basename "$OPENSSL_SRC" | sed 's/^openssl-//')

for target in "${OPENSSL_TARGETS[@]}"; do
  prefix="$CACHE/openssl-$OPENSSL_VER/$target"
  if [ -f "$prefix/.done" ]; then continue; fi
  case "$target" in
    win64) conf=mingw64; cross=x86_64-w64-mingw32- ;;
    win32) conf=mingw;   cross=i686-w64-mingw32- ;;
  esac
  log "building OpenSSL $OPENSSL_VER for $target (a few minutes)"
  work="$CACHE/build/openssl-$target"
  rm -rf "$work"; mkdir -p "$work"
  cp -a "$OPENSSL_SRC/." "$work/"
  (cd "$work" \
    && ./Configure "$conf" --cross-compile-prefix="$cross" --prefix="$prefix" --libdir=lib \
         no-shared no-tests no-module >/dev/null \
    && make -j"$(nproc)" build_libs >/dev/null 2>&1 \
    && make install_dev >/dev/null)
  rm -rf "$work"
  touch "$prefix/.done"
done

# Single-header HTTP library and pugixml sources, shared by every target.
HTTPLIB_SRC=$(srcdir cpp-httplib)
PUGI_SRC=$(srcdir pugixml)
mkdir -p "$CACHE/include"
cp -f "$HTTPLIB_SRC/httplib.h" "$CACHE/include/httplib.h"

cat > "$CACHE/deps.cmake" <<CMK
set(QZ_OPENSSL_WIN64 "$CACHE/openssl-$OPENSSL_VER/win64")
set(QZ_OPENSSL_WIN32 "$CACHE/openssl-$OPENSSL_VER/win32")
set(QZ_HTTPLIB_INCLUDE "$CACHE/include")
set(QZ_PUGIXML_SRC "$PUGI_SRC/src")
CMK
# The console's browser tests drive Debian's chromium with playwright-core from
# the npm registry (it downloads no browser of its own).
ROOT=$(cd "$(dirname "$0")/.." && pwd)
if ! cmp -s "$ROOT/tests/console/package-lock.json" "$ROOT/tests/console/node_modules/.qz-installed-lock"; then
  log "installing the browser tests' npm packages"
  (cd "$ROOT/tests/console" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error &&
    cp package-lock.json node_modules/.qz-installed-lock)
fi

log "ready: $CACHE/deps.cmake"
