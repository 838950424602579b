#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the tools and the
# benchmarks use, when they are missing.  Needs root for apt-get.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libspandsp-dev        # independent DTMF receiver for the tone tests
  libsndfile1-dev       # WAV files in callctl
  libsamplerate0-dev    # resampling on import
  libcairo2-dev         # the call picture
  clang                 # libFuzzer targets
  socat                 # baseline relay in the load benchmark
  libre-dev librem-dev  # SIP, SDP, RTP and G.711 tables for sipline
  baresip               # the far end in sipline's end-to-end tests
  kamailio              # registrar and dispatcher in sipline's tests
  iproute2              # loopback up inside the tests' network namespaces
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
