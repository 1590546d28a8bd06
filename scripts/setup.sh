#!/usr/bin/env bash
# Installs every package the build and the tests need (Debian).
set -euo pipefail
packages=(
  cmake g++ clang libclang-rt-14-dev googletest libbenchmark-dev libssl-dev openssl
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine64 wine nlohmann-json3-dev nsis xvfb nginx
)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
