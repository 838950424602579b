#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (the main build uses g++):
#   fuzz/build.sh [output folder, default build-fuzz]
# Each target is fuzz/<name>_fuzz.cpp, linked with the sources it exercises;
# its seeds are in fuzz/corpus/<name>/.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build-fuzz}
mkdir -p "$out"

flags=(-std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -Wall -Wextra -Icommon -Ivoicephone -Iplayback -Irecord)
common=(common/audio_io.cpp common/control_block.cpp common/daemon_util.cpp)

# The pure logic of the voicephone pumps: every source of the folder but the
# program's own process code and the tests.
voicephone_core() {
    for f in voicephone/*.cpp; do
        case "$f" in
            *_test.cpp|*main.cpp|*supervisor.cpp|*pump.cpp) ;;
            *) echo "$f" ;;
        esac
    done
}

build() {
    local name=$1; shift
    echo "building $out/${name}_fuzz"
    clang++ "${flags[@]}" "fuzz/${name}_fuzz.cpp" "$@" -o "$out/${name}_fuzz"
}

vp=()
while read -r f; do vp+=("$f"); done < <(voicephone_core)

build codec "${common[@]}"
build line "${common[@]}" "${vp[@]}"
build doubling "${common[@]}" "${vp[@]}"
build mixing "${common[@]}" playback/mixing.cpp
build tape "${common[@]}" "${vp[@]}" record/room.cpp
build tape_file "${common[@]}" voicephone/tape_writer.cpp voicephone/tape_navigation.cpp voicephone/tape_math.cpp
