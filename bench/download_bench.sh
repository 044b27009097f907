#!/bin/bash
# Download and unpacking benchmark under wine, everything in one run:
#
#  1. Download and installation.  The same file from the reference update
#     server over loopback, read (a) by bench/bare_download.exe with 64 KB
#     receives and no peeks, the yardstick, (b) by the same with 1000-byte
#     receives and two peeks before each (the older loop, for reference) and
#     (c) by the installer pressing INSTALL (its own "download KAVO.wrp -
#     ... sec" line).  A 20 MB file of random bytes and a 100 MB package of
#     about 2,000 files.  For the package also: the installer's
#     "unwrapFolder - ... sec" against bench/bare_unpack.exe (a plain
#     per-file loop: temporary file, 64 KB writes, close, move onto the name)
#     on the same package under the same wine, and the whole INSTALL from the
#     button to the closing question (the driver's clock) against the plain
#     download plus the plain unpack.  Every run prints its own figures and
#     ratios with the load; the best of the runs closes the report.
#  2. Busy machine: the 20 MB download again with CPU-bound processes (one
#     per core unless BENCH_BUSY says otherwise) beside it, against the
#     quiet figure of this run.
#  3. Unpacking: the installer's unpack seconds against the native
#     `wrptool unpack` of the same package.
#  4. Signature: the 100 MB package signed with the build's throwaway key
#     and installed by the key-built exe (KAVO_installer_testkey.exe),
#     against the unsigned package installed by KAVO_installer.exe, runs
#     alternating; each installation from the button to the question, with
#     the verification's own seconds, against the plain loops of step 1.
#
#   KAVO_WIN64_BIN=build/win64 bench/download_bench.sh
#
# Environment:
#   KAVO_WIN64_BIN  x86_64 Windows build folder with KAVO_installer.exe,
#                   tools/driver/kavo_driver.exe, bench/bare_download.exe and
#                   bench/bare_unpack.exe (default build/win64)
#   BENCH_EXES      installer builds to compare, space-separated exe paths
#                   (default: the one in KAVO_WIN64_BIN)
#   BENCH_ADDRESS   loopback address to serve on, port 49491 (default 127.0.77.1)
#   BENCH_SIZES     download sizes in MB (default "20 100"; the 100 is the package)
#   BENCH_RUNS      alternating runs per size (default 2)
#   BENCH_BUSY=N    CPU-bound processes for the busy-machine step (default:
#                   one per core; 0 skips the step)
#   BENCH_SIGNED=0  skip step 4 (it needs the 100 MB package and the key-built exe)
#   BENCH_OLD_LOOP=0  skip the 1000-byte loop (about 100 s per 100 MB under wine)
#   BENCH_TMP       where the work folder goes (default /tmp; /dev/shm
#                   measures the code without the disk)
#   BENCH_KEEP=1    keep the work folder
# 1 MB = 1048576 bytes.
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"
# A prefix of the bench's own, so that ending its wine processes never
# touches anyone else's.
export WINEPREFIX="$BUILD/bench-wineprefix"

BIN=$(cd "${KAVO_WIN64_BIN:-$WIN64}" && pwd)
EXES=${BENCH_EXES:-$BIN/KAVO_installer.exe}
ADDRESS=${BENCH_ADDRESS:-127.0.77.1}
SIZES=${BENCH_SIZES:-20 100}
RUNS=${BENCH_RUNS:-2}
PACKAGE_MB=100
BN="$BUILD/bench-native"
case "$ADDRESS" in 127.*) ;; *) echo "BENCH_ADDRESS must be a loopback address"; exit 2 ;; esac
for f in tools/driver/kavo_driver.exe bench/bare_download.exe bench/bare_unpack.exe; do
  [ -f "$BIN/$f" ] || { echo "$BIN lacks $f (build the x86_64 configuration first)"; exit 1; }
done
for exe in $EXES; do [ -f "$exe" ] || { echo "no installer at $exe"; exit 1; }; done

WORK=$(mktemp -d "${BENCH_TMP:-/tmp}/kavo-bench.XXXXXX")
SERVER_PID="" WINE_STARTED="" BUSY_PIDS=""
stop_busy() { for p in $BUSY_PIDS; do kill "$p" 2>/dev/null || true; done; BUSY_PIDS=""; }
stop_server() {
  if [ -n "$SERVER_PID" ]; then kill -TERM "$SERVER_PID" 2>/dev/null || true; wait "$SERVER_PID" 2>/dev/null || true; fi
  SERVER_PID=""
}
cleanup() {
  stop_busy
  stop_server
  if [ -n "$WINE_STARTED" ]; then stop_all; fi
  if [ "${BENCH_KEEP:-0}" = 1 ]; then echo "work folder kept: $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
load() { cut -d' ' -f1-3 /proc/loadavg; }

# ---- tools and files -------------------------------------------------------
mkdir -p "$BUILD"
if [ ! -f "$BN/build.ninja" ]; then
  cmake -S "$ROOT" -B "$BN" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKAVO_SANITIZE=OFF >"$BUILD/bench-configure.log" 2>&1 ||
    { cat "$BUILD/bench-configure.log"; exit 1; }
fi
ninja -C "$BN" -j$JOBS update_server wrptool >"$BUILD/bench-build.log" 2>&1 || { tail -30 "$BUILD/bench-build.log"; exit 1; }
WRPTOOL="$BN/tools/wrptool/wrptool"

# The package: about 2,000 files, 100 MB, mixed sizes; packed natively.
FILES=0
case " $SIZES " in *" $PACKAGE_MB "*)
python3 "$(dirname "$0")/release_tree.py" "$WORK/tree" "$PACKAGE_MB" >"$WORK/tree.log"
FILES=$(find "$WORK/tree" -type f | wc -l) ;;
esac
# The other files are random bytes behind an end record, so that the
# installation after the download ends at once.
for mb in $SIZES; do
  mkdir -p "$WORK/srv$mb/wrp"
  if [ "$mb" = "$PACKAGE_MB" ]; then
    "$WRPTOOL" pack "$WORK/tree" "$WORK/srv$mb/wrp/KAVO.wrp" ALL >"$WORK/pack.log" 2>&1 || { tail "$WORK/pack.log"; exit 1; }
  else
    { printf '\004'; head -c $((mb * 1048576 - 1)) /dev/urandom; } >"$WORK/srv$mb/wrp/KAVO.wrp"
  fi
done

serve() {   # root
  stop_server
  rm -f "$WORK/port"
  "$BN/server/update_server" --root "$1" --address "$ADDRESS" --port 49491 \
    --port-file "$WORK/port" >>"$WORK/server.log" 2>&1 &
  SERVER_PID=$!
  for _ in $(seq 100); do [ -s "$WORK/port" ] && return 0; sleep 0.05; done
  echo "update server did not start on $ADDRESS:49491:"; tail -3 "$WORK/server.log"; exit 1
}

winpath() { echo "Z:$1" | tr '/' '\\'; }
mbs() { awk -v b="$1" -v s="$2" 'BEGIN { if (s > 0) printf "%.2f", b / 1048576 / s; else print 0 }'; }
best() { awk -v a="$1" -v b="${2:-0}" 'BEGIN { print (a > b) ? a : b }'; }

# Each run leaves its MB/s in MBS (0 when it failed).  Extra arguments go to
# the loop (the chunk size, the peeks).
bare() {   # size-in-bytes [options...]
  local out="$WORK/bare.txt" bytes size=$1
  shift
  MBS=0
  # No write-back of an earlier run's file during this one.
  rm -f "$WORK/bare.bin"
  sync
  "$WINE" "$BIN/bench/bare_download.exe" "$@" "$ADDRESS" 'wrp\KAVO.wrp' "$(winpath "$WORK/bare.bin")" \
    >"$out" 2>&1 </dev/null || { echo "bare loop failed: $(tail -2 "$out")"; return; }
  tr -d '\r' <"$out" >"$out.txt"
  bytes=$(sed -n 's/^\([0-9]*\) bytes in .*/\1/p' "$out.txt")
  [ "$bytes" = "$size" ] || { echo "bare loop got $bytes of $size bytes"; return; }
  MBS=$(sed -n 's/.*, \([0-9.]*\) MB\/s$/\1/p' "$out.txt")
}

# The plain per-file unpack loop on the package the 64 KB loop fetched;
# leaves its seconds in PLAIN_SECS (empty when it failed).  With --flush
# (each file flushed to the disk before its close, what an unpacking that
# must survive a power cut pays at the least) in PLAIN_FLUSH_SECS.
plain_unpack() {
  local out="$WORK/plain.txt"
  PLAIN_SECS="" PLAIN_FLUSH_SECS=""
  # No sync: like the installer's unpacking, the loop meets the write-back
  # of the download just before it.
  rm -rf "$WORK/plain"
  "$WINE" "$BIN/bench/bare_unpack.exe" "$(winpath "$WORK/bare.bin")" "$(winpath "$WORK/plain")" \
    >"$out" 2>&1 </dev/null || { echo "plain unpack loop failed: $(tail -2 "$out")"; return; }
  PLAIN_SECS=$(tr -d '\r' <"$out" | sed -n 's/.* bytes in \([0-9.]*\) s$/\1/p')
  rm -rf "$WORK/plain"
  "$WINE" "$BIN/bench/bare_unpack.exe" --flush "$(winpath "$WORK/bare.bin")" "$(winpath "$WORK/plain")" \
    >"$out" 2>&1 </dev/null || { echo "plain unpack loop --flush failed: $(tail -2 "$out")"; return; }
  PLAIN_FLUSH_SECS=$(tr -d '\r' <"$out" | sed -n 's/.* bytes in \([0-9.]*\) s$/\1/p')
}

# The installer presses INSTALL and is ended at the question that closes
# the installation (the version file is refused, which the installation
# passes over).  The driver waits for that box rather than reading the
# list, which would cost the installer's thread a few dozen sent messages
# every 25 ms.  With unwrap=1 the unpack seconds go to UNWRAP_SECS and the
# seconds from the button to the question to BOX_SECS.
installer() {   # exe size-in-bytes unwrap
  local run="$WORK/run"
  rm -rf "$run" "$WORK/inst"
  sync
  mkdir -p "$run"
  echo "CONNECT:$ADDRESS" >"$run/setup.ini"
  cat >"$run/script.txt" <<SCRIPT
cd $(winpath "$run")
start $(winpath "$1") -installDir:"$(winpath "$WORK/inst")"
window 20000
waitlist 15000 connection established!
command 8001
box Installation_Completed no 1800000
kill
SCRIPT
  (cd "$run" && "$WINE" "$BIN/tools/driver/kavo_driver.exe" script.txt report.txt >driver.log 2>&1 </dev/null) || true
  local log="$run/KAVO_install_log.txt" secs
  MBS=0
  secs=$(sed -n 's/.*download KAVO\.wrp - \([0-9.]*\) sec.*/\1/p' "$log" 2>/dev/null | tail -1)
  if [ -z "$secs" ] || ! grep -q "tcpFileDownload done - $2/$2 byte" "$log"; then
    echo "installer run failed; driver report and log tail:"
    tail -4 "$run/report.txt" 2>/dev/null || true
    tail -4 "$log" 2>/dev/null || true
    return
  fi
  if [ "$3" = 1 ]; then
    UNWRAP_SECS=$(sed -n 's/.*unwrapFolder - \([0-9.]*\) sec.*/\1/p' "$log" | tail -1)
    # From the button to the closing question, by the driver's clock.
    BOX_SECS=$(tr -d '\r' <"$run/report.txt" | sed -n 's/^box.after_ms: \([0-9]*\)$/\1/p' | tail -1 |
      awk '{ printf "%.2f", $1 / 1000 }')
    INSTALLED_FILES=$(find "$WORK/inst" -type f | wc -l)
    VERIFY_SECS=$(sed -n 's/.*verifyPackage .* - signature ok (key [0-9a-f]*) - \([0-9.]*\) sec.*/\1/p' "$log" | tail -1)
    INSTALL_SECS=$(awk -v a="$secs" -v b="${VERIFY_SECS:-0}" -v c="${UNWRAP_SECS:-0}" 'BEGIN { print a + b + c }')
  fi
  MBS=$(mbs "$2" "$secs")
}

start_display
WINE_STARTED=1
start_wine
echo "=== download benchmark under wine ($(nproc) cores, load at start: $(load))"

# ---- 1. download and installation: the plain loops against the installer ---
declare -A BARE OLD INST
UNWRAP_SECS="" INSTALLED_FILES="" BEST_UNWRAP="" BEST_PLAIN="" BEST_FLUSHED="" BEST_BOX=""
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
for mb in $SIZES; do
  serve "$WORK/srv$mb"
  size=$(stat -c %s "$WORK/srv$mb/wrp/KAVO.wrp")
  for run in $(seq "$RUNS"); do
    old=0
    if [ "${BENCH_OLD_LOOP:-1}" = 1 ]; then bare "$size" --chunk 1000 --peeks; old=$MBS; OLD[$mb]=$(best "$MBS" "${OLD[$mb]:-}"); fi
    bare "$size"; b64=$MBS; BARE[$mb]=$(best "$MBS" "${BARE[$mb]:-}")
    plain="" flushed=""
    if [ "$mb" = "$PACKAGE_MB" ]; then
      plain_unpack; plain=$PLAIN_SECS flushed=$PLAIN_FLUSH_SECS
      [ -n "$plain" ] && BEST_PLAIN=$(awk -v a="$plain" -v b="${BEST_PLAIN:-1e9}" 'BEGIN { print (a < b) ? a : b }')
      [ -n "$flushed" ] && BEST_FLUSHED=$(awk -v a="$flushed" -v b="${BEST_FLUSHED:-1e9}" 'BEGIN { print (a < b) ? a : b }')
    fi
    echo "  $mb MB run $run: 64 KB loop $b64 MB/s, 1000-byte loop with peeks $old MB/s${plain:+, plain unpack loop $plain s, flushing each file $flushed s} (load $(load))"
    i=0
    for exe in $EXES; do
      i=$((i + 1))
      unwrap=0
      [ "$mb" = "$PACKAGE_MB" ] && [ $i = 1 ] && unwrap=1
      UNWRAP_SECS="" BOX_SECS=""
      installer "$exe" "$size" $unwrap; INST[$mb.$i]=$(best "$MBS" "${INST[$mb.$i]:-}")
      echo "  $mb MB run $run: installer $i download $MBS MB/s = $(ratio "$MBS" "$b64") of the 64 KB loop, $(ratio "$MBS" "$old") of the 1000-byte loop (load $(load))"
      if [ "$unwrap" = 1 ] && [ -n "$UNWRAP_SECS" ]; then
        BEST_UNWRAP=$(awk -v a="$UNWRAP_SECS" -v b="${BEST_UNWRAP:-1e9}" 'BEGIN { print (a < b) ? a : b }')
        plain_total=$(awk -v s="$size" -v m="$b64" -v p="${plain:-0}" 'BEGIN { if (m > 0) printf "%.2f", s / 1048576 / m + p; else print 0 }')
        flushed_total=$(awk -v s="$size" -v m="$b64" -v p="${flushed:-0}" 'BEGIN { if (m > 0) printf "%.2f", s / 1048576 / m + p; else print 0 }')
        echo "  $mb MB run $run: unwrapFolder $UNWRAP_SECS s = $(ratio "$UNWRAP_SECS" "$plain")x the plain loop, $(ratio "$UNWRAP_SECS" "$flushed")x the one flushing each file; INSTALL button to question $BOX_SECS s = $(ratio "$BOX_SECS" "$plain_total")x plain download + plain unpack ($plain_total s), $(ratio "$BOX_SECS" "$flushed_total")x with the flushing unpack ($flushed_total s) (load $(load))"
        [ -n "$BOX_SECS" ] && BEST_BOX=$(awk -v a="$BOX_SECS" -v b="${BEST_BOX:-1e9}" 'BEGIN { print (a < b) ? a : b }')
      fi
    done
  done
done

# ---- 2. the same with CPU-bound processes beside it ------------------------
BUSY=${BENCH_BUSY:-$(nproc)}
BUSY_LINES=()
if [ "$BUSY" -gt 0 ]; then
  mb=$(echo $SIZES | cut -d' ' -f1)
  serve "$WORK/srv$mb"
  size=$(stat -c %s "$WORK/srv$mb/wrp/KAVO.wrp")
  for _ in $(seq "$BUSY"); do
    yes >/dev/null &
    BUSY_PIDS="$BUSY_PIDS $!"
  done
  sleep 2
  bare "$size"
  BUSY_LINES+=("$(awk -v b="$MBS" -v q="${BARE[$mb]}" -v l="$(load)" -v mb="$mb" -v n="$BUSY" \
    'BEGIN { printf "%4s MB, %d busy processes (load %s): bare loop %.2f MB/s = %3.0f%% of its quiet %.2f",
             mb, n, l, b, (q > 0 ? 100 * b / q : 0), q }')")
  i=0
  for exe in $EXES; do
    i=$((i + 1))
    installer "$exe" "$size" 0
    BUSY_LINES+=("$(awk -v b="$MBS" -v q="${INST[$mb.$i]}" -v l="$(load)" -v mb="$mb" -v n="$BUSY" -v i="$i" -v many="$(echo $EXES | wc -w)" \
      'BEGIN { printf "%4s MB, %d busy processes (load %s): installer%s %.2f MB/s = %3.0f%% of its quiet %.2f",
               mb, n, l, (many > 1 ? " " i : ""), b, (q > 0 ? 100 * b / q : 0), q }')")
  done
  stop_busy
fi
stop_server

# ---- 3. unpacking: the installer under wine against native wrptool ---------
NATIVE_BEST=""
if [ -n "$BEST_UNWRAP" ]; then
  for _ in 1 2 3; do
    rm -rf "$WORK/unpacked"
    sync
    t0=$(date +%s.%N)
    "$WRPTOOL" unpack "$WORK/srv$PACKAGE_MB/wrp/KAVO.wrp" "$WORK/unpacked" >"$WORK/unpack.log" 2>&1
    t=$(echo "$(date +%s.%N) - $t0" | bc -l)
    NATIVE_BEST=$(awk -v a="$t" -v b="${NATIVE_BEST:-999}" 'BEGIN { print (a < b) ? a : b }')
  done
fi

# ---- 4. signature: signed installation against unsigned -------------------
KEYED="$BIN/KAVO_installer_testkey.exe"
SIGNED_LINES=()
if [ "${BENCH_SIGNED:-1}" = 1 ] && [ -f "$KEYED" ] && [ -f "$WORK/srv$PACKAGE_MB/wrp/KAVO.wrp" ]; then
  mkdir -p "$WORK/srvsig/wrp"
  cp "$WORK/srv$PACKAGE_MB/wrp/KAVO.wrp" "$WORK/srvsig/wrp/KAVO.wrp"
  # The key-built exe takes packages only with the release that names them;
  # the components are empty archives here.
  for c in OSKE_EXE OSKE_ALL VELN_EXE VELN_ALL UBRA_EXE UBRA_ALL KAVO_EXE; do printf '\004' >"$WORK/srvsig/wrp/$c.wrp"; done
  "$WRPTOOL" release "$TESTKEY/private.key" "$WORK/srvsig" >"$WORK/sign.log" 2>&1 || { cat "$WORK/sign.log"; exit 1; }
  plain=$(stat -c %s "$WORK/srv$PACKAGE_MB/wrp/KAVO.wrp") signed=$(stat -c %s "$WORK/srvsig/wrp/KAVO.wrp")
  best_plain="" best_signed="" best_verify="" box_plain="" box_signed=""
  # The plain loops of step 1: the 64 KB download of the package and the
  # per-file unpack.
  loops=$(awk -v s="$plain" -v m="${BARE[$PACKAGE_MB]:-0}" -v p="${BEST_PLAIN:-0}" 'BEGIN { if (m > 0) printf "%.2f", s / 1048576 / m + p; else print 0 }')
  for run in $(seq "$RUNS"); do
    serve "$WORK/srv$PACKAGE_MB"
    VERIFY_SECS="" INSTALL_SECS=""
    installer "$BIN/KAVO_installer.exe" "$plain" 1
    echo "  signature run $run: unsigned installation ${INSTALL_SECS:-failed} s (unpack $UNWRAP_SECS s), button to question $BOX_SECS s = $(ratio "$BOX_SECS" "$loops")x the plain loops ($loops s) (load $(load))"
    [ -n "$BOX_SECS" ] && box_plain=$(awk -v a="$BOX_SECS" -v b="${box_plain:-1e9}" 'BEGIN { print (a < b) ? a : b }')
    [ -n "$INSTALL_SECS" ] && best_plain=$(awk -v a="$INSTALL_SECS" -v b="${best_plain:-1e9}" 'BEGIN { print (a < b) ? a : b }')
    serve "$WORK/srvsig"
    VERIFY_SECS="" INSTALL_SECS=""
    installer "$KEYED" "$signed" 1
    [ -n "$VERIFY_SECS" ] || { echo "  the key-built exe did not accept the signed package"; exit 1; }
    echo "  signature run $run: signed installation $INSTALL_SECS s (verification $VERIFY_SECS s, unpack $UNWRAP_SECS s), button to question $BOX_SECS s = $(ratio "$BOX_SECS" "$loops")x the plain loops (load $(load))"
    [ -n "$BOX_SECS" ] && box_signed=$(awk -v a="$BOX_SECS" -v b="${box_signed:-1e9}" 'BEGIN { print (a < b) ? a : b }')
    best_signed=$(awk -v a="$INSTALL_SECS" -v b="${best_signed:-1e9}" 'BEGIN { print (a < b) ? a : b }')
    best_verify=$(awk -v a="$VERIFY_SECS" -v b="${best_verify:-1e9}" 'BEGIN { print (a < b) ? a : b }')
  done
  stop_server
  SIGNED_LINES+=("$(awk -v p="$best_plain" -v s="$best_signed" -v v="$best_verify" -v mb="$PACKAGE_MB" \
    'BEGIN { printf "signature, %s MB package: unsigned installation %.1f s, signed %.1f s; verification %.1f s = %.1f%% of the unsigned installation",
             mb, p, s, v, (p > 0 ? 100 * v / p : 0) }')")
  SIGNED_LINES+=("$(awk -v u="$box_plain" -v k="$box_signed" -v l="$loops" \
    'BEGIN { printf "INSTALL button to question: unsigned %.2f s (%.2fx), key-built and signed %.2f s (%.2fx) the plain download + plain unpack of %.2f s",
             u, (l > 0 ? u / l : 0), k, (l > 0 ? k / l : 0), l }')")
fi

echo
echo "=== results (best of $RUNS alternating runs; load at end: $(load))"
for mb in $SIZES; do
  i=0
  for exe in $EXES; do
    i=$((i + 1))
    awk -v b="${BARE[$mb]}" -v o="${OLD[$mb]:-0}" -v v="${INST[$mb.$i]}" -v mb="$mb" -v i="$i" -v n="$(echo $EXES | wc -w)" -v exe="$exe" \
      'BEGIN { printf "%4s MB: installer%s download at %.2f of the 64 KB loop (%.2f against %.2f MB/s under wine); the 1000-byte loop with peeks %.2f MB/s\n",
               mb, (n > 1 ? " " i : ""), (b > 0 ? v / b : 0), v, b, o;
               if (n > 1) printf "         (%s)\n", exe }'
  done
done
for l in "${BUSY_LINES[@]}" "${SIGNED_LINES[@]}"; do echo "$l"; done
if [ -n "$BEST_UNWRAP" ]; then
  awk -v w="$BEST_UNWRAP" -v p="$BEST_PLAIN" -v n="$NATIVE_BEST" -v f="$FILES" -v got="$INSTALLED_FILES" -v mb="$PACKAGE_MB" \
    'BEGIN { printf "unpack %s MB, %d files: unwrapFolder under wine %.2f s, plain per-file loop under wine %.2f s (%.2fx), native wrptool %.2f s; %d files installed\n",
             mb, f, w, p, (p > 0 ? w / p : 0), n, got }'
  awk -v t="$BEST_BOX" -v m="${BARE[$PACKAGE_MB]}" -v p="$BEST_PLAIN" -v f="${BEST_FLUSHED:-0}" -v w="$BEST_UNWRAP" \
    -v s="$(stat -c %s "$WORK/srv$PACKAGE_MB/wrp/KAVO.wrp")" \
    'BEGIN { d = (m > 0 ? s / 1048576 / m : 0); printf "INSTALL, unsigned, button to question: %.2f s; plain download %.2f s + plain unpack %.2f s = %.2f s (%.2fx); with the unpack flushing each file (%.2f s; unwrapFolder %.2fx of it) %.2f s (%.2fx)\n",
             t, d, p, d + p, (d + p > 0 ? t / (d + p) : 0), f, (f > 0 ? w / f : 0), d + f, (d + f > 0 ? t / (d + f) : 0) }'
fi
