#!/usr/bin/env bash
# The test suite on a machine as busy as CI's can be: the whole ctest suite
# three times in a row (or as many as given) while two CPU hogs run beside
# it.  Uses the plain build in build/ (made if missing).
#
#   scripts/stress-tests.sh [rounds, default 3]
set -uo pipefail
cd "$(dirname "$0")/.."

rounds=${1:-3}
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 1
cmake --build build -j"$jobs" || exit 1

# stress-ng when it is there, else two shell busy loops.
hogs=()
if command -v stress-ng >/dev/null; then
    stress-ng --cpu 2 --quiet &
    hogs+=($!)
    load="stress-ng --cpu 2"
else
    for _ in 1 2; do
        (while :; do :; done) &
        hogs+=($!)
    done
    load="two busy loops"
fi
stop_hogs() {
    for pid in "${hogs[@]}"; do kill "$pid" 2>/dev/null; done
    wait "${hogs[@]}" 2>/dev/null
}
trap stop_hogs EXIT

passed=0
failed=0
for round in $(seq 1 "$rounds"); do
    echo "== round $round of $rounds beside $load (load average $(cut -d' ' -f1 /proc/loadavg))"
    start=$SECONDS
    if ctest --test-dir build --output-on-failure -j"$jobs" --timeout 300 > "build/stress-round-$round.log" 2>&1; then
        passed=$((passed + 1))
        result=passed
    else
        failed=$((failed + 1))
        result=FAILED
        grep -A200 'The following tests FAILED' "build/stress-round-$round.log"
    fi
    echo "round $round: $result in $((SECONDS - start)) s, $(grep -E 'tests passed' "build/stress-round-$round.log")"
done
echo "stress-tests.sh: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
