#!/usr/bin/env bash
# `make fuzz-native`: each target searched by libFuzzer under AddressSanitizer
# and UndefinedBehaviorSanitizer for a set time, then a coverage build replays
# what each target has (its starting corpus, its regressions, and what the
# search found) and a table gives the lines covered in the file it is for.
# Usage: run-fuzz-native.sh <lane build directory> <seconds per target> [libFuzzer options...]
# TARGETS="a b" limits the run to those targets.
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lane.sh"
dir=$(mkdir -p "${1:?build directory}" && cd "$1" && pwd)
seconds=${2:-300}
shift 2 || shift $#
targets=${TARGETS:-$lane_targets}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

fuzzers=() && covers=()
for target in $targets; do fuzzers+=("fuzz_$target") && covers+=("cov_$target"); done
lane_build "$dir" "${fuzzers[@]}" "${covers[@]}" >"$dir/fuzz-build.log" 2>&1 || { tail -40 "$dir/fuzz-build.log"; exit 1; }

found=0
summary=()
for target in $targets; do
    mapfile -t inputs < <(lane_inputs_of "$target")
    # New inputs go to a corpus of the build's own; the checked-in one is only read.
    work="$dir/corpus/$target" && mkdir -p "$work" "$dir/findings/$target"
    log="$dir/fuzz-$target.log"
    echo "fuzz-native: $target for ${seconds}s"
    "$dir/fuzz_$target" -max_total_time="$seconds" -dict="$lane_here/dict/$target.dict" -print_final_stats=1 \
        -artifact_prefix="$dir/findings/$target/" "$@" "$work" "${inputs[@]}" >"$log" 2>&1
    status=$?
    runs=$(awk '/stat::number_of_executed_units/ {print $2}' "$log" | tail -1)
    if [ "$status" -ne 0 ]; then
        found=$((found + 1))
        grep -E 'BROKEN RULE|ERROR|runtime error|Test unit written' "$log" | head -5
    fi
    summary+=("$(printf '%-20s %6ss %12s runs  %s' "$target" "$seconds" "${runs:-?}" "$([ "$status" -eq 0 ] && echo clean || echo FINDING)")")
done

echo
echo "Lines covered in the file each target is for (its corpus, regressions and this run's finds):"
printf '%-20s %-40s %8s %8s %7s\n' target file lines covered percent
for target in $targets; do
    mapfile -t inputs < <(lane_inputs_of "$target")
    rm -rf "$dir/profiles/$target" && mkdir -p "$dir/profiles/$target"
    LLVM_PROFILE_FILE="$dir/profiles/$target/%p.profraw" "$dir/cov_$target" -runs=0 "$dir/corpus/$target" \
        "${inputs[@]}" >"$dir/cov-$target.log" 2>&1
    llvm-profdata-14 merge -sparse "$dir/profiles/$target"/*.profraw -o "$dir/profiles/$target.profdata"
    for file in $(lane_files_of "$target"); do
        llvm-cov-14 report "$dir/cov_$target" -instr-profile="$dir/profiles/$target.profdata" "$lane_root/$file" |
            awk -v t="$target" -v f="$file" '$1 == "TOTAL" {printf "%-20s %-40s %8s %8d %7s\n", t, f, $8, $8 - $9, $10}'
    done
done
echo
printf '%s\n' "${summary[@]}"
echo "fuzz-native: $found target(s) with findings (inputs in $dir/findings)"
[ "$found" -eq 0 ]
