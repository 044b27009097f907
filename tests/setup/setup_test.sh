#!/bin/bash
# The set-up scripts on a simulated fresh machine: the package tools are
# stand-ins (tests/setup/standins) that record what they are asked and fail
# as each situation says.  One row a situation:
#   name | FAKE_* settings | rows run before it in the same machine | exit | output must hold (;-separated) | calls must hold | calls must not hold
# Usage: setup_test.sh [scripts-folder]   (default: this tree's scripts/)
set -uo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
SCRIPTS=$(cd "${1:-$HERE/../../scripts}" && pwd)

situations=(
  "new machine|||0|installing cmake;installing qemu-user from bookworm-backports;all packages present|apt-get update;install .*cmake.*wine64;install .*-t bookworm-backports qemu-user;install --download-only .*libx11-6:i386;download .*wine32:i386=8.0~repack-4 .*wine64:amd64=8.0~repack-4|--add-architecture;install -y .*:i386"
  "run again: quick, changes nothing||new machine|0|all packages present||apt-get;dpkg-deb"
  "one index fails once|FAKE_UPDATE_FAILS=1||0|trying again;all packages present|install .*cmake|"
  "one index keeps failing|FAKE_UPDATE_FAILS=99||0|WARNING: the package index update failed 3 times;Mirror sync in progress;all packages present|install .*cmake;download .*wine32:i386|"
  "a package cannot be had|FAKE_UNAVAILABLE=googletest||1|FAILED: installing;Unable to locate package googletest;what you can do|install .*googletest|-t bookworm-backports"
  "qemu too old|FAKE_QEMU=1:7.2+dfsg-7||0|installing qemu-user from bookworm-backports|-t bookworm-backports qemu-user|"
  "no 32-bit wine in the indexes|FAKE_NO_WINE32=1||1|FAILED: finding the 32-bit wine;what you can do||download"
  "a 32-bit library cannot be had|FAKE_UNAVAILABLE=libxcursor1:i386||1|FAILED: downloading the 32-bit runtime;Unable to locate package libxcursor1:i386;what you can do||dpkg-deb"
)

run_row() {   # machine-folder settings
  local m=$1 settings=$2
  mkdir -p "$m/etc-apt/sources.list.d" "$m/emu32"
  [ -f "$m/etc-apt/sources.list.d/debian.sources" ] ||
    printf '%s\n' "Types: deb" "URIs: http://deb.debian.org/debian" "Suites: bookworm bookworm-updates" \
      "Components: main" >"$m/etc-apt/sources.list.d/debian.sources"
  : >"$m/calls"; rm -f "$m/update-count"
  [ -n "${FAKE_QEMU_SET:-}" ] && echo "qemu-user $FAKE_QEMU_SET" >>"$m/installed"
  # A copy of the scripts, so that the run writes nothing into the tree.
  rm -rf "$m/scripts"; cp -r "$SCRIPTS" "$m/scripts"
  env -i PATH="$HERE/standins:/usr/bin:/bin" HOME="$m" TMPDIR="$m" FAKE="$m" \
    KAVO_APT_ETC="$m/etc-apt" KAVO_EMU32_DIR="$m/emu32" APT_RETRY_PAUSE=0 $settings \
    timeout 60 bash "$m/scripts/install-deps.sh" >"$m/out" 2>&1
}

work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
passed=0 failed=0
for row in "${situations[@]}"; do
  IFS='|' read -r name settings before want_exit out_has calls_have calls_not <<<"$row"
  m="$work/$(echo "$name" | tr -c 'a-z0-9\n' '_')"
  mkdir -p "$m"
  FAKE_QEMU_SET=""; case $settings in FAKE_QEMU=*) FAKE_QEMU_SET=${settings#FAKE_QEMU=}; settings="" ;; esac
  [ -n "$before" ] && run_row "$m" ""
  t0=$(date +%s%N)
  run_row "$m" "$settings"; got=$?
  ms=$((($(date +%s%N) - t0) / 1000000))
  problems=()
  [ "$got" = "$want_exit" ] || problems+=("exit status $got, expected $want_exit")
  IFS=';' read -ra list <<<"$out_has"
  for re in "${list[@]}"; do grep -qE -- "$re" "$m/out" || problems+=("output lacks: $re"); done
  IFS=';' read -ra list <<<"$calls_have"
  for re in "${list[@]}"; do grep -qE -- "$re" "$m/calls" || problems+=("no call matching: $re"); done
  IFS=';' read -ra list <<<"$calls_not"
  for re in "${list[@]}"; do grep -qE -- "$re" "$m/calls" && problems+=("unexpected call: $(grep -E -- "$re" "$m/calls" | head -n 1)"); done
  # Whatever happened, the run says so: a non-zero exit names its reason.
  [ "$got" != 0 ] && ! grep -q "FAILED" "$m/out" && problems+=("exit $got without a FAILED line")
  if [ ${#problems[@]} -eq 0 ]; then
    passed=$((passed + 1)); printf 'ok    %-40s %d.%d s\n' "$name" $((ms / 1000)) $((ms % 1000 / 100))
  else
    failed=$((failed + 1)); printf 'FAIL  %s\n' "$name"; printf '      %s\n' "${problems[@]}"
    echo "      output:"; sed 's/^/      | /' "$m/out" | head -n 20
  fi
done
echo "$passed passed, $failed failed"
[ $failed -eq 0 ]
