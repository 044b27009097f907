#!/bin/bash
# The 32-bit runtime of the emulated stage, unpacked into build/emu32/root:
# Debian's 32-bit wine, every i386 library it loads, and the wineserver of
# the same wine version.  Nothing of it is installed on the system, so no
# system package is upgraded, downgraded or held for it, and the system's
# own package versions (wine64's among them) do not matter.
#
# The packages come from a package index of this folder's own (i386, plus
# amd64 for the wineserver), resolved by apt against an empty package
# database, so apt picks the whole closure of the list below.  qemu-i386 runs
# every 32-bit process with that root as its prefix for the loader and the
# libraries.  The 32-bit wine talks to the wineserver unpacked beside it,
# fetched at the same version in the same run: after a point release both
# move together the next time the runtime is unpacked (a new build/ or a
# changed list), and until then the unpacked pair keeps matching.
# Quick when done already: the stamp names the list it was made from.
set -uo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
SETUP_NAME=emu32-wine
source "$HERE/setup-lib.sh"
ROOT="$(cd "$HERE/.." && pwd)"
EMU32=${KAVO_EMU32_DIR:-$ROOT/build/emu32}
APT_ETC=${KAVO_APT_ETC:-/etc/apt}

# What the 32-bit wine loads at run time (its own packages are added below,
# at one version).  apt adds each one's dependencies.
runtime32=(
  libc6 libx11-6 libxext6 libxrender1 libxrandr2 libxi6 libxcursor1 libxfixes3
  libxinerama1 libxcomposite1 libfreetype6 libfontconfig1
)
wine_packages=(wine32:i386 libwine:i386 wine32-preloader:i386 wine64:amd64)

LAYOUT=2
signature="layout=$LAYOUT ${runtime32[*]}"
stamp() { sed -n 1p "$EMU32/unpacked" 2>/dev/null; }
[ "$(stamp)" = "$signature" ] && [ -x "$EMU32/wine" ] && [ -x "$EMU32/wineserver" ] && exit 0

mkdir -p "$EMU32" || fail "creating $EMU32" "" "check that the build folder is writable"
SETUP_LOGS="$EMU32"
APT="$EMU32/apt"
mkdir -p "$APT/state/lists/partial" "$APT/cache/archives/partial" "$APT/sources.list.d"
: >"$APT/state/status"
# The system's package sources, as they are.
rm -f "$APT"/sources.list.d/*
cp "$APT_ETC"/sources.list.d/*.sources "$APT_ETC"/sources.list.d/*.list "$APT/sources.list.d/" 2>/dev/null
[ -f "$APT_ETC/sources.list" ] && cp "$APT_ETC/sources.list" "$APT/sources.list.d/system.list"
ls "$APT"/sources.list.d/* >/dev/null 2>&1 ||
  fail "reading the package sources in $APT_ETC" "" "this needs the system's apt sources (Debian 12); check $APT_ETC/sources.list.d"

apt_opts=(
  -o "Dir::State=$APT/state" -o "Dir::State::status=$APT/state/status" -o "Dir::Cache=$APT/cache"
  -o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$APT/sources.list.d"
  -o APT::Architecture=i386 -o APT::Architectures::=i386 -o APT::Architectures::=amd64
  -o APT::Sandbox::User=root -o Debug::NoLocking=1 -o APT::Install-Recommends=false
)

say "updating the i386 package indexes in $APT"
SUDO="" apt_update "${apt_opts[@]}"

version=$(apt-cache "${apt_opts[@]}" show --no-all-versions wine32:i386 2>/dev/null | sed -n 's/^Version: //p' | head -n 1)
[ -n "$version" ] || fail "finding the 32-bit wine (wine32:i386) in the package indexes" "" \
  "the i386 index of Debian's main archive did not update; run 'make deps' again when the mirror is reachable"

say "unpacking the 32-bit wine $version and its libraries into $EMU32/root"
rm -f "$APT"/cache/archives/*.deb
step "downloading the 32-bit runtime (${runtime32[*]})" \
  "a package of the list at the top of $0 could not be had (see the lines above); run 'make deps' again when the mirror is reachable" \
  apt-get "${apt_opts[@]}" install --download-only -y -q "${runtime32[@]/%/:i386}"
step "downloading wine $version (${wine_packages[*]})" \
  "the mirror no longer serves wine $version in both architectures; run 'make deps' again after the mirror has finished syncing" \
  bash -c 'cd "$1" && shift && apt-get "$@"' _ "$APT/cache/archives" "${apt_opts[@]}" download \
  "${wine_packages[@]/%/=$version}" libz-mingw-w64

rm -rf "$EMU32/root" "$EMU32/unpacked"
mkdir -p "$EMU32/root"
for deb in "$APT"/cache/archives/*.deb; do
  step "unpacking $(basename "$deb")" "remove $EMU32 and run 'make deps' again" dpkg-deb -x "$deb" "$EMU32/root"
done

# What libwine's install script would do: the mingw zlib, marked as a
# builtin DLL (user32 fails to load without it).
zlib="$EMU32/root/usr/i686-w64-mingw32/lib/zlib1.dll"
[ -f "$zlib" ] || fail "finding zlib1.dll in libz-mingw-w64" "" "remove $EMU32 and run 'make deps' again"
{ head -c 64 "$zlib"; printf 'Wine builtin DLL'; head -c 16 /dev/zero; tail -c +97 "$zlib"; } \
  >"$EMU32/root/usr/lib/i386-linux-gnu/wine/i386-windows/zlib1.dll"

# Wine starts every process, children too, as "<its folder>/wine-preloader
# <loader> args": that name becomes a script that hands the real static
# preloader and loader to qemu, with the unpacked root as the prefix where
# the loader and the libraries are looked up first.  The preloader reserves
# the address space at once (without it each start spends a minute probing
# memory), and WINELOADERNOEXEC spares the loader's own re-exec through it.
bin="$EMU32/root/usr/lib/wine"
rm -f "$bin/wine-preloader"
cat >"$bin/wine-preloader" <<'EOF'
#!/bin/sh
here=$(dirname "$(readlink -f "$0")")
root=$(readlink -f "$here/../../..")
shift
WINELOADERNOEXEC=1 exec qemu-i386 -L "$root" \
  -E LD_LIBRARY_PATH="$root/lib/i386-linux-gnu:$root/usr/lib/i386-linux-gnu" \
  "$here/wine-preloader.static" "$here/wine" "$@"
EOF
# The loader to start programs with, like wine64 for the x86_64 build, and
# the wineserver of the same version.
ln -sfn root/usr/lib/wine/wineserver64 "$EMU32/wineserver"
cat >"$EMU32/wine" <<'EOF'
#!/bin/sh
# 32-bit wine under qemu-i386 with the wineserver of its own version.
here=$(dirname "$(readlink -f "$0")")
export WINESERVER="$here/wineserver"
exec "$here/root/usr/lib/wine/wine-preloader" wine "$@"
EOF
chmod +x "$bin/wine-preloader" "$EMU32/wine"
printf '%s\n%s\n' "$signature" "$version" >"$EMU32/unpacked"
