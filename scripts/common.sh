# Shared by the test, demo and bench scripts: build folders, the three
# builds, a virtual display and a wine prefix inside the build folder.
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build"
NATIVE="$BUILD/native"
WIN64="$BUILD/win64"
WIN32="$BUILD/win32"
FUZZ="$BUILD/fuzz"
export WINEPREFIX="$BUILD/wineprefix"
export WINEDEBUG=-all
# No desktop integration, no .NET or HTML engines, and a crash ends the
# program instead of waiting in a debugger.
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d;winedbg.exe=d"
WINE=/usr/lib/wine/wine64
# The shipped i686 exe runs under the 32-bit wine emulated by qemu-i386
# (scripts/emu32-wine.sh), in a 32-bit prefix of its own.
WINE32="$BUILD/emu32/wine"
WINEPREFIX32="$BUILD/wineprefix32"
JOBS=2

configure_and_build() {   # name dir extra-cmake-args...
  local name=$1 dir=$2; shift 2
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >"$BUILD/$name-configure.log" 2>&1 ||
      { cat "$BUILD/$name-configure.log"; return 1; }
  fi
  ninja -C "$dir" -j$JOBS >"$BUILD/$name-build.log" 2>&1 || { tail -40 "$BUILD/$name-build.log"; return 1; }
  if grep -q "warning:" "$BUILD/$name-build.log"; then
    echo "warnings in the $name build:"; grep -A3 "warning:" "$BUILD/$name-build.log" | head -40
    return 1
  fi
}

build_all() {
  mkdir -p "$BUILD"
  configure_and_build native "$NATIVE" -DCMAKE_BUILD_TYPE=Debug || return 1
  configure_and_build win64 "$WIN64" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw-x86_64.cmake" || return 1
  configure_and_build win32 "$WIN32" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-mingw-i686.cmake" || return 1
}

XVFB_PID=""
start_display() {
  # Xvfb picks a free display itself: fixed numbers collide with other
  # displays of this machine, also ones in other roots (their sockets share
  # one namespace).
  local numfile="$BUILD/xvfb.display"
  rm -f "$numfile"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$numfile" >"$BUILD/xvfb.log" 2>&1 &
  XVFB_PID=$!
  for _ in $(seq 100); do
    if [ -s "$numfile" ]; then export DISPLAY=":$(tr -dc 0-9 <"$numfile")"; return 0; fi
    kill -0 "$XVFB_PID" 2>/dev/null || break
    sleep 0.1
  done
  echo "Xvfb did not start:"; cat "$BUILD/xvfb.log"; return 1
}

start_wine() {
  # Boot the prefix once; later starts take under a second.  Output goes to
  # a file because wine's helpers keep inherited pipes open.
  "$WINE" wineboot -i >"$BUILD/wineboot.log" 2>&1 </dev/null || { cat "$BUILD/wineboot.log"; return 1; }
}

start_wine32() {
  # The first boot under emulation takes 20-40 s.
  WINEPREFIX="$WINEPREFIX32" WINEARCH=win32 "$WINE32" wineboot -i >"$BUILD/wineboot32.log" 2>&1 </dev/null ||
    { cat "$BUILD/wineboot32.log"; return 1; }
}

stop_all() {
  /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  WINEPREFIX="$WINEPREFIX32" "$BUILD/emu32/wineserver" -k >/dev/null 2>&1 || true
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" >/dev/null 2>&1 || true
}
