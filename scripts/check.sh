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
step "Windows tests under Wine"
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  ctest --test-dir build-win32 --output-on-failure
else
  echo "This kernel cannot run 32-bit programs: testing the 64-bit Windows build in Wine."
  cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DMOLV_WARNINGS_AS_ERRORS=ON >/dev/null
  cmake --build build-win64 -j"$jobs"
  ctest --test-dir build-win64 --output-on-failure
fi

if [ -x scripts/check-sanitizers.sh ]; then
  step "Sanitizers"
  scripts/check-sanitizers.sh
fi

if [ -x scripts/check-fuzz.sh ]; then
  step "Fuzzing"
  scripts/check-fuzz.sh 60
fi

step "Packages"
scripts/package.sh

step "All checks passed"
