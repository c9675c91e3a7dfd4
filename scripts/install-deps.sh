#!/usr/bin/env bash
# Installs the Debian 12 packages the build needs, when any is missing (idempotent).
set -euo pipefail
packages=(g++ cmake make pkg-config libxrl-dev libjsoncpp-dev libeigen3-dev libspdlog-dev
          libfmt-dev libgtest-dev libbenchmark-dev libcli11-dev valgrind
          pybind11-dev python3-dev python3-numpy python3-pytest python3-matplotlib python3-xraylib "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
