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
  haproxy iproute2                  # the balanced trial of the update server (tools/update_server/deploy)
  # The shipped 32-bit exe runs under Debian's 32-bit wine (unpacked into
  # build/ by emu32-wine.sh) emulated by qemu-i386: the libraries it loads.
  libc6:i386 libx11-6:i386 libxext6:i386 libxrender1:i386 libxrandr2:i386 libxi6:i386 libxcursor1:i386
  libxfixes3:i386 libxinerama1:i386 libxcomposite1:i386 libfreetype6:i386 libfontconfig1:i386
)
# Debian 12's qemu 7.2 mishandles CPU faults so that wine's services crash;
# the backported 10.x runs them.
QEMU_MIN=1:10
BACKPORTS=/etc/apt/sources.list.d/bookworm-backports.sources

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
update=0
if [ ! -f "$BACKPORTS" ]; then
  echo "install-deps: adding bookworm-backports"
  printf '%s\n' "Types: deb" "URIs: http://deb.debian.org/debian" "Suites: bookworm-backports" \
    "Components: main" "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" | $SUDO tee "$BACKPORTS" >/dev/null
  update=1
fi
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "install-deps: adding the i386 architecture"
  $SUDO dpkg --add-architecture i386
  update=1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
qemu=$(dpkg-query -W -f='${Status} ${Version}' qemu-user 2>/dev/null | sed -n 's/^install ok installed //p')
need_qemu=0
[ -n "$qemu" ] && dpkg --compare-versions "$qemu" ge "$QEMU_MIN" || need_qemu=1

if [ ${#missing[@]} -gt 0 ] || [ $need_qemu -eq 1 ]; then
  $SUDO apt-get update -qq
  if [ ${#missing[@]} -gt 0 ]; then
    echo "install-deps: installing ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
  if [ $need_qemu -eq 1 ]; then
    echo "install-deps: installing qemu-user from bookworm-backports"
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
      -t bookworm-backports qemu-user >/dev/null
  fi
elif [ $update -eq 1 ]; then
  $SUDO apt-get update -qq
fi
"$(dirname "$0")/emu32-wine.sh"
echo "install-deps: all packages present"
