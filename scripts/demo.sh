#!/usr/bin/env bash
# Installs what is missing (as root), builds the programs, and runs the demo:
# a taped call, playback, a recording and an answering-machine call on
# stand-ins.  Only the programs and their own packages are installed and
# built (no test libraries), in build-demo/ so a test build keeps its
# settings.  The files land in ./demo-out (or the folder given as the first
# argument).
set -euo pipefail
cd "$(dirname "$0")/.."

out="${1:-demo-out}"
scripts/install-deps.sh --runtime
cmake -S . -B build-demo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF > /dev/null
cmake --build build-demo -j"$(nproc)" --target callctl
build-demo/bin/callctl demo --out "$out"
