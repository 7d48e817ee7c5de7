# Shared by the native lane's scripts (sourced): where things are, how the
# lane's build is made, and the targets with the files they are for.
lane_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
lane_root=$(cd "$lane_here/../.." && pwd)
lane_targets=$(awk '!/^#/ && NF {print $1}' "$lane_here/targets.txt")

# The files a target is for, relative to the checkout.
lane_files_of() { awk -v t="$1" '$1 == t {for (i = 2; i <= NF; ++i) print $i}' "$lane_here/targets.txt"; }

# Configures (once) and builds the given targets of the native project;
# LANE_CMAKE_ARGS adds to the configuration.
lane_build() {
    local dir=$1
    shift
    if [ ! -f "$dir/build.ninja" ]; then
        # shellcheck disable=SC2086
        cmake -S "$lane_root/tests/native" -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 ${LANE_CMAKE_ARGS:-} \
            >"$dir.configure.log" 2>&1 ||
            { cat "$dir.configure.log"; return 1; }
    fi
    cmake --build "$dir" --target "$@" -j "${JOBS:-2}"
}

# The directories a target's replay reads: the starting corpus and the
# regressions (inputs that once failed).
lane_inputs_of() {
    echo "$lane_here/corpus/$1"
    [ -d "$lane_here/regressions/$1" ] && echo "$lane_here/regressions/$1"
    return 0
}
