#!/usr/bin/env bash
# The reliability run: the whole project built a second time with
# AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer, every test
# run there, then each libFuzzer target for a bounded time.
#
#   scripts/reliability.sh                 everything
#   FUZZ_SECONDS=60 scripts/reliability.sh longer fuzz runs (default 20 s each)
#   SKIP_SANITIZE=1 / SKIP_FUZZ=1          one half only
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2
fuzz_seconds=${FUZZ_SECONDS:-20}
status=0

if [ -z "${SKIP_SANITIZE:-}" ]; then
    echo "== sanitizer build (build-asan)"
    cmake -S . -B build-asan -DSANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build-asan -j"$jobs"
    # Any finding ends the process with an error and a report on standard
    # error, which the tests see as a failed run of the daemon.  (Fake stacks
    # for use-after-return would grow the daemons' memory and blur the soak's
    # memory check, so they stay off.)
    export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:strict_string_checks=1}
    # Leaks inside system libraries are theirs, not ours: fontconfig keeps
    # its caches for the life of the process.
    printf 'leak:libfontconfig.so\n' > build-asan/lsan.supp
    export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/build-asan/lsan.supp}
    export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
    # The sanitizers slow the programs down: twice the plain run's time limit.
    # The package test is left to the plain build, whose programs ship.
    ctest --test-dir build-asan --output-on-failure -j"$jobs" --timeout 600 -LE package || status=1
fi

if [ -z "${SKIP_FUZZ:-}" ]; then
    echo "== fuzz targets (${fuzz_seconds} s each)"
    CC=clang CXX=clang++ cmake -S . -B build-fuzz -DFUZZ=ON -DBUILD_TESTING=OFF \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build-fuzz -j"$jobs" --target fuzz_targets
    for target in build-fuzz/bin/*_fuzz; do
        name=$(basename "$target" _fuzz)
        # New inputs go to a scratch folder; the committed seeds stay as they are.
        work=$(mktemp -d)
        log=build-fuzz/$name.log
        if "$target" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=1024 \
                -artifact_prefix=build-fuzz/"$name"- "$work" "fuzz/corpus/$name" >"$log" 2>&1; then
            echo "$name: $(grep -E '^Done [0-9]+ runs' "$log" || tail -1 "$log")"
        else
            echo "$name: FAILED (see $log)"
            tail -40 "$log"
            status=1
        fi
        rm -rf "$work"
    done
fi

exit $status
