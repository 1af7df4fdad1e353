#!/usr/bin/env bash
# Installs what building and testing PalvexWrapper needs on Debian 12.
# Run as a user with sudo, or as root.  --windows adds the MinGW cross
# compiler and Wine for the Windows DLL and its tests; --fuzz adds clang 14
# with its libFuzzer runtime for the fuzz targets.
set -euo pipefail
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

packages=(g++ cmake ninja-build pkg-config git
          libspdlog-dev libfmt-dev nlohmann-json3-dev
          libgtest-dev libgmock-dev googletest libbenchmark-dev
          iproute2
          python3 python3-matplotlib
          libedf-dev python3-mne
          python3-numpy python3-pytest python3-venv python3-setuptools python3-wheel)
if [ "${1:-}" = "--fuzz" ]; then
  packages+=(clang-14 libclang-rt-14-dev llvm-14)
fi
if [ "${1:-}" = "--windows" ]; then
  packages+=(g++-mingw-w64-x86-64-posix wine wine64)
fi

export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${packages[@]}" >/dev/null
