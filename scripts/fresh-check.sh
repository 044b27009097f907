#!/bin/bash
# make fresh-check: the README's test command on a new Debian 12 machine.
# Builds a new root with debootstrap (minbase plus git, python3 and make, the
# package sources of this machine), puts a clean clone of the project's
# committed HEAD in it and runs `make test` there, so that every package
# the project needs must come from its own set-up scripts.  Prints the time
# and the result.  Needs root; takes the network to the Debian mirror.
set -uo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
SETUP_NAME=fresh-check
source "$HERE/setup-lib.sh"
ROOT="$(cd "$HERE/.." && pwd)"
FRESH=${FRESH_DIR:-$ROOT/build/fresh}
NEWROOT="$FRESH/root"
SUITE=bookworm

[ "$(id -u)" -eq 0 ] || fail "checking for root" "" "run 'make fresh-check' as root: debootstrap and chroot need it"
t0=$SECONDS

if ! command -v debootstrap >/dev/null; then
  say "installing debootstrap"
  apt_update
  step "installing debootstrap" "check the network and the package sources, then run 'make fresh-check' again" \
    env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends debootstrap
fi

mounts=(proc sys dev dev/pts dev/shm)
unmount_all() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    mountpoint -q "$NEWROOT/${mounts[$i]}" 2>/dev/null && umount -l "$NEWROOT/${mounts[$i]}"
  done
  return 0
}
trap unmount_all EXIT
unmount_all
rm -rf "$FRESH"
mkdir -p "$FRESH"
SETUP_LOGS="$FRESH"

mirror=$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '/^URIs:/ { print $2; exit }')
mirror=${mirror:-http://deb.debian.org/debian}
say "building a new $SUITE root in $NEWROOT (minbase, git, python3, make) from $mirror"
step "debootstrap of $SUITE" "check the network and that $mirror serves $SUITE, then run 'make fresh-check' again" \
  debootstrap --variant=minbase --include=git,python3,make,ca-certificates "$SUITE" "$NEWROOT" "$mirror"

# The package sources of a new machine of this kind: this machine's Debian
# sources as the image had them (backports are the project's own to add).
rm -f "$NEWROOT/etc/apt/sources.list"
for f in /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list /etc/apt/sources.list; do
  [ -f "$f" ] || continue
  case $(basename "$f") in bookworm-backports.sources) continue ;; esac
  cp "$f" "$NEWROOT/etc/apt/sources.list.d/"
done
cp /etc/resolv.conf "$NEWROOT/etc/resolv.conf" 2>/dev/null

say "cloning the committed HEAD of $ROOT into the new root"
step "cloning the project" "commit your work first: the check runs what is committed" \
  git clone -q --no-local "$ROOT" "$NEWROOT/work/kavo"
say "testing commit $(git -C "$NEWROOT/work/kavo" log -1 --format='%h %s')"

mount -t proc proc "$NEWROOT/proc" && mount -t sysfs sys "$NEWROOT/sys" &&
  mount --bind /dev "$NEWROOT/dev" && mount --bind /dev/pts "$NEWROOT/dev/pts" &&
  mount -t tmpfs shm "$NEWROOT/dev/shm" ||
  fail "mounting /proc, /sys and /dev in the new root" "" "run 'make fresh-check' as root on a machine that allows mounts"

say "running 'make test' in the new root (log: $FRESH/test.log)"
t_test=$SECONDS
chroot "$NEWROOT" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  LANG=C.UTF-8 bash -c 'cd /work/kavo && make test' </dev/null >"$FRESH/test.log" 2>&1
rc=$?
echo
sed -n '/^=== Summary/,$p' "$FRESH/test.log"
[ $rc -eq 0 ] || { echo "--- the end of the log:"; tail -n 40 "$FRESH/test.log"; }
echo
say "make test in the new root took $((SECONDS - t_test)) s, the whole check $((SECONDS - t0)) s"
if [ $rc -eq 0 ]; then say "PASSED"; else say "FAILED (make test exited $rc)"; fi
exit $rc
