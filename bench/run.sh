#!/usr/bin/env bash
# Builds and runs every benchmark on this machine and writes bench/RESULTS.md.
#
#   bench/run.sh [build folder]          (default: build)
#
# CALLS (default 1,10,50,100,200) and LOAD_SECONDS (default 6) shorten the
# many-calls benchmark while working on it; the committed results use the
# defaults.  The many-calls run loads every core: run it on a quiet machine.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
calls=${CALLS:-1,10,50,100,200}
seconds=${LOAD_SECONDS:-6}
targets=(micro-bench daemon-bench load-bench floor-bridge voicephone-daemon playback-daemon record-daemon)

command -v socat >/dev/null || { echo "run.sh: socat is missing (scripts/install-deps.sh installs it)" >&2; exit 1; }
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}" >/dev/null
bin=$build/bin
export ORVEX_BIN_DIR=$PWD/$bin

out=bench/RESULTS.md
tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT
started=$(date +%s)
{
    echo "# Benchmark results"
    echo
    echo "Written by \`bench/run.sh\` on $(date -u '+%Y-%m-%d %H:%M') UTC."
    echo
    echo "| machine | |"
    echo "|---|---|"
    echo "| CPU | $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//') |"
    echo "| cores | $(nproc) |"
    echo "| kernel | $(uname -r) |"
    echo "| build | RelWithDebInfo (-O2 -g), $(${CXX:-c++} --version | head -1) |"
    echo "| load average before the run | $(cut -d' ' -f1-3 /proc/loadavg) |"
    echo
    echo "## Micro-benchmarks"
    echo
    echo "CPU time per call of the routine and per sample; the last column is how many calls' worth of audio"
    echo "(8000 samples a second) one core could handle in that routine alone."
    echo
    "$bin/micro-bench" --markdown --benchmark_min_time=0.2 || echo "(micro-bench ended with status $?)"
    echo
    echo "## One call at a time"
    echo
    "$bin/daemon-bench" --samples 40 --seconds 2 || echo "(daemon-bench ended with status $?)"
    echo "## Many calls"
    echo
    # A bridge that fails is reported in its table row; the status says so too.
    "$bin/load-bench" --calls "$calls" --seconds "$seconds" --warmup 2 --rounds 2 || echo "(load-bench ended with status $?)"
    echo "The whole run took $(( $(date +%s) - started )) s; load average after it: $(cut -d' ' -f1-3 /proc/loadavg)."
} >"$tmp"
mv "$tmp" "$out"
trap - EXIT
echo "run.sh: wrote $out"
