#!/usr/bin/env bash
# Installs the Debian packages the project uses, when they are missing.
# Needs root for apt-get.
#
#   scripts/install-deps.sh            the programs, the tests, the tools and the benchmarks
#   scripts/install-deps.sh --runtime  only what building the programs and their package needs
#                                      (cmake -DBUILD_TESTING=OFF)
set -euo pipefail

# The daemons and callctl.
runtime=(
  build-essential cmake pkg-config
  libsndfile1-dev       # WAV files in callctl
  libsamplerate0-dev    # resampling on import
  libcairo2-dev         # the call picture
  libjsoncpp-dev        # the answering machine's message records
  libespeak-ng-dev      # the answering machine's spoken prompts
  espeak-ng-data        # the voices those prompts are spoken with
  libasound2-dev        # callctl --sound alsa
  alsa-utils            # aplay, for the README recipes run by the sound tests
  libre-dev librem-dev  # SIP, SDP, RTP and G.711 tables for sipline
  dpkg-dev              # cpack -G DEB: dpkg-shlibdeps finds the package's Depends
)
# The tests, the fuzz targets and the benchmarks.
testing=(
  libgtest-dev libgmock-dev libbenchmark-dev
  libspandsp-dev        # independent DTMF receiver for the tone tests
  clang                 # libFuzzer targets
  socat                 # baseline relay in the load benchmark
  stress-ng             # a busy machine for scripts/stress-tests.sh
  baresip               # the far end in sipline's end-to-end tests
  sip-tester            # SIPp: a scripted far end for what baresip never sends (an INVITE without an offer)
  kamailio              # registrar, dispatcher and outbound proxy in sipline's tests
  dnsmasq-base          # a DNS server on loopback for the far end called by name
  iproute2              # loopback up inside the tests' network namespaces
  man-db                # man -w in the package test
  systemd               # systemd-analyze verify on the service unit
  adduser               # the package's postinst makes its user with it
)

case "${1:-}" in
  --runtime) packages=("${runtime[@]}") ;;
  "") packages=("${runtime[@]}" "${testing[@]}") ;;
  *) echo "usage: $0 [--runtime]" >&2; exit 2 ;;
esac

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
