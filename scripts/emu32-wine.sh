#!/bin/bash
# Unpacks Debian's 32-bit wine into build/emu32 and wraps its loader so that
# every process of the 32-bit prefix runs under qemu-i386: this kernel cannot
# run 32-bit code itself.  Nothing is installed system-wide, so the system's
# wine64 and the x86_64 tests stay as they are; the 64-bit wineserver serves
# both, which is why the version must be wine64's.  Quick when done already.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
EMU32="$ROOT/build/emu32"
version=$(dpkg-query -W -f='${Version}' wine64)
[ "$(cat "$EMU32/unpacked" 2>/dev/null)" = "$version" ] && [ -x "$EMU32/wine" ] && exit 0

echo "emu32-wine: unpacking the 32-bit wine $version into $EMU32"
rm -rf "$EMU32/debs" "$EMU32/root" "$EMU32/unpacked"
mkdir -p "$EMU32/debs" "$EMU32/root"
download() {
  (cd "$EMU32/debs" && apt-get download -q -o APT::Sandbox::User=root \
    "libwine:i386=$version" "wine32:i386=$version" "wine32-preloader:i386=$version" >../download.log 2>&1)
}
# Stale package lists know no such version: refresh them once.
download || { $([ "$(id -u)" -ne 0 ] && echo sudo) apt-get update -qq && download; } ||
  { cat "$EMU32/download.log"; exit 1; }
for deb in "$EMU32"/debs/*.deb; do dpkg-deb -x "$deb" "$EMU32/root"; done

# What libwine's install script would do: the mingw zlib, marked as a
# builtin DLL (user32 fails to load without it).
zlib=/usr/i686-w64-mingw32/lib/zlib1.dll
{ head -c 64 "$zlib"; printf 'Wine builtin DLL'; head -c 16 /dev/zero; tail -c +97 "$zlib"; } \
  >"$EMU32/root/usr/lib/i386-linux-gnu/wine/i386-windows/zlib1.dll"

# Wine starts every process, children too, as "<its folder>/wine-preloader
# <loader> args": that name becomes a script that hands the real static
# preloader and loader to qemu.  The preloader reserves the address space
# at once (without it each start spends a minute probing memory), and
# WINELOADERNOEXEC spares the loader's own re-exec through it.
bin="$EMU32/root/usr/lib/wine"
rm -f "$bin/wine-preloader"
cat >"$bin/wine-preloader" <<'EOF'
#!/bin/sh
here=$(dirname "$(readlink -f "$0")")
shift
WINELOADERNOEXEC=1 exec qemu-i386 "$here/wine-preloader.static" "$here/wine" "$@"
EOF
# The loader to start programs with, like wine64 for the x86_64 build.
cat >"$EMU32/wine" <<'EOF'
#!/bin/sh
# 32-bit wine under qemu-i386 with the system's 64-bit wineserver.
here=$(dirname "$(readlink -f "$0")")
export WINESERVER=/usr/lib/wine/wineserver
exec "$here/root/usr/lib/wine/wine-preloader" wine "$@"
EOF
chmod +x "$bin/wine-preloader" "$EMU32/wine"
echo "$version" >"$EMU32/unpacked"
