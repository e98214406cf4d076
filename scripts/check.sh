#!/usr/bin/env bash
# Builds everything and runs every test: natively, for Windows under Wine,
# under the sanitizers and the fuzzer, and the packages. Installs what it
# needs first (set MOLV_SKIP_SETUP=1 to skip that on a prepared machine).
#
# The builds compute and the test runs mostly wait (on the stand-in server,
# on Wine), so after the setup everything goes in lanes side by side, each a
# row of steps:
#   linux:       the Linux build, its tests, the shipped Windows program,
#                the packages, the container check
#   windows:     the Windows build the tests run on, its tests under Wine
#   sanitizers:  the clang build with the sanitizers and the fuzz targets,
#                its tests
#   fuzzing:     the fuzzer, once the sanitizer build has made its targets
# The Windows and Linux builds have the processor first, as the longest
# rows of steps wait on them; the sanitizer build and then the shipped
# Windows program come after them, at a lower priority than the tests, so
# that a test never waits long for the processor. Each step's output is shown when the step ends,
# and the last line gives the time of every step. After a failed step the
# other lanes finish the step they are in, so every test still ends its
# own processes, and start no other.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=2
began=$SECONDS

logs=$root/build-check
rm -rf "$logs"
mkdir -p "$logs"
times=$logs/times          # "name seconds" of each step that ran
failed=$logs/failed        # the names of the failed steps
stop=$logs/stop            # the other lanes start no new step once it exists
: >"$times"

# Runs one step: its output into a log of its own, shown when it ends (one
# step's at a time, whole), its time noted.
step() {
  local name=$1 log start status=0
  shift
  log=$logs/$(printf '%s' "$name" | tr -c 'a-zA-Z0-9\n' '-').log
  start=$SECONDS
  "$@" >"$log" 2>&1 || status=$?
  local took=$((SECONDS - start))
  echo "$name $took" >>"$times"
  {
    flock 9
    printf '\n== %s (%d s)\n' "$name" "$took"
    cat "$log"
    if [ "$status" != 0 ]; then
      echo "== FAILED: $name (exit status $status; its output is above and in $log)"
    fi
  } 9>"$logs/.output"
  if [ "$status" != 0 ]; then
    echo "$name" >>"$failed"
    : >"$stop"
  fi
  return "$status"
}

# A step of a lane: skipped once another lane has failed.
lane_step() {
  [ ! -e "$stop" ] || return 1
  step "$@"
}

# Configures and builds a tree.
build_tree() {
  local tree=$1
  shift
  cmake -S . -B "$tree" -DMOLV_WARNINGS_AS_ERRORS=ON "$@" >/dev/null &&
    cmake --build "$tree" -j"$jobs"
}
# Runs a command at a lower priority (a niceness of $1).
at_niceness() {
  local niceness=$1
  shift
  (
    renice -n "$niceness" -p "$BASHPID" >/dev/null
    "$@"
  )
}

if [ "${MOLV_SKIP_SETUP:-0}" != 1 ]; then
  step setup scripts/setup-debian.sh
fi

# --- Windows under Wine ---
# Wine runs 32-bit Windows programs only where the kernel runs 32-bit Linux
# programs; elsewhere the same sources are tested as a 64-bit Windows build.
# Wine makes windows only on a display: under a virtual one, the stand-in
# server has a window that a stop can close. A Wine prefix whose Wine is
# already running without a display makes no windows either, so the tests
# with a display get a prefix of their own.
display=()
if command -v xvfb-run >/dev/null 2>&1 && command -v xauth >/dev/null 2>&1; then
  display=(xvfb-run -a)
fi
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  windows_loader=wine windows_tree=build-win32
else
  windows_loader=wine64 windows_tree=build-win64
fi
# The prefix belongs to this checkout: another checkout's run on the same
# machine uses one of its own, and ending its Wine server ends nothing here.
checkout=$(printf '%s' "$root" | cksum | cut -d' ' -f1)
if [ ${#display[@]} -gt 0 ] && [ -z "${MOLV_WINEPREFIX:-}" ]; then
  wine_prefix="${TMPDIR:-/tmp}/molv-wine-$(id -u)-$checkout-display-$windows_loader"
else
  wine_prefix="${MOLV_WINEPREFIX:-${TMPDIR:-/tmp}/molv-wine-$(id -u)-$checkout-$windows_loader}"
fi

# Nothing started here outlives the script, passed or failed: the Wine
# server of the prefix ends with every program still running in it
# (xvfb-run ends its display by itself).
end_wine() {
  local server
  server=$(command -v wineserver || echo /usr/lib/wine/wineserver)
  [ -x "$server" ] || return 0
  WINEPREFIX="$wine_prefix" "$server" -k 2>/dev/null || true
}

# The Windows tests run side by side in one Wine session, started first and
# kept until they end. Wine's own programs of the session start with it, so
# they hold no test's output: a program of Wine's started by a test would
# hold that test's output, and ctest would wait for it to end.
windows_session_and_tests() {
  local server
  server=$(command -v wineserver || echo /usr/lib/wine/wineserver)
  mkdir -p "$wine_prefix"
  WINEPREFIX="$wine_prefix" "$server" -p
  cmake/wine-run "/usr/lib/wine/$windows_loader" wineboot </dev/null >/dev/null 2>&1
  status=0
  ctest --test-dir "$windows_tree" -j5 --output-on-failure || status=$?
  WINEPREFIX="$wine_prefix" "$server" -k 2>/dev/null || true
  return "$status"
}

windows_tests() {
  if [ ${#display[@]} -eq 0 ]; then
    echo "No xvfb-run: Wine runs without a display."
  fi
  if [ "$windows_loader" = wine64 ]; then
    echo "This kernel cannot run 32-bit programs: testing the 64-bit Windows build in Wine."
  fi
  export MOLV_WINEPREFIX=$wine_prefix windows_loader windows_tree wine_prefix
  ${display[@]+"${display[@]}"} bash -c "set -u; $(declare -f windows_session_and_tests); windows_session_and_tests"
}

windows_lane() {
  if [ "$windows_tree" = build-win64 ]; then
    lane_step "Windows 64-bit build" build_tree build-win64 \
      -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
  else
    lane_step "Windows 32-bit build" build_tree build-win32 \
      -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
    : >"$logs/win32-built"
  fi
  lane_step "Windows tests" windows_tests
}

# --- Sanitizers and fuzzing, in one clang build ---
sanitizer_lane() {
  lane_step "sanitizer build" at_niceness 5 scripts/check-sanitizers.sh build
  : >"$logs/sanitizer-built"
  # The native run's test times put the longest tests first.
  mkdir -p build-asan/Testing/Temporary
  cp build/Testing/Temporary/CTestCostData.txt build-asan/Testing/Temporary/ 2>/dev/null || true
  lane_step "sanitizer tests" scripts/check-sanitizers.sh test
}

# Waits for a step of another lane to have made `file`; false once a lane
# has failed.
wait_for() {
  while [ ! -e "$1" ]; do
    [ ! -e "$stop" ] || return 1
    sleep 1
  done
}

# The fuzzer computes for a set time, beside the sanitizer tests, which
# mostly wait; at the tests' priority, so that it is not left to run on
# what the builds leave over.
fuzzing_lane() {
  wait_for "$logs/sanitizer-built" || return 1
  lane_step fuzzing env MOLV_FUZZ_TREE=build-asan scripts/check-fuzz.sh 60
}

# --- Linux tests, the shipped Windows program, the packages ---
shipped_windows() {
  if [ "$windows_tree" = build-win32 ]; then
    # Built in the Windows lane.
    wait_for "$logs/win32-built" || return 1
  else
    # The tests run on the 64-bit build: this tree is the shipped program
    # alone.
    at_niceness 15 build_tree build-win32 -DMOLV_TESTS=OFF \
      -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake || return 1
  fi
  scripts/check-exe.sh build-win32/molv.exe
}

linux_lane() {
  # The native program is linked statically, as it is shipped, so the tests
  # run the program of the package and the package is made from this build.
  lane_step "Linux build" build_tree build -DMOLV_STATIC=ON
  lane_step "Linux tests" ctest --test-dir build -j4 --output-on-failure
  lane_step "Windows 32-bit program" shipped_windows
  lane_step packages scripts/package.sh build build-win32
  # The container check runs on the program of the Linux build, and the
  # Kubernetes example is checked beside it.
  lane_step container container_checks
}

container_checks() {
  scripts/check-container.sh && scripts/check-kubernetes.sh
}

# Each lane in a process group of its own, so that an interrupt reaches
# every program a lane has started.
lanes=()
set -m
windows_lane &
lanes+=($!)
sanitizer_lane &
lanes+=($!)
fuzzing_lane &
lanes+=($!)
linux_lane &
lanes+=($!)
set +m
interrupted() {
  : >"$stop"
  local lane
  for lane in "${lanes[@]}"; do
    kill -INT -- "-$lane" 2>/dev/null || true
  done
  wait
  exit "$1"
}
trap end_wine EXIT
trap 'interrupted 130' INT
trap 'interrupted 143' TERM
for lane in "${lanes[@]}"; do
  wait "$lane" || true
done

# The times of the steps that ran, in the order they are listed here; the
# lanes overlap, so the whole is less than their sum.
summary=""
for name in setup "Linux build" "Linux tests" "Windows 64-bit build" "Windows 32-bit build" \
  "Windows tests" "sanitizer build" "sanitizer tests" fuzzing "Windows 32-bit program" \
  packages container; do
  took=$(awk -v name="$name" '{ seconds = $NF; $NF = ""; sub(/ $/, "") } $0 == name { print seconds }' "$times")
  [ -z "$took" ] || summary+="${summary:+, }$name $took s"
done
printf '\n== Times: %s; in all %d s\n' "$summary" "$((SECONDS - began))"

if [ -s "$failed" ]; then
  echo "== FAILED: $(paste -sd, "$failed" | sed 's/,/, /g')"
  exit 1
fi
echo "== All checks passed"
