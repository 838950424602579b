#!/usr/bin/env bash
# Long runs that CI keeps short: a call of many hours of audio each way, the
# kill-while-taping and flag-race tests over and over, and each fuzz target
# for longer.
#
#   scripts/soak.sh [hours of audio, default 4] [repeats, default 50] [fuzz seconds, default 600]
#
# Uses the plain build in build/ (made if missing) and prints the figures.
set -euo pipefail
cd "$(dirname "$0")/.."

hours=${1:-4}
repeats=${2:-50}
fuzz_seconds=${3:-600}
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs" --target soak_call_test soak_kill_test flags_race_test \
    voicephone-daemon record-daemon playback-daemon orvex_faults

echo "== a call of $hours h of audio each way"
ORVEX_SOAK_SECONDS=$((hours * 3600)) build/bin/soak_call_test

echo "== kills while taping and flag races, $repeats times each"
build/bin/soak_kill_test --gtest_repeat="$repeats" --gtest_brief=1
build/bin/flags_race_test --gtest_repeat="$repeats" --gtest_brief=1

echo "== fuzz targets, $fuzz_seconds s each"
SKIP_SANITIZE=1 FUZZ_SECONDS=$fuzz_seconds scripts/reliability.sh
