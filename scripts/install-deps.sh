#!/bin/bash
# Installs what the build, the tests and the demo need (Debian 12).
# Idempotent and quick when everything is already there.
set -euo pipefail

packages=(
  cmake ninja-build g++ make
  clang libclang-rt-14-dev          # libFuzzer targets
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine64 xvfb xauth                 # the 64-bit exe runs under wine on a virtual display
  googletest
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
echo "install-deps: all packages present"
