#!/usr/bin/env bash
# make bench: runs tly-bench under a primed Wine server against a private
# simulator and prints its table with the machine it ran on.
#   run-bench.sh BUILD_DIR [--update] [tly-bench options...]
# The report also goes to BUILD_DIR/bench/BENCHMARKS.md; --update copies it
# over the BENCHMARKS.md of the source tree.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
src=$(cd "$here/../.." && pwd)
build=$(cd "${1:-build}" && pwd)
shift || true
update=false
if [ "${1:-}" = "--update" ]; then update=true; shift; fi

"$src/tools/wine-prefix.sh" "$build" init
"$src/tools/wine-prefix.sh" "$build" start
trap '"$src/tools/wine-prefix.sh" "$build" stop' EXIT

out="$build/bench"
rm -rf "$out/work"
mkdir -p "$out/work"
export TLY_SOURCE_DIR="$src" TLY_BUILD_DIR="$build"
windows() { echo "Z:$(echo "$1" | tr / '\\')"; }

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
dll=${TLY_BENCH_DLL:-$build/bin/TallyportAccessControlTranslator.dll}  # another DLL to measure, for comparisons
"$src/tools/wine-run.sh" "$build/bin/tly-bench.exe" "$(windows "$dll")" \
    "$(windows "$out/work")" --markdown "$(windows "$out/table.md")" "$@" </dev/null
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
memory=$(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo)
{
    echo "# Benchmarks"
    echo
    echo "The latest \`make bench\` table (see tools/bench/README.md for what each row measures)."
    echo
    echo "- Run: $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git -C "$src" rev-parse --short HEAD 2>/dev/null || echo unknown)"
    echo "- Machine: $cpu, $(nproc) cores, $memory; $(. /etc/os-release && echo "$PRETTY_NAME"); $(wine --version)"
    echo "- Load average (1, 5, 15 min) before: $load_before; after: $load_after"
    echo
    cat "$out/table.md"
} >"$out/BENCHMARKS.md"
echo
echo "Written to $out/BENCHMARKS.md"
if $update; then cp "$out/BENCHMARKS.md" "$src/BENCHMARKS.md" && echo "Copied to $src/BENCHMARKS.md"; fi
