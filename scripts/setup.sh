#!/usr/bin/env bash
# Installs the Debian packages the build needs (with --bench, the benchmarks' too; with --tests,
# the test suite's browser too), only those that are missing.
set -euo pipefail

packages=(build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev clang-format
          libgtest-dev libgmock-dev googletest libbenchmark-dev
          libtinyxml2-dev libboost-dev libspeexdsp-dev libsndfile1-dev
          libcli11-dev libhwy-dev libkissfft-dev libfftw3-dev libcairo2-dev nlohmann-json3-dev
          sox tmux lv2-dev liblilv-dev lilv-utils libpipewire-0.3-dev libcpp-httplib-dev
          pipewire pipewire-bin wireplumber dbus-daemon)
# The benchmarks (scripts/bench.sh passes --bench) also set the library against ffmpeg; the tests
# (scripts/test.sh passes --tests) drive the control panel in Chromium from Node.js, and a machine
# with a Node.js of its own keeps it.
case "${1:-}" in
  --bench) packages+=(ffmpeg) ;;
  --tests)
    packages+=(chromium fonts-liberation)
    command -v npm >/dev/null || packages+=(nodejs npm)
    ;;
esac

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "setup: installing ${missing[*]}"
sudo=""
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "setup: need root or sudo to install ${missing[*]}" >&2; exit 1; }
  sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
