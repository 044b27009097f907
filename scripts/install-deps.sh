#!/bin/bash
# Installs what the build, the tests and the demo need (Debian 12).  Quick,
# and changes nothing, when everything is there.  The 32-bit runtime of the
# emulated stage is never installed on the system: emu32-wine.sh unpacks it
# into build/emu32, so no system package is upgraded, downgraded or held
# for it.
set -uo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
SETUP_NAME=install-deps
source "$HERE/setup-lib.sh"

packages=(
  cmake ninja-build g++ make git bc
  clang libclang-rt-14-dev          # libFuzzer targets
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine64 xvfb xauth                 # the 64-bit exe runs under wine on a virtual display
  googletest
  libssl-dev openssl libgnutls30    # package signatures: libcrypto natively, gnutls behind wine's bcrypt
  osslsigncode                      # Authenticode signature of the exe
  haproxy iproute2                  # the balanced trial of the update server (server/deploy)
)
# Debian 12's qemu 7.2 mishandles CPU faults so that wine's services crash;
# the backported 10.x runs them.
QEMU_MIN=1:10
# The tests of this script point these at folders of their own.
APT_ETC=${KAVO_APT_ETC:-/etc/apt}
BACKPORTS=$APT_ETC/sources.list.d/bookworm-backports.sources

command -v apt-get >/dev/null && command -v dpkg-query >/dev/null ||
  fail "looking for apt-get and dpkg-query" "" "run this on Debian 12 (the project's machines), or install the packages listed at the top of $0 by hand"

# The installed version of a package, or nothing: a package that is not
# installed is an answer here, not an error.
installed_version() {
  local out
  out=$(dpkg-query -W -f='${Status} ${Version}' "$1" 2>/dev/null) || return 0
  case $out in "install ok installed "*) echo "${out#install ok installed }" ;; esac
}

# The mirror the system already uses, so that backports come from the same place.
system_mirror() {
  local uri
  uri=$(cat "$APT_ETC"/sources.list "$APT_ETC"/sources.list.d/*.list 2>/dev/null |
    awk '$1 == "deb" && $3 ~ /^bookworm/ { print $2; exit }')
  [ -n "$uri" ] || uri=$(cat "$APT_ETC"/sources.list.d/*.sources 2>/dev/null |
    awk '/^URIs:/ { u = $2 } /^Suites:/ && / bookworm( |$)/ && u != "" { print u; exit }')
  echo "${uri:-http://deb.debian.org/debian}"
}

missing=()
for p in "${packages[@]}"; do
  [ -n "$(installed_version "$p")" ] || missing+=("$p")
done
qemu=$(installed_version qemu-user)
need_qemu=1
[ -n "$qemu" ] && dpkg --compare-versions "$qemu" ge "$QEMU_MIN" && need_qemu=0

if [ ${#missing[@]} -gt 0 ] || [ $need_qemu -eq 1 ]; then
  if [ $need_qemu -eq 1 ] && [ ! -f "$BACKPORTS" ]; then
    say "adding bookworm-backports (for qemu-user $QEMU_MIN or newer)"
    printf '%s\n' "Types: deb" "URIs: $(system_mirror)" "Suites: bookworm-backports" \
      "Components: main" "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" |
      $SUDO tee "$BACKPORTS" >/dev/null ||
      fail "adding bookworm-backports to $BACKPORTS" "" "run this as root (or with sudo), or add bookworm-backports to the package sources by hand"
  fi
  say "updating the package indexes"
  apt_update
  if [ ${#missing[@]} -gt 0 ]; then
    say "installing ${missing[*]}"
    step "installing ${missing[*]}" \
      "check the network and the package sources in $APT_ETC, run 'apt-get update' and look at what it says, then run 'make deps' again" \
      $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
  if [ $need_qemu -eq 1 ]; then
    say "installing qemu-user from bookworm-backports"
    step "installing qemu-user from bookworm-backports" \
      "check that $BACKPORTS names a reachable mirror and that 'apt-cache policy qemu-user' lists a $QEMU_MIN version, then run 'make deps' again" \
      $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends -t bookworm-backports qemu-user
  fi
fi

"$HERE/emu32-wine.sh" || exit 1
say "all packages present"
