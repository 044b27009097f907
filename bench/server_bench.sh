#!/bin/bash
# Update server bench, everything in one run, loopback only:
#
#  1. One server at its defaults (only --root).  64 downloads of a 100 MB
#     file with nobody else connected; then as many simulated installers as
#     its connection limit allows, less 64, arriving at 5,000 a second
#     (hello latency), idle (the server's CPU time and memory meanwhile);
#     64 + 20 more, of which the 20 beyond the limit must be refused; then
#     rounds of 64 downloads together, every byte checked, alternating with
#     the bare sendfile loop (bench/bare_sendfile.cpp) serving the same 64
#     downloads; the best of each is compared.
#  2. The HAProxy trial (server/deploy/trial.sh) with 2 servers:
#     the same idle installers (as many as the balancer's limit allows) and
#     the same rounds through HAProxy against the bare loop.
#  3. Hostile clients (tools/loadgen --mode), each against a fresh server at
#     its defaults: one good download of a BENCH_HOSTILE_MB file alone, then
#     beside the hostile clients, with the hello latency of 20 installers
#     arriving meanwhile and the server's memory before and after.
#
#   bench/server_bench.sh
#
# Environment:
#   BENCH_MB           size of the downloaded file in MB (default 100)
#   BENCH_DOWNLOADS    downloads at once (default 64)
#   BENCH_RATE         installers arriving per second (default 5000)
#   BENCH_ROUNDS       alternating download rounds (default 3)
#   BENCH_CONNECTIONS  installers for the one server (default: its limit)
#   BENCH_TRIAL_CONNECTIONS  installers through HAProxy (default 8800)
#   BENCH_HOSTILE_MB   size of the good download beside hostile clients (default 200)
#   BENCH_PARTS        which parts to run (default "1 2 3")
#   BENCH_KEEP=1       keep the work folder
# Every load is bounded in connections and seconds and ends by itself.
# 1 MB = 1048576 bytes.  The load average is printed next to each figure:
# the machine may be shared, and then the best of the rounds says more
# than any one of them.
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"

MB=${BENCH_MB:-100}
DOWNLOADS=${BENCH_DOWNLOADS:-64}
RATE=${BENCH_RATE:-5000}
ROUNDS=${BENCH_ROUNDS:-3}
PARTS=${BENCH_PARTS:-1 2 3}
HOSTILE_MB=${BENCH_HOSTILE_MB:-200}
part() { case " $PARTS " in *" $1 "*) return 0 ;; esac; return 1; }
BARE_ADDR=127.0.97.2 SERVER_ADDR=127.0.97.1
FRONT=127.0.97.10 TRIAL_SERVERS="127.0.97.11 127.0.97.12"
BN="$BUILD/bench-native"
WORK=$(mktemp -d /tmp/kavo-server-bench.XXXXXX)
PIDS=""
cleanup() {
  for p in $PIDS; do kill -TERM "$p" 2>/dev/null || true; done
  for p in $PIDS; do wait "$p" 2>/dev/null || true; done
  "$ROOT/server/deploy/trial.sh" stop "$WORK/trial" >/dev/null 2>&1 || true
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
SERVER="$BN/server/update_server" LOADGEN="$BN/tools/loadgen/loadgen" BARE="$BN/bench/bare_sendfile"
mkdir -p "$WORK/root/wrp"
head -c $((MB * 1048576)) /dev/urandom >"$WORK/root/wrp/BIG.wrp"
FILE="$WORK/root/wrp/BIG.wrp"
HZ=$(getconf CLK_TCK)

# loadgen NAME ARGS...: runs it, keeps its output in $WORK/NAME.txt
loadgen() {
  local name=$1; shift
  "$LOADGEN" "$@" >"$WORK/$name.txt" 2>"$WORK/$name.progress" || true
  sed "s/^/  /" "$WORK/$name.txt"
}
field() { sed -n "s/.*$2/\1/p" "$WORK/$1.txt" | head -1; }
throughput() { field "$1" ' \([0-9.]*\) MB\/s together.*'; }
ratio() { awk -v s="$1" -v a="$2" -v b="$3" 'BEGIN { if (a + b > 0) printf "%.2f", 2 * s / (a + b); else print "?" }'; }

# One round of DOWNLOADS downloads against ADDRESS, into $WORK/NAME.txt.
download_run() {   # NAME ADDRESS
  loadgen "$1" --address "$2" --connections "$DOWNLOADS" --downloads "$DOWNLOADS" --file 'wrp\BIG.wrp' \
    --expect "$FILE" --max-seconds 240 | grep -E "downloads|errors: [1-9]" || true
}
best() {  # NAME... : the highest throughput among the runs
  local n b=0 t
  for n in "$@"; do t=$(throughput "$n"); b=$(awk -v a="$b" -v t="${t:-0}" 'BEGIN { print (t > a) ? t : a }'); done
  echo "$b"
}

# Waits until the loadgen progress file says all N are answered.
wait_answered() {
  local file=$1 n=$2
  for _ in $(seq 900); do
    grep -q "answered $n " "$file" 2>/dev/null && return 0
    sleep 0.2
  done
  return 1
}

# idle_sample PID N: CPU and memory of PID with N idle installers
idle_sample() {
  local pid=$1 n=$2 t0 t1
  sleep 1
  t0=$(cpu_ticks "$pid")
  sleep 10
  t1=$(cpu_ticks "$pid")
  echo "  idle: $n installers connected, CPU $(( (t1 - t0) * 1000 / HZ )) ms in 10 s," \
       "RSS $(( $(status_kb "$pid" VmRSS) / 1024 )) MB (load $(load))"
}

# rounds NAME ADDRESS: ROUNDS x (bare loop, then ADDRESS), best of each.
rounds() {
  local name=$1 addr=$2 r bares="" runs=""
  for r in $(seq "$ROUNDS"); do
    echo "  round $r, bare sendfile loop (load $(load)):"
    download_run "bare-$name-$r" "$BARE_ADDR"
    echo "  round $r, $name (load $(load)):"
    download_run "$name-$r" "$addr"
    bares="$bares bare-$name-$r" runs="$runs $name-$r"
  done
  # shellcheck disable=SC2086
  B=$(best $bares) S=$(best $runs)
  echo "  => best $S MB/s against the bare loop's best $B MB/s:" \
       "$(awk -v s="$S" -v b="$B" 'BEGIN { if (b > 0) printf "%.2f", s / b; else print "?" }')"
}

# ---- the bare loop stays up for the whole run ------------------------------
"$BARE" "$BARE_ADDR" 49491 "$FILE" 1200 &
PIDS="$PIDS $!"

if part 1; then
echo "=== 1. one server at its defaults"
"$SERVER" --root "$WORK/root" --address "$SERVER_ADDR" --port 49491 --stats-interval 10 >"$WORK/server.log" 2>&1 &
SPID=$!
PIDS="$PIDS $SPID"
for _ in $(seq 50); do grep -q "listening on" "$WORK/server.log" && break; sleep 0.1; done
LIMIT=$(sed -n 's/.*connection limit \([0-9]*\) .*/\1/p' "$WORK/server.log")
N=${BENCH_CONNECTIONS:-$LIMIT}
grep -E "open-file limit|connection limit" "$WORK/server.log" | sed 's/^[0-9:.]* /  server: /'
echo "  no idle installers, $DOWNLOADS x $MB MB (load $(load)):"
download_run server-alone "$SERVER_ADDR"
IDLE=$((N - DOWNLOADS))
echo "  $IDLE idle installers arriving at $RATE a second (load $(load)):"
C0=$(cpu_ticks "$SPID")
"$LOADGEN" --address "$SERVER_ADDR" --connections "$IDLE" --rate "$RATE" --idle 600 --max-seconds 900 \
  >"$WORK/idle1.txt" 2>"$WORK/idle1.progress" &
LPID=$!
PIDS="$PIDS $LPID"
wait_answered "$WORK/idle1.progress" "$IDLE" || echo "  (not all answered)"
echo "  server CPU $(( ($(cpu_ticks "$SPID") - C0) * 1000 / HZ )) ms until all were answered"
idle_sample "$SPID" "$IDLE"
echo "  $((DOWNLOADS + 20)) more: up to the limit, and 20 beyond it (load $(load)):"
"$LOADGEN" --address "$SERVER_ADDR" --connections $((DOWNLOADS + 20)) --max-seconds 10 >"$WORK/over.txt" 2>/dev/null || true
sed -n 's/^\(hello latency\|errors\)/    \1/p' "$WORK/over.txt"
rounds server "$SERVER_ADDR"
echo "  slowest/median of the server's downloads: $(sed -n 's/.*(\([0-9.]*x\))$/\1/p' "$WORK"/server-[0-9]*.txt | tr '\n' ' ')"
echo "  server peak RSS $(( $(status_kb "$SPID" VmHWM) / 1024 )) MB"
kill -TERM "$LPID" 2>/dev/null || true
wait "$LPID" 2>/dev/null || true
sed -n 's/^\(connect\|hello latency\)/  idle installers: \1/p' "$WORK/idle1.txt"
kill -TERM "$SPID"
wait "$SPID" || true
grep -E "refused .*limit|summary:" "$WORK/server.log" | sed 's/^[0-9:.]* /  server: /'
grep -E "stats:" "$WORK/server.log" | tail -2 | sed 's/^[0-9:.]* /  server: /'
echo
fi

if part 2; then
echo "=== 2. HAProxy trial, 2 servers"
TRIAL_SECONDS=900 UPDATE_SERVER="$SERVER" "$ROOT/server/deploy/trial.sh" start "$WORK/trial" "$WORK/root" \
  "$FRONT" $TRIAL_SERVERS | sed "s/^/  /"
HPID=$(cat "$WORK/trial/haproxy.pid")
M=${BENCH_TRIAL_CONNECTIONS:-8800}
IDLE=$((M - DOWNLOADS))
echo "  $IDLE idle installers through HAProxy arriving at $RATE a second (load $(load)):"
"$LOADGEN" --address "$FRONT" --connections "$IDLE" --rate "$RATE" --idle 600 --max-seconds 900 \
  >"$WORK/idle2.txt" 2>"$WORK/idle2.progress" &
LPID=$!
PIDS="$PIDS $LPID"
wait_answered "$WORK/idle2.progress" "$IDLE" || echo "  (not all answered)"
idle_sample "$HPID" "$IDLE" | sed 's/CPU/HAProxy CPU/'
rounds haproxy "$FRONT"
kill -TERM "$LPID" 2>/dev/null || true
wait "$LPID" 2>/dev/null || true
sed -n 's/^\(connect\|hello latency\)/  idle installers: \1/p' "$WORK/idle2.txt"
for a in $TRIAL_SERVERS; do
  echo "  server $a: $(grep -c ' hello ' "$WORK/trial/server-$a.log") hellos (health checks included)," \
       "$(grep -c '"wrp.BIG.wrp" .*: sent ' "$WORK/trial/server-$a.log") downloads"
done
"$ROOT/server/deploy/trial.sh" stop "$WORK/trial"
echo
fi

if part 3; then
echo "=== 3. hostile clients beside one good download of $HOSTILE_MB MB, a fresh server at its defaults for each"
HOSTILE_ADDR=127.0.97.3
mkdir -p "$WORK/hroot/wrp"
head -c $((HOSTILE_MB * 1048576)) /dev/urandom >"$WORK/hroot/wrp/BIG.wrp"
HFILE="$WORK/hroot/wrp/BIG.wrp"
good() {  # NAME: one download, every byte checked; prints its MB/s
  "$LOADGEN" --address "$HOSTILE_ADDR" --connections 1 --downloads 1 --file 'wrp\BIG.wrp' --expect "$HFILE" \
    --max-seconds 120 >"$WORK/$1.txt" 2>/dev/null || true
  throughput "$1"
}
echo "  | hostile clients | good download alone | beside them | share | hello p99 beside | server RSS before / after |"
echo "  |---|---|---|---|---|---|"
for hostile in "slow-hello 1000" "garbage 50" "long-names 3" "pipelined-hellos 10" "no-read 100"; do
  set -- $hostile
  mode=$1 n=$2
  "$SERVER" --root "$WORK/hroot" --address "$HOSTILE_ADDR" --port 49491 --stats-interval 5 >"$WORK/h-$mode.log" 2>&1 &
  HSPID=$!
  for _ in $(seq 50); do grep -q "listening on" "$WORK/h-$mode.log" && break; sleep 0.1; done
  A=$(good "alone-$mode")
  RSS0=$(status_kb "$HSPID" VmRSS)
  "$LOADGEN" --address "$HOSTILE_ADDR" --mode "$mode" --connections "$n" --file 'wrp\BIG.wrp' --max-seconds 25 \
    >"$WORK/hostile-$mode.txt" 2>/dev/null &
  HLPID=$!
  HSTART=$(date +%s)
  sleep 3
  B=$(good "beside-$mode")
  "$LOADGEN" --address "$HOSTILE_ADDR" --connections 20 --rate 20 --max-seconds 10 >"$WORK/hello-$mode.txt" 2>/dev/null || true
  P99=$(sed -n 's/^hello latency: .*p99 \([0-9.]* ms\).*(\([0-9]*\) answered)/\1 (\2 of 20 answered)/p' "$WORK/hello-$mode.txt")
  # Past the server's 10 s deadlines, so that what they close shows.
  while [ $(( $(date +%s) - HSTART )) -lt 17 ]; do sleep 1; done
  RSS1=$(status_kb "$HSPID" VmHWM)
  kill -TERM "$HLPID" 2>/dev/null || true
  wait "$HLPID" 2>/dev/null || true
  kill -INT "$HSPID" 2>/dev/null || true
  wait "$HSPID" 2>/dev/null || true
  echo "  | $mode x $n | $A MB/s | $B MB/s | $(awk -v a="$A" -v b="$B" 'BEGIN { if (a > 0) printf "%.2f", b / a; else print "?" }') |" \
       "$P99 | $((RSS0 / 1024)) MB / $((RSS1 / 1024)) MB peak |"
  sed 's/^/    loadgen: /' "$WORK/hostile-$mode.txt"
  grep -E "stats:" "$WORK/h-$mode.log" | tail -1 | sed 's/^[0-9:.]* /    server: /'
done
fi
