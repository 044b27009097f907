#!/bin/bash
# Builds the libFuzzer targets (clang, ASan and UBSan, -O2, the in-memory
# system) and runs each for FUZZ_SECONDS (default 60).  New inputs go to
# build/fuzz-corpus/<target>/, read together with the committed seeds in
# tests/fuzz/seeds/<target>/, with the dictionary tests/fuzz/<target>.dict
# where there is one; a failing input is kept as
# build/fuzz-artifacts/<target>-crash-*.  Prints runs and exec/s per target
# (libFuzzer's own figure, and per second of CPU time, which depends less on
# what else the machine runs) with the machine's load; exits non-zero when
# any target fails.
set -uo pipefail
source "$(dirname "$0")/common.sh"

FUZZ_SECONDS=${FUZZ_SECONDS:-60}
mkdir -p "$BUILD/fuzz-corpus" "$BUILD/fuzz-artifacts"
configure_and_build fuzz "$FUZZ" -DKAVO_FUZZ=ON \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ || exit 1

# Largest input per target: enough for every field, path and name limit
# the target reaches, small enough to keep the runs fast.
max_len() {
  case $1 in
    fuzz_protocol) echo 512 ;;  # long fields come from runs; nine 99-byte folder levels
    fuzz_wrap) echo 96 ;;       # long names too
    fuzz_unwrap) echo 1024 ;;   # deepest and longest paths, more than the free space
    fuzz_config) echo 2048 ;;   # lines over 999 characters, values over their buffers
    fuzz_signature) echo 512 ;; # a few records and two trailers' worth of bytes
    fuzz_journal) echo 9 ;;     # the cut step, one byte per path of the small release
    fuzz_server) echo 512 ;;    # names over the limit and queues of requests come from runs
    fuzz_records) echo 1100 ;;  # a record line over 1022 bytes with a line's worth behind it
  esac
}

# FUZZ_SKIP: targets left out of this run (names, blank-separated).
FUZZ_SKIP=${FUZZ_SKIP:-}
failed=0 total=0
for t in "$FUZZ"/tests/fuzz/fuzz_*; do
  [ -x "$t" ] || continue
  name=$(basename "$t")
  case " $FUZZ_SKIP " in *" $name "*) echo "$name skipped (FUZZ_SKIP)"; continue ;; esac
  corpus="$BUILD/fuzz-corpus/$name" log="$BUILD/fuzz-$name.log"
  mkdir -p "$corpus"
  load=$(cut -d' ' -f1-3 /proc/loadavg)
  TIMEFORMAT='%U %S'
  dict=() && [ -f "$ROOT/tests/fuzz/$name.dict" ] && dict=(-dict="$ROOT/tests/fuzz/$name.dict")
  if { time "$t" -max_total_time="$FUZZ_SECONDS" -max_len="$(max_len "$name")" -timeout=20 -reload=0 "${dict[@]}" \
         -artifact_prefix="$BUILD/fuzz-artifacts/$name-" "$corpus" "$ROOT/tests/fuzz/seeds/$name" >"$log" 2>&1; } \
       2>"$log.cpu"; then
    runs=$(grep -ao 'Done [0-9]* runs' "$log" | grep -o '[0-9]*')
    rate=$(grep -a 'DONE' "$log" | grep -o 'exec/s: [0-9]*' | grep -o '[0-9]*$')
    per_cpu=$(awk -v r="${runs:-0}" '{ c = $1 + $2; printf "%d", (c > 0 ? r / c : 0) }' "$log.cpu")
    total=$((total + ${runs:-0}))
    printf '%-14s %10s runs in %s s: %6s exec/s, %6s per CPU second (load before: %s)\n' \
      "$name" "$runs" "$FUZZ_SECONDS" "$rate" "$per_cpu" "$load"
  else
    echo "$name FAILED (log: $log)"
    grep -a -A40 '^\*\*\*\|ERROR: \|runtime error' "$log" | grep -av '^    #[0-9]' | head -60
    failed=1
  fi
done
echo "fuzz: $total inputs in all"
exit $failed
