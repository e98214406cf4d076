#!/usr/bin/env bash
# Builds the fuzz targets of fuzz/ with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer in build-fuzz/, and runs each of them for its
# share of the given time. Fails on the first crash, leak, sanitizer report
# or broken invariant, and names the input that caused it.
#
# Usage: scripts/check-fuzz.sh [SECONDS]   (in all, split across the targets;
#                                           default 60)
# The seed corpora in fuzz/corpus/ are only read; what a run learns goes to
# corpus/ in the build folder, which later runs start from.
# Environment: MOLV_FUZZ_CXX names clang++ (default clang++), MOLV_JOBS the
# parallel build jobs (default 2). MOLV_FUZZ_TREE names the build folder of
# a sanitizer build with the fuzz targets in it (as scripts/check-sanitizers.sh
# makes with clang): the targets are taken from there, built already, instead
# of from a build of their own.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=$(pwd)
tree=${MOLV_FUZZ_TREE:-}
if [ -n "$tree" ]; then
    build="$(cd "$tree" && pwd)/fuzz"
else
    build="$root/build-fuzz"
fi
total=${1:-60}
jobs=${MOLV_JOBS:-2}

if ! [[ $total =~ ^[0-9]+$ ]] || ((total < 1)); then
    echo "usage: $0 [SECONDS]" >&2
    exit 2
fi

# Target name and the longest input worth trying: an INI text with several
# long lines; twelve values of up to 254 characters and a few over; two
# texts longer than any field plus the header; a datagram of an Ethernet
# frame; a lock file's record and then some.
targets=(profile_lookup command_line text_fields server_info lock_record)
declare -A max_len=([profile_lookup]=4096 [command_line]=3200 [text_fields]=1024 [server_info]=1472 [lock_record]=1024)

mkdir -p "$build"
log="$build/check-fuzz.log"
: >"$log"

# Shows the log of the failed step, then says what failed.
fail() {
    cat "${2:-$log}" >&2
    echo "check-fuzz: FAILED: $1 (log: ${2:-$log})" >&2
    exit 1
}

if [ -n "$tree" ]; then
    # Up to date already when the sanitizer build made them.
    cmake --build "$tree" -j "$jobs" --target "${targets[@]/%/_fuzz}" >>"$log" 2>&1 ||
        fail "build in $tree (configured with -DMOLV_FUZZ=ON?)"
else
    cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER="${MOLV_FUZZ_CXX:-clang++}" >>"$log" 2>&1 ||
        fail "configure"
    cmake --build "$build" -j "$jobs" >>"$log" 2>&1 || fail "build"
fi

share=$((total / ${#targets[@]}))
((share >= 1)) || share=1

export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=1:strict_string_checks=1"
export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=0:print_stacktrace=1"

runs_in_all=0
for target in "${targets[@]}"; do
    seeds="$root/fuzz/corpus/$target"
    scratch="$build/corpus/$target"
    artifacts="$build/artifacts/$target"
    mkdir -p "$scratch" "$artifacts"
    target_log="$build/$target.log"

    # New inputs go to the first corpus folder only: the scratch one.
    if ! "$build/${target}_fuzz" \
        -max_total_time="$share" -max_len="${max_len[$target]}" \
        -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" \
        "$scratch" "$seeds" >"$target_log" 2>&1; then
        found=$(sed -n 's/.*Test unit written to //p' "$target_log" | tail -n 1)
        fail "$target${found:+: input kept as $found}" "$target_log"
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$target_log" | tail -n 1)
    runs_in_all=$((runs_in_all + ${runs:-0}))
done

echo "check-fuzz: OK: ${#targets[@]} targets, $runs_in_all inputs in ${share} s each, no crash"
