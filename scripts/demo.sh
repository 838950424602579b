#!/usr/bin/env bash
# Installs what is missing (as root), builds, and runs the demo: a taped
# call, playback, a recording and an answering-machine call on stand-ins.
# The files land in ./demo-out (or the folder given as the first argument).
set -euo pipefail
cd "$(dirname "$0")/.."

out="${1:-demo-out}"
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build -j"$(nproc)" --target callctl
build/bin/callctl demo --out "$out"
