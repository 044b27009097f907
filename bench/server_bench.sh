#!/bin/bash
# Update server bench, everything in one run, loopback only:
#
#  1. One server at its defaults (only --root): as many simulated installers
#     as its connection limit, arriving at 5,000 a second (hello latency),
#     idle for a while (the server's CPU time and memory meanwhile, and a few
#     installers beyond the limit, which must be refused); then 64 of them
#     download a 100 MB file together, every byte checked.  Against the bare
#     sendfile loop (bench/bare_sendfile.cpp) serving the same 64 downloads
#     just before.
#  2. The HAProxy trial (tools/update_server/deploy/trial.sh) with 2 servers:
#     the same with as many installers as the balancer's limit allows, again
#     against the bare loop measured just before.
#
#   bench/server_bench.sh
#
# Environment:
#   BENCH_MB           size of the downloaded file in MB (default 100)
#   BENCH_DOWNLOADS    downloads at once (default 64)
#   BENCH_RATE         installers arriving per second (default 5000)
#   BENCH_CONNECTIONS  installers for the one server (default: its limit)
#   BENCH_TRIAL_CONNECTIONS  installers through HAProxy (default 9000)
#   BENCH_KEEP=1       keep the work folder
# Every load is bounded in connections and seconds and ends by itself.
# 1 MB = 1048576 bytes.  The load average is printed next to each figure:
# the machine may be shared.
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"

MB=${BENCH_MB:-100}
DOWNLOADS=${BENCH_DOWNLOADS:-64}
RATE=${BENCH_RATE:-5000}
BARE_ADDR=127.0.97.2 SERVER_ADDR=127.0.97.1
FRONT=127.0.97.10 TRIAL_SERVERS="127.0.97.11 127.0.97.12"
BN="$BUILD/bench-native"
WORK=$(mktemp -d /tmp/kavo-server-bench.XXXXXX)
PIDS=""
cleanup() {
  for p in $PIDS; do kill -TERM "$p" 2>/dev/null || true; done
  for p in $PIDS; do wait "$p" 2>/dev/null || true; done
  "$ROOT/tools/update_server/deploy/trial.sh" stop "$WORK/trial" >/dev/null 2>&1 || true
  if [ "${BENCH_KEEP:-0}" = 1 ]; then echo "work folder kept: $WORK"; else rm -rf "$WORK"; fi
}
trap cleanup EXIT
load() { cut -d' ' -f1-3 /proc/loadavg; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
status_kb() { awk -v k="$2:" '$1 == k {print $2}' "/proc/$1/status"; }

# ---- tools and the file ---------------------------------------------------
mkdir -p "$BUILD"
if [ ! -f "$BN/build.ninja" ]; then
  cmake -S "$ROOT" -B "$BN" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKAVO_SANITIZE=OFF >"$BUILD/bench-configure.log" 2>&1 ||
    { cat "$BUILD/bench-configure.log"; exit 1; }
fi
ninja -C "$BN" -j$JOBS update_server loadgen bare_sendfile >"$BUILD/bench-build.log" 2>&1 ||
  { tail -30 "$BUILD/bench-build.log"; exit 1; }
SERVER="$BN/tools/update_server/update_server" LOADGEN="$BN/tools/loadgen/loadgen" BARE="$BN/bench/bare_sendfile"
mkdir -p "$WORK/root"
head -c $((MB * 1048576)) /dev/urandom >"$WORK/root/big.bin"
FILE="$WORK/root/big.bin"
HZ=$(getconf CLK_TCK)

# loadgen NAME ARGS...: runs it, keeps its output in $WORK/NAME.txt
loadgen() {
  local name=$1; shift
  "$LOADGEN" "$@" >"$WORK/$name.txt" 2>"$WORK/$name.progress" || true
  sed "s/^/  /" "$WORK/$name.txt"
}
field() { sed -n "s/.*$2/\1/p" "$WORK/$1.txt" | head -1; }
throughput() { field "$1" ' \([0-9.]*\) MB\/s together.*'; }

bare_run() {   # NAME: the bare loop serving DOWNLOADS downloads
  "$BARE" "$BARE_ADDR" 49491 "$FILE" 300 &
  local pid=$!
  PIDS="$PIDS $pid"
  sleep 0.3
  echo "bare sendfile loop, $DOWNLOADS x $MB MB (load $(load)):"
  loadgen "$1" --address "$BARE_ADDR" --connections "$DOWNLOADS" --downloads "$DOWNLOADS" --file big.bin \
    --expect "$FILE" --max-seconds 240
  kill -TERM "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# Waits until the loadgen progress file says all N are answered.
wait_answered() {
  local file=$1 n=$2
  for _ in $(seq 600); do
    grep -q "answered $n " "$file" 2>/dev/null && return 0
    sleep 0.2
  done
  return 1
}

# idle_sample PID PROGRESS N: CPU and memory of PID with N idle installers
idle_sample() {
  local pid=$1 progress=$2 n=$3 t0 t1
  if ! wait_answered "$progress" "$n"; then echo "  (not all $n answered; no idle sample)"; return; fi
  sleep 1
  t0=$(cpu_ticks "$pid")
  sleep 10
  t1=$(cpu_ticks "$pid")
  echo "  idle: $n installers connected, server CPU $(( (t1 - t0) * 1000 / HZ )) ms in 10 s," \
       "RSS $(( $(status_kb "$pid" VmRSS) / 1024 )) MB (load $(load))"
}

echo "=== 1. one server at its defaults"
bare_run bare1
"$SERVER" --root "$WORK/root" --address "$SERVER_ADDR" --port 49491 --stats-interval 10 >"$WORK/server.log" 2>&1 &
SPID=$!
PIDS="$PIDS $SPID"
for _ in $(seq 50); do grep -q "listening on" "$WORK/server.log" && break; sleep 0.1; done
LIMIT=$(sed -n 's/.*connection limit \([0-9]*\) .*/\1/p' "$WORK/server.log")
N=${BENCH_CONNECTIONS:-$LIMIT}
grep -E "open-file limit|connection limit" "$WORK/server.log" | sed 's/^[0-9:.]* /  server: /'
echo "$N installers at $RATE a second, idle, then $DOWNLOADS download $MB MB (load $(load)):"
"$LOADGEN" --address "$SERVER_ADDR" --connections "$N" --rate "$RATE" --downloads "$DOWNLOADS" --file big.bin \
  --expect "$FILE" --idle 16 --max-seconds 300 >"$WORK/server1.txt" 2>"$WORK/server1.progress" &
LPID=$!
idle_sample "$SPID" "$WORK/server1.progress" "$N"
# Beyond the limit: these must be refused.
"$LOADGEN" --address "$SERVER_ADDR" --connections 20 --max-seconds 10 >"$WORK/over.txt" 2>/dev/null || true
echo "  20 more beyond the limit: $(field over '^errors: \(.*\)')"
wait "$LPID" || true
sed "s/^/  /" "$WORK/server1.txt"
echo "  server peak RSS $(( $(status_kb "$SPID" VmHWM) / 1024 )) MB"
kill -TERM "$SPID"
wait "$SPID" || true
grep -E "refused .*limit|stats:|summary:" "$WORK/server.log" | head -3 | sed 's/^[0-9:.]* /  server: /'
grep -E "summary:" "$WORK/server.log" | sed 's/^[0-9:.]* /  server: /'
B1=$(throughput bare1) S1=$(throughput server1)
echo "  => server / bare loop: $(awk -v s="$S1" -v b="$B1" 'BEGIN { if (b > 0) printf "%.2f", s / b; else print "?" }')"

echo
echo "=== 2. HAProxy trial, 2 servers"
bare_run bare2
TRIAL_SECONDS=600 UPDATE_SERVER="$SERVER" "$ROOT/tools/update_server/deploy/trial.sh" start "$WORK/trial" "$WORK/root" \
  "$FRONT" $TRIAL_SERVERS | sed "s/^/  /"
M=${BENCH_TRIAL_CONNECTIONS:-9000}
echo "$M installers through HAProxy at $RATE a second, idle, then $DOWNLOADS download $MB MB (load $(load)):"
HPID=$(cat "$WORK/trial/haproxy.pid")
"$LOADGEN" --address "$FRONT" --connections "$M" --rate "$RATE" --downloads "$DOWNLOADS" --file big.bin \
  --expect "$FILE" --idle 12 --max-seconds 300 >"$WORK/trial1.txt" 2>"$WORK/trial1.progress" &
LPID=$!
idle_sample "$HPID" "$WORK/trial1.progress" "$M" | sed 's/server CPU/HAProxy CPU/'
wait "$LPID" || true
sed "s/^/  /" "$WORK/trial1.txt"
for a in $TRIAL_SERVERS; do
  echo "  server $a: $(grep -c ' hello ' "$WORK/trial/server-$a.log") hellos (health checks included)," \
       "$(grep -c '"big.bin" .*: sent ' "$WORK/trial/server-$a.log") downloads"
done
"$ROOT/tools/update_server/deploy/trial.sh" stop "$WORK/trial"
B2=$(throughput bare2) T1=$(throughput trial1)
echo "  => through HAProxy / bare loop: $(awk -v s="$T1" -v b="$B2" 'BEGIN { if (b > 0) printf "%.2f", s / b; else print "?" }')"
