#!/bin/bash
# Download benchmark: a 200 MB file served by the reference update server
# over loopback, read (1) by count_client, a native client that only counts
# bytes, and (2) by the installer under wine pressing INSTALL.  Prints MB/s
# for both (1 MB = 1048576 bytes) and their ratio.
#
#   bench/download_bench.sh
#
# Environment:
#   KAVO_WIN64_BIN   x86_64 Windows build folder (KAVO_installer.exe and
#                    tools/driver/kavo_driver.exe); without it only the raw
#                    copy is measured
#   BENCH_ADDRESS    loopback address to serve on (default 127.0.0.1; the
#                    installer always uses port 49491)
#   BENCH_MB         file size in MB (default 200)
#   BENCH_KEEP=1     keep the work folder
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"
# A prefix of the bench's own, so that ending its wine processes never
# touches anyone else's.
export WINEPREFIX="$BUILD/bench-wineprefix"

ADDRESS=${BENCH_ADDRESS:-127.0.0.1}
MB=${BENCH_MB:-200}
NAME='wrp\KAVO.wrp'
BN="$BUILD/bench-native"
case "$ADDRESS" in 127.*) ;; *) echo "BENCH_ADDRESS must be a loopback address"; exit 2 ;; esac

WORK=$(mktemp -d /tmp/kavo-bench.XXXXXX)
SERVER_PID=""
WINE_STARTED=""
cleanup() {
  [ -n "$SERVER_PID" ] && kill -TERM "$SERVER_PID" 2>/dev/null && wait "$SERVER_PID" 2>/dev/null || true
  if [ -n "$WINE_STARTED" ]; then stop_all; fi
  if [ "${BENCH_KEEP:-0}" = 1 ]; then echo "work folder kept: $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT

# 1. The server and the counting client, optimised and without sanitizers.
mkdir -p "$BUILD"
if [ ! -f "$BN/build.ninja" ]; then
  cmake -S "$ROOT" -B "$BN" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKAVO_SANITIZE=OFF >"$BUILD/bench-configure.log" 2>&1 ||
    { cat "$BUILD/bench-configure.log"; exit 1; }
fi
ninja -C "$BN" -j$JOBS update_server count_client >"$BUILD/bench-build.log" 2>&1 || { tail -30 "$BUILD/bench-build.log"; exit 1; }

# 2. The file: random bytes, so nothing on the way can shortcut it.
mkdir -p "$WORK/server/wrp"
head -c $((MB * 1048576)) /dev/urandom >"$WORK/server/wrp/KAVO.wrp"
SIZE=$(stat -c %s "$WORK/server/wrp/KAVO.wrp")

WINE_RUN=""
if [ -n "${KAVO_WIN64_BIN:-}" ]; then
  if [ -f "$KAVO_WIN64_BIN/KAVO_installer.exe" ] && [ -f "$KAVO_WIN64_BIN/tools/driver/kavo_driver.exe" ]; then
    WINE_RUN=1
  else
    echo "KAVO_WIN64_BIN=$KAVO_WIN64_BIN lacks KAVO_installer.exe or tools/driver/kavo_driver.exe"; exit 1
  fi
fi
# The installer connects to port 49491; the raw copy alone takes any port.
PORT=0
[ -n "$WINE_RUN" ] && PORT=49491

"$BN/tools/update_server/update_server" --root "$WORK/server" --address "$ADDRESS" --port "$PORT" \
  --port-file "$WORK/port" >"$WORK/server.log" 2>&1 &
SERVER_PID=$!
for _ in $(seq 100); do [ -s "$WORK/port" ] && break; sleep 0.05; done
[ -s "$WORK/port" ] || { echo "update server did not start:"; cat "$WORK/server.log"; exit 1; }
PORT=$(cat "$WORK/port")

# 3. Raw loopback copy: the best of three runs (the first also warms the
# page cache).
RAW_BEST=""
for run in 1 2 3; do
  out=$("$BN/tools/update_server/count_client" "$ADDRESS" "$PORT" "$NAME")
  echo "raw copy run $run: $out"
  mbs=$(echo "$out" | sed -n 's/.* s, \([0-9.]*\) MB\/s$/\1/p')
  bytes=${out%% *}
  [ "$bytes" = "$SIZE" ] || { echo "raw copy got $bytes of $SIZE bytes"; exit 1; }
  RAW_BEST=$(awk -v a="$mbs" -v b="${RAW_BEST:-0}" 'BEGIN { print (a > b) ? a : b }')
done

# 4. The installer under wine: INSTALL downloads the same file as its
# product archive; the time is its own log line.
INST_MBS=""
if [ -n "$WINE_RUN" ]; then
  winpath() { echo "Z:$1" | tr '/' '\\'; }
  RUN="$WORK/run"
  mkdir -p "$RUN"
  echo "CONNECT:$ADDRESS" >"$RUN/setup.ini"
  cat >"$RUN/script.txt" <<SCRIPT
cd $(winpath "$RUN")
start $(winpath "$KAVO_WIN64_BIN/KAVO_installer.exe") -installDir:"$(winpath "$WORK/inst")"
window 20000
waitlist 15000 connection established!
command 8001
waitlist 20000 tcpFileDownload - file size
waitlist 1800000 download KAVO.wrp - 
kill
SCRIPT
  start_display
  WINE_STARTED=1
  start_wine
  (cd "$RUN" && "$WINE" "$KAVO_WIN64_BIN/tools/driver/kavo_driver.exe" script.txt report.txt >driver.log 2>&1 </dev/null) || true
  LOG="$RUN/KAVO_install_log.txt"
  secs=$(sed -n 's/.*download KAVO\.wrp - \([0-9.]*\) sec.*/\1/p' "$LOG" 2>/dev/null | tail -1)
  if [ -z "$secs" ]; then
    echo
    echo "installer download: SKIPPED - its log has no \"download KAVO.wrp - ... sec\" line"
    echo "  (INSTALL not wired yet, or the download failed); driver report and log tail:"
    sed 's/^/    /' "$RUN/report.txt" 2>/dev/null | tail -8 || true
    tail -5 "$LOG" 2>/dev/null | sed 's/^/    /' || true
  else
    grep -q "tcpFileDownload done - $SIZE/$SIZE byte" "$LOG" ||
      echo "warning: no \"tcpFileDownload done - $SIZE/$SIZE byte\" line in the installer's log"
    INST_MBS=$(awk -v s="$secs" -v b="$SIZE" 'BEGIN { if (s > 0) printf "%.1f", b / 1048576 / s; else print "" }')
    echo "installer download: $secs s (its log line)"
  fi
else
  echo
  echo "installer download: SKIPPED - set KAVO_WIN64_BIN to the x86_64 build folder to time it under wine"
fi

echo
echo "=== download benchmark: $((SIZE / 1048576)) MB over $ADDRESS:$PORT"
echo "raw loopback copy (count_client): $RAW_BEST MB/s"
if [ -n "$INST_MBS" ]; then
  echo "installer under wine:             $INST_MBS MB/s"
  awk -v r="$RAW_BEST" -v i="$INST_MBS" 'BEGIN { if (i > 0) printf "ratio raw / installer:            %.1f\n", r / i }'
fi
echo "server log: $(grep -c ' open ' "$WORK/server.log") connections; last request:"
grep '"wrp\\KAVO.wrp"' "$WORK/server.log" | tail -1 | sed 's/^/  /'
