#!/usr/bin/env bash
# The native lane's slice of `make test`: checks the lock graph of the
# Windows build in TLY_LOCK_GRAPH_BUILD (when set), builds the sanitized and
# the ThreadSanitizer programs, runs the unit tests under both, replays every
# target's corpus and regressions under AddressSanitizer + UndefinedBehavior-
# Sanitizer, then fuzzes each target for a few seconds (SLICE_SECONDS).
# Usage: run-slice.sh <build directory of the lane>
set -uo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lane.sh"
dir=$(mkdir -p "${1:?build directory}" && cd "$1" && pwd)
seconds=${SLICE_SECONDS:-2}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1}

# clang's thread-safety analysis over the whole product (cmake/LockGraph.cmake).
if [ -n "${TLY_LOCK_GRAPH_BUILD:-}" ]; then
    cmake --build "$TLY_LOCK_GRAPH_BUILD" --target lock_graph -j "${JOBS:-2}" >"$dir/lock-graph.log" 2>&1 ||
        { grep -E 'error|warning|note' "$dir/lock-graph.log" | head -40; echo "native: lock_graph FAILED"; exit 1; }
    echo "native: lock_graph passed"
fi

LANE_CMAKE_ARGS=-DTLY_NATIVE_OPTIMIZE=-O0 lane_build "$dir" native_slice >"$dir/slice-build.log" 2>&1 || { tail -40 "$dir/slice-build.log"; exit 1; }

failed=0
passed=0
step() {  # name, command...
    local name=$1
    shift
    if "$@" >"$dir/slice-$name.log" 2>&1; then
        passed=$((passed + 1))
        echo "native: $name passed"
    else
        failed=$((failed + 1))
        echo "native: $name FAILED"
        grep -E 'BROKEN RULE|ERROR|runtime error|WARNING: ThreadSanitizer|FAILED|SUMMARY' "$dir/slice-$name.log" | head -20
    fi
}

step unit_tests "$dir/native_unit_tests"
step tsan_tests "$dir/native_tsan_tests"
for target in $lane_targets; do
    mapfile -t inputs < <(lane_inputs_of "$target")
    step "replay.$target" "$dir/fuzz_$target" -runs=0 "${inputs[@]}"
    scratch="$dir/slice-corpus/$target"
    rm -rf "$scratch" && mkdir -p "$scratch" "$dir/findings/$target"
    step "fuzz.$target" "$dir/fuzz_$target" -max_total_time="$seconds" -dict="$lane_here/dict/$target.dict" \
        -artifact_prefix="$dir/findings/$target/" "$scratch" "${inputs[@]}"
done
echo "native: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
