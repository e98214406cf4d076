#!/usr/bin/env bash
# Builds the native program and its whole test suite with AddressSanitizer and
# UndefinedBehaviorSanitizer in build-asan/ and runs every test. Any report of
# either sanitizer ends the process that made it, so the test that ran it fails.
# The stand-in server, the tests' own tool that they start thousands of
# times, is built without them.
# Built with clang, the same tree holds the fuzz targets, which link the same
# instrumented library (scripts/check-fuzz.sh runs them).
#
# Usage: scripts/check-sanitizers.sh [build|test]   (default: both, in turn)
# Environment: MOLV_SANITIZE_CXX picks the compiler (clang++ or g++; default
# clang++), MOLV_JOBS the parallel build jobs (default 2), MOLV_TEST_JOBS the
# tests run at once (default 4: most of them wait on the stand-in).
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$(pwd)
build="$root/build-asan"
jobs=${MOLV_JOBS:-2}
test_jobs=${MOLV_TEST_JOBS:-4}
what=${1:-all}
case "$what" in
    build | test | all) ;;
    *) echo "usage: $0 [build|test]" >&2; exit 2 ;;
esac
log="$build/check-sanitizers.log"

mkdir -p "$build"
if [ "$what" != test ]; then
    : >"$log"
fi

# Runs a step with its output in the log; shows the log only when it fails.
step() {
    local what=$1
    shift
    if ! "$@" >>"$log" 2>&1; then
        cat "$log" >&2
        echo "check-sanitizers: FAILED at $what (log: $log)" >&2
        exit 1
    fi
}

sanitize="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
compiler=${MOLV_SANITIZE_CXX:-clang++}
# Optimized as the sanitizers advise, with the line tables their reports
# name the lines by, and no more debug information than that.
case "$compiler" in
    *clang*) optimize="-O1 -gline-tables-only" fuzz=ON built=", and the fuzz targets" ;;
    *) optimize="-O1 -g1" fuzz=OFF built="" ;;
esac

if [ "$what" != test ]; then
    # A tree made with another compiler starts afresh.
    cached=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
    if [ -n "$cached" ] && [ "$cached" != "$(command -v "$compiler" || echo "$compiler")" ]; then
        rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
    fi
    step configure cmake -S "$root" -B "$build" \
        -DCMAKE_CXX_COMPILER="$compiler" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$optimize" \
        -DMOLV_TESTS=ON \
        -DMOLV_STATIC=OFF \
        -DMOLV_FUZZ="$fuzz" \
        -DMOLV_WARNINGS_AS_ERRORS=OFF \
        -DMOLV_STANDIN_OPTIONS=-fno-sanitize=all \
        -DCMAKE_CXX_FLAGS="$sanitize" \
        -DCMAKE_EXE_LINKER_FLAGS="$sanitize" \
        -DCMAKE_SHARED_LINKER_FLAGS="$sanitize"
    step build cmake --build "$build" -j "$jobs"
    if [ "$what" = build ]; then
        echo "check-sanitizers: built with $compiler (address+undefined)$built"
        exit 0
    fi
fi

# Every process of the run, the program under test and any process it starts,
# stops at its first report with a non-zero status; leaks count as faults.
# abort_on_error=0 keeps the status an ordinary exit code rather than a
# signal, so a test that checks a child's exit status sees the failure too.
# The reports also go to files, so that one from a process whose output a
# test does not show (a server it stopped, a child it only counted) still
# fails the run.
reports="$build/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:print_summary=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=0:print_stacktrace=1:print_summary=1:log_path=$reports/ubsan"

tests_passed=1
# The tests of scripts (label "script") run in the native build only.
ctest --test-dir "$build" -j "$test_jobs" --label-exclude script --output-on-failure \
    --no-tests=error >>"$log" 2>&1 ||
    tests_passed=0
report_count=$(find "$reports" -type f | wc -l)
if ((report_count > 0)); then
    cat "$log" >&2
    # The first few reports; the others usually repeat them from more runs.
    find "$reports" -type f | sort | head -n 3 | xargs cat >&2
    echo "check-sanitizers: FAILED: $report_count sanitizer report(s) in $reports" >&2
    exit 1
fi
if ((tests_passed == 0)); then
    cat "$log" >&2
    echo "check-sanitizers: FAILED at test (log: $log)" >&2
    exit 1
fi

summary=$(grep -E 'tests passed' "$log" | tail -n 1)
echo "check-sanitizers: OK (address+undefined): ${summary:-all tests passed}"
