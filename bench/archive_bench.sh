#!/usr/bin/env bash
# Archive benchmark: packs and unpacks a generated release tree (about 2,000
# files, 200 MB, mixed sizes) with the native wrptool and with tar, on the
# same machine in one run, and prints the times and ratios.  Target: packing
# within 1.5x of tar's wall time; unpacking waits, unlike tar, until every
# new file is on the disk (one sync), which a quiet disk makes the larger
# part of its time.
#
#   bench/archive_bench.sh            # builds build/bench-native (Release, no sanitizers)
#   KAVO_WIN64_EXE=/path/KAVO_installer.exe bench/archive_bench.sh
#                                     # also times "-autoWrap" under wine64
#   KAVO_WIN64_BIN=build/win64 bench/archive_bench.sh
#                                     # also unpacks a 100 MB package of about
#                                     # 2,000 files under wine64: the
#                                     # installer's unwrapFolder
#                                     # (bench/unwrap_timer.exe) against a plain
#                                     # per-file loop (bench/bare_unpack.exe:
#                                     # temporary file, 64 KB writes, close,
#                                     # move onto the name), alternating,
#                                     # BENCH_WINE_RUNS times (default 2); and
#                                     # against the same loop flushing each
#                                     # file before its close (--flush), the
#                                     # plain way to survive a power cut
#   BENCH_RUNS=N (best of N alternating runs, default 5)
#   BENCH_TMP=/some/dir: where the scratch folder goes (default /tmp;
#   /dev/shm measures the code without the disk)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD="$ROOT/build/bench-native"
RUNS=${BENCH_RUNS:-5}

echo "== building wrptool (Release, no sanitizers) in $BUILD"
mkdir -p "$BUILD"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKAVO_SANITIZE=OFF >"$BUILD/bench-cmake.log" 2>&1 ||
  { cat "$BUILD/bench-cmake.log"; exit 1; }
ninja -C "$BUILD" -j2 wrptool >"$BUILD/bench-ninja.log" 2>&1 || { cat "$BUILD/bench-ninja.log"; exit 1; }
WRPTOOL="$BUILD/tools/wrptool/wrptool"

WORK=$(mktemp -d "${BENCH_TMP:-/tmp}/kavo_archive_bench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
TREE="$WORK/KAVO"

echo "== generating the release tree in $TREE"
python3 "$(dirname "$0")/release_tree.py" "$TREE" 200

now() { date +%s.%N; }
# timed NAME CLEAN COMMAND...: runs COMMAND once after removing CLEAN and
# syncing, and keeps the best wall time per NAME in BEST_<NAME>.
timed() {
  local name=$1 clean=$2; shift 2
  rm -rf "$clean"
  sync
  local t0 t1 dt var="BEST_$name"
  t0=$(now)
  "$@" >"$WORK/$name.out" 2>&1 || { echo "$name failed:"; tail -5 "$WORK/$name.out"; exit 1; }
  t1=$(now)
  dt=$(echo "$t1 - $t0" | bc -l)
  if [ -z "${!var:-}" ] || [ "$(echo "$dt < ${!var}" | bc -l)" = 1 ]; then printf -v "$var" '%s' "$dt"; fi
}

find "$TREE" -type f -exec cat {} + >/dev/null   # warm the page cache once

# The two tools take turns, so that both meet the same state of the disk
# (write-back of earlier runs); the best of RUNS turns is kept.
echo "== packing and unpacking, best of $RUNS alternating runs"
for _ in $(seq "$RUNS"); do
  timed pack_wrp "$WORK/out.wrp" "$WRPTOOL" pack "$TREE" "$WORK/out.wrp" ALL
  timed pack_tar "$WORK/out.tar" tar -cf "$WORK/out.tar" -C "$TREE" .
done
for _ in $(seq "$RUNS"); do
  timed unpack_wrp "$WORK/unwrp" "$WRPTOOL" unpack "$WORK/out.wrp" "$WORK/unwrp"
  timed unpack_tar "$WORK/untar" sh -c 'mkdir "$1" && tar -xf "$2" -C "$1"' - "$WORK/untar" "$WORK/out.tar"
done
PACK_WRP=$BEST_pack_wrp PACK_TAR=$BEST_pack_tar UNPACK_WRP=$BEST_unpack_wrp UNPACK_TAR=$BEST_unpack_tar
diff -r "$TREE" "$WORK/unwrp" >/dev/null || { echo "unpacked tree differs from the source"; exit 1; }

ratio() { echo "scale=2; $1 / $2" | bc -l; }
printf '\n%-10s %10s %10s %8s\n' "" "wrptool" "tar" "ratio"
printf '%-10s %9.2fs %9.2fs %7.2fx\n' pack "$PACK_WRP" "$PACK_TAR" "$(ratio "$PACK_WRP" "$PACK_TAR")"
printf '%-10s %9.2fs %9.2fs %7.2fx\n' unpack "$UNPACK_WRP" "$UNPACK_TAR" "$(ratio "$UNPACK_WRP" "$UNPACK_TAR")"
printf 'archive sizes: wrp %s bytes, tar %s bytes\n' "$(stat -c %s "$WORK/out.wrp")" "$(stat -c %s "$WORK/out.tar")"

# ---- release packaging under wine (-autoWrap) ----------------------------
# Runs only when KAVO_WIN64_EXE points at a 64-bit KAVO_installer.exe: the
# tree is the release folder "KAVO" of a working folder, the run writes the
# eight packages to its "wrp" folder.  The exe waits 3 s before it exits;
# that wait is taken off the figure.
if [ -n "${KAVO_WIN64_EXE:-}" ]; then
  export WINEPREFIX=${WINEPREFIX:-$ROOT/build/bench-wineprefix}
  export WINEDEBUG=-all
  WINE=${WINE:-/usr/lib/wine/wine64}
  echo "== -autoWrap under wine ($WINEPREFIX)"
  rm -rf "$WORK/wrp"
  t0=$(now)
  (cd "$WORK" && "$WINE" "$KAVO_WIN64_EXE" -autoWrap >"$WORK/autowrap.out" 2>&1) || true
  t1=$(now)
  AUTO=$(echo "$t1 - $t0 - 3" | bc -l)
  printf '%-10s %9.2fs (eight packages, 3 s exit wait taken off; one pack with tar: %.2fs)\n' \
    autoWrap "$AUTO" "$PACK_TAR"
  ls -l "$WORK/wrp" 2>/dev/null || { echo "no packages written:"; tail -5 "$WORK/autowrap.out"; }
else
  echo "(set KAVO_WIN64_EXE to a 64-bit KAVO_installer.exe to also time -autoWrap under wine)"
fi

# ---- unpacking under wine: unwrapFolder against the plain per-file loop ---
if [ -n "${KAVO_WIN64_BIN:-}" ]; then
  BIN=$(cd "$KAVO_WIN64_BIN" && pwd)
  for f in bench/unwrap_timer.exe bench/bare_unpack.exe; do
    [ -f "$BIN/$f" ] || { echo "$BIN lacks $f (build the x86_64 configuration first)"; exit 1; }
  done
  export WINEPREFIX=${WINEPREFIX:-$ROOT/build/bench-wineprefix}
  export WINEDEBUG=-all
  WINE=${WINE:-/usr/lib/wine/wine64}
  winpath() { echo "Z:$1" | tr '/' '\\'; }
  load() { cut -d' ' -f1-3 /proc/loadavg; }
  echo "== unpacking under wine ($WINEPREFIX): 100 MB package"
  python3 "$(dirname "$0")/release_tree.py" "$WORK/KAVO100" 100 >/dev/null
  "$WRPTOOL" pack "$WORK/KAVO100" "$WORK/p100.wrp" ALL >"$WORK/p100.out" 2>&1 || { tail "$WORK/p100.out"; exit 1; }
  FILES100=$(find "$WORK/KAVO100" -type f | wc -l)
  "$WINE" wineboot -i >"$WORK/wineboot.out" 2>&1 </dev/null || true
  best_u="" best_p="" best_f=""
  for run in $(seq "${BENCH_WINE_RUNS:-2}"); do
    rm -rf "$WORK/wu" "$WORK/wp"; sync
    (cd "$WORK" && "$WINE" "$BIN/bench/unwrap_timer.exe" "$(winpath "$WORK/p100.wrp")" "$(winpath "$WORK/wu")" \
      >"$WORK/wu.out" 2>&1 </dev/null) || { echo "unwrap_timer failed:"; tail -3 "$WORK/wu.out"; exit 1; }
    u=$(tr -d '\r' <"$WORK/wu.out" | sed -n 's/^unwrapFolder ok in \([0-9.]*\) s$/\1/p')
    sync
    "$WINE" "$BIN/bench/bare_unpack.exe" "$(winpath "$WORK/p100.wrp")" "$(winpath "$WORK/wp")" \
      >"$WORK/wp.out" 2>&1 </dev/null || { echo "bare_unpack failed:"; tail -3 "$WORK/wp.out"; exit 1; }
    p=$(tr -d '\r' <"$WORK/wp.out" | sed -n 's/.* bytes in \([0-9.]*\) s$/\1/p')
    rm -rf "$WORK/wp"; sync
    "$WINE" "$BIN/bench/bare_unpack.exe" --flush "$(winpath "$WORK/p100.wrp")" "$(winpath "$WORK/wp")" \
      >"$WORK/wp.out" 2>&1 </dev/null || { echo "bare_unpack --flush failed:"; tail -3 "$WORK/wp.out"; exit 1; }
    f=$(tr -d '\r' <"$WORK/wp.out" | sed -n 's/.* bytes in \([0-9.]*\) s$/\1/p')
    diff -r "$WORK/KAVO100" "$WORK/wu" >/dev/null || { echo "unwrapFolder's tree differs from the source"; exit 1; }
    printf 'run %s: unwrapFolder %.2fs, plain loop %.2fs: %.2fx; plain loop flushing each file %.2fs: %.2fx (load %s)\n' \
      "$run" "$u" "$p" "$(ratio "$u" "$p")" "$f" "$(ratio "$u" "$f")" "$(load)"
    best_u=$(awk -v a="$u" -v b="${best_u:-1e9}" 'BEGIN { print (a < b) ? a : b }')
    best_p=$(awk -v a="$p" -v b="${best_p:-1e9}" 'BEGIN { print (a < b) ? a : b }')
    best_f=$(awk -v a="$f" -v b="${best_f:-1e9}" 'BEGIN { print (a < b) ? a : b }')
  done
  /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  printf 'unpack 100 MB, %s files, under wine: unwrapFolder %.2fs, plain per-file loop %.2fs (%.2fx), flushing each file %.2fs (%.2fx), best of each\n' \
    "$FILES100" "$best_u" "$best_p" "$(ratio "$best_u" "$best_p")" "$best_f" "$(ratio "$best_u" "$best_f")"
fi
