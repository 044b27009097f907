#!/bin/bash
# A trial of the balanced setup on this machine: N update servers on
# loopback addresses serving one release folder, HAProxy in front of them
# (haproxy.cfg of this folder with the bind and server lines replaced).
#
#   trial.sh start DIR ROOT FRONT SERVER...   e.g.
#   trial.sh start /tmp/trial /srv/kavo/current 127.0.96.1 127.0.96.11 127.0.96.12
#   trial.sh drain DIR SERVER     stop one server without cutting a download
#   trial.sh stop DIR
#
# Every address is a 127.x address, each on port 49491 (the installer's
# port).  DIR receives the configuration, the logs (haproxy.log,
# server-ADDRESS.log), the process ids (server-ADDRESS.pid, haproxy.pid)
# and the address of HAProxy's runtime API (haproxy.api: the front address,
# port 49490).  A server is stopped as
# in production: set to "drain" in HAProxy (nothing new reaches it), then
# SIGTERM (it closes its idle connections and lets its transfers finish,
# up to 30 s).  Everything started ends by itself after TRIAL_SECONDS
# (default 3600) if "stop" never comes.  UPDATE_SERVER names the server
# program (default: the native build of this checkout).
set -euo pipefail
HERE="$(cd "$(dirname "$0")" && pwd)"
ROOT_DIR="$(cd "$HERE/../.." && pwd)"
SERVER_EXE=${UPDATE_SERVER:-$ROOT_DIR/build/native/server/update_server}
SECONDS_MAX=${TRIAL_SECONDS:-3600}

usage() { sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'; exit 2; }
loopback() { case "$1" in 127.*.*.*) ;; *) echo "trial.sh: $1 is not a loopback address"; exit 2 ;; esac; }
listening() { ss -Hltn "src $1 sport = :49491" 2>/dev/null | grep -q LISTEN; }
wait_listening() {
  for _ in $(seq 100); do listening "$1" && return 0; sleep 0.1; done
  echo "trial.sh: nothing listens on $1:49491 (see $2)"; return 1
}

# The program that `timeout` started (signals go to it directly).
child_pid() {
  local c
  for _ in $(seq 50); do c=$(pgrep -P "$1" | head -1) && [ -n "$c" ] && { echo "$c"; return; }; sleep 0.02; done
  echo "$1"
}

# One command to HAProxy's runtime API; prints the answer.
api() {   # DIR COMMAND
  local addr
  addr=$(cat "$1/haproxy.api")
  exec 3<>"/dev/tcp/${addr%:*}/${addr#*:}" || return 1
  printf '%s\n' "$2" >&3
  timeout 5 cat <&3 || true
  exec 3<&- 3>&-
}

# Ends a process: SIGNAL, up to WAIT tenths of a second, then SIGKILL.
end_process() {   # PIDFILE WAIT [SIGNAL]
  local pid
  [ -f "$1" ] || return 0
  pid=$(cat "$1")
  kill "-${3:-TERM}" "$pid" 2>/dev/null || true
  for _ in $(seq "$2"); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null || true
  rm -f "$1"
}

# Drains one server: HAProxy sends it nothing new, then the server gets
# SIGTERM and finishes its transfers (its --drain-time, 30 s) before it ends.
drain() {   # DIR ADDRESS
  local dir=$1 addr=$2 name
  name=$(sed -n "s/^    server \(s[0-9]*\) $addr:49491 .*/\1/p" "$dir/haproxy.cfg" | head -1)
  if [ -n "$name" ] && [ -f "$dir/haproxy.api" ] && [ -f "$dir/haproxy.pid" ]; then
    api "$dir" "set server update_servers/$name state drain" | grep . || true
    echo "trial: $addr ($name) set to drain in HAProxy"
  fi
  end_process "$dir/server-$addr.pid" 350
}

stop() {
  local dir=$1 f addr
  # Servers first, each drained, then the balancer, which lets the bytes it
  # still holds for installers reach them first (SIGUSR1: soft stop).
  for f in "$dir"/server-*.pid; do
    [ -f "$f" ] || continue
    addr=${f##*/server-}
    drain "$dir" "${addr%.pid}"
  done
  end_process "$dir/haproxy.pid" 100 USR1
}

case "${1:-}" in
start)
  [ $# -ge 5 ] || usage
  DIR=$2 ROOT=$3 FRONT=$4
  shift 4
  loopback "$FRONT"
  for a in "$@"; do loopback "$a"; done
  [ -x "$SERVER_EXE" ] || { echo "trial.sh: no server program at $SERVER_EXE"; exit 1; }
  mkdir -p "$DIR"
  DIR=$(cd "$DIR" && pwd)
  stop "$DIR"
  echo "$FRONT:49490" >"$DIR/haproxy.api"
  # The configuration: this folder's file with our addresses.
  {
    sed -e "s|^    bind .*|    bind $FRONT:49491|" -e '/^    server /d' \
      -e "s|^    stats socket .*|    stats socket ipv4@$FRONT:49490 level admin|" "$HERE/haproxy.cfg"
    i=0
    for a in "$@"; do i=$((i + 1)); echo "    server s$i $a:49491 check"; done
  } >"$DIR/haproxy.cfg"
  haproxy -c -q -f "$DIR/haproxy.cfg" || { echo "trial.sh: haproxy rejects $DIR/haproxy.cfg"; exit 1; }
  for a in "$@"; do
    setsid timeout -s TERM "$SECONDS_MAX" "$SERVER_EXE" --root "$ROOT" --address "$a" --port 49491 \
      --drain-time 30 >"$DIR/server-$a.log" 2>&1 </dev/null &
    child_pid $! >"$DIR/server-$a.pid"
  done
  for a in "$@"; do wait_listening "$a" "$DIR/server-$a.log"; done
  setsid timeout -s TERM "$SECONDS_MAX" haproxy -db -f "$DIR/haproxy.cfg" >"$DIR/haproxy.log" 2>&1 </dev/null &
  child_pid $! >"$DIR/haproxy.pid"
  wait_listening "$FRONT" "$DIR/haproxy.log"
  echo "trial: HAProxy on $FRONT:49491 in front of $* (logs in $DIR)"
  ;;
drain)
  [ $# -eq 3 ] || usage
  drain "$2" "$3"
  ;;
stop)
  [ $# -eq 2 ] || usage
  stop "$2"
  ;;
*) usage ;;
esac
