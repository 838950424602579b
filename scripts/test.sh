#!/usr/bin/env bash
# Builds everything and runs every test: the packages, the build, the test
# suite, the sanitizer build with the suite again, and the fuzz targets.
# Every stage runs even when one before it failed, so one flaky stage cannot
# hide the others; the end lists each stage's result and time, and the exit
# status is 1 if any failed.  Installs what it needs when run as root.
#
#   JOBS=N scripts/test.sh     parallel jobs (default: the number of cores)
set -uo pipefail
cd "$(dirname "$0")/.."

jobs=${JOBS:-$(nproc)}
names=()
results=()
times=()

stage() {
    local name=$1
    shift
    echo "== $name"
    local start=$SECONDS
    "$@"
    local rc=$?
    names+=("$name")
    times+=($((SECONDS - start)))
    if [ "$rc" -eq 0 ]; then results+=(passed); else results+=("FAILED (status $rc)"); fi
}

build() {
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo && cmake --build build -j"$jobs"
}

stage install scripts/install-deps.sh
stage build build
stage ctest ctest --test-dir build --output-on-failure -j"$jobs" --timeout 300
stage sanitizers env SKIP_FUZZ=1 scripts/reliability.sh
stage fuzz env SKIP_SANITIZE=1 scripts/reliability.sh

echo
echo "== stages"
passed=0
failed=0
for i in "${!names[@]}"; do
    printf '%-12s %-20s %5d s\n' "${names[$i]}" "${results[$i]}" "${times[$i]}"
    if [ "${results[$i]}" = passed ]; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done
echo "test.sh: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
