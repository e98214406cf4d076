#!/usr/bin/env bash
# Builds everything and runs every test: natively, for Windows under Wine,
# under the sanitizers and the fuzzer, and the packages. Installs what it
# needs first (set MOLV_SKIP_SETUP=1 to skip that on a prepared machine).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=2

step() { printf '\n== %s\n' "$*"; }

if [ "${MOLV_SKIP_SETUP:-0}" != 1 ]; then
  step "Installing the tools"
  scripts/setup-debian.sh
fi

step "Linux build and tests"
cmake -S . -B build -DMOLV_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure

step "Windows 32-bit build: the shipped program"
cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DMOLV_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build build-win32 -j"$jobs"
scripts/check-exe.sh build-win32/molv.exe

# Wine runs 32-bit Windows programs only where the kernel runs 32-bit Linux
# programs; elsewhere the same sources are tested as a 64-bit Windows build.
# Wine makes windows only on a display: under a virtual one, the stand-in
# server has a window that a stop can close. A Wine prefix whose Wine is
# already running without a display makes no windows either, so the tests
# with a display get a prefix of their own.
step "Windows tests under Wine"
display=()
if command -v xvfb-run >/dev/null 2>&1 && command -v xauth >/dev/null 2>&1; then
  display=(xvfb-run -a)
else
  echo "No xvfb-run: Wine runs without a display."
fi
# Nothing started here outlives the script, passed or failed: the Wine
# server of each prefix used ends with every program still running in it
# (xvfb-run ends its display by itself).
wine_prefixes=()
end_wine() {
  local server prefix
  server=$(command -v wineserver || echo /usr/lib/wine/wineserver)
  [ -x "$server" ] || return 0
  for prefix in ${wine_prefixes[@]+"${wine_prefixes[@]}"}; do
    WINEPREFIX="$prefix" "$server" -k 2>/dev/null || true
  done
}
trap end_wine EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
windows_tests() {
  local loader=$1 tree=$2 prefix
  if [ ${#display[@]} -gt 0 ] && [ -z "${MOLV_WINEPREFIX:-}" ]; then
    prefix="${TMPDIR:-/tmp}/molv-wine-$(id -u)-display-$loader"
  else
    prefix="${MOLV_WINEPREFIX:-${TMPDIR:-/tmp}/molv-wine-$(id -u)-$loader}"
  fi
  wine_prefixes+=("$prefix")
  MOLV_WINEPREFIX="$prefix" ${display[@]+"${display[@]}"} ctest --test-dir "$tree" --output-on-failure
}
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  windows_tests wine build-win32
else
  echo "This kernel cannot run 32-bit programs: testing the 64-bit Windows build in Wine."
  cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DMOLV_WARNINGS_AS_ERRORS=ON >/dev/null
  cmake --build build-win64 -j"$jobs"
  windows_tests wine64 build-win64
fi

if [ -x scripts/check-sanitizers.sh ]; then
  step "Sanitizers"
  scripts/check-sanitizers.sh
fi

if [ -x scripts/check-fuzz.sh ]; then
  step "Fuzzing"
  scripts/check-fuzz.sh 60
fi

step "Container and Kubernetes example"
scripts/check-container.sh
scripts/check-kubernetes.sh

step "Packages"
scripts/package.sh

step "All checks passed"
