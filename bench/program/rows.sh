#!/usr/bin/env bash
# What a big connection table costs the real program, in a private network namespace (as
# root), in one run: resident memory with the main window showing 40,000 rows (20,000
# loopback connection pairs held by four processes, as one process may hold only so many open
# files) against the same with 10,000 rows (target <= 1.3 x), and whether every row is still
# judged: a denied connection opened after all the others must be cut.
# Usage: bash bench/program/rows.sh [BUILD_FOLDER]     (default: build/test)
#   PAIRS_PER_PROCESS (5000), PROCESSES (4) override the sizes.
build=${1:-build/test}
export QUILLON_BIN_DIR=${QUILLON_BIN_DIR:-$(cd "$build" && pwd)/bin}
export QUILLON_E2E_OUT=${QUILLON_E2E_OUT:-$(cd "$build" && pwd)/bench-program}
BENCH_DIR=$(cd "$(dirname "$0")" && pwd)
source "$BENCH_DIR/../../tests/e2e/e2e_lib.sh"
E2E_NAME=bench-rows
e2e_enter "$@"

PAIRS_PER_PROCESS=${PAIRS_PER_PROCESS:-5000}
PROCESSES=${PROCESSES:-4}
LOADKIT=$BENCH_DIR/loadkit.py
DENIED=127.0.0.9

rss_kb() { awk '$1 == "VmRSS:" {print $2}' "/proc/$1/status"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (b > 0) printf "%.3f", a / b; else print "n/a"}'; }
verdict() { awk -v v="$1" -v t="$2" 'BEGIN {print (v <= t) ? "meets" : "MISSES"}'; }
table_rows() { ss -Htan | wc -l; }

# Starts Quillon over the table as it is now, shows its main window and reads its resident
# memory once the list has settled. Leaves it running. Sets RSS_KB.
measure() {
    e2e_start_quillon
    e2e_wait_started
    tray_double_click
    main_shown() { [ -n "$(window_by_title "Quillon防火墙")" ]; }
    e2e_wait_for 20 "the main window" main_shown
    sleep 3
    quillon_alive || e2e_fail "quillon ended with $(table_rows) rows in the table"
    RSS_KB=$(rss_kb "$E2E_QUILLON_PID")
}

# Level 2, the loopback source address allowed so that the load raises no alerts; the
# trial's address denied.
reg add "$QL_OPTIONS" seclvl 2 && reg add "$QL_IP" 127.0.0.1 0 && reg add "$QL_IP" "$DENIED" 1 ||
    e2e_fail "cannot store the settings"
: >"$E2E_LOG"

# One load process per PAIRS_PER_PROCESS pairs, each on a listening port of its own.
open_load() {
    local i=$1
    e2e_spawn "LOAD_PID_$i" python3 "$LOADKIT" pairs 127.0.0.1 $((7000 + i)) "$PAIRS_PER_PROCESS" \
        >"$E2E_WORK/pairs.$i"
    loaded() { grep -q '^ready' "$E2E_WORK/pairs.$i"; }
    e2e_wait_for 180 "connection pairs of process $i" loaded
}

e2e_start_x
e2e_start_tray

open_load 0
small_rows=$(table_rows)
e2e_log "$small_rows rows in the table"
measure
small_rss=$RSS_KB
kill "$E2E_QUILLON_PID"
wait "$E2E_QUILLON_PID" 2>/dev/null

for ((i = 1; i < PROCESSES; i++)); do
    open_load "$i"
done
large_rows=$(table_rows)
e2e_log "$large_rows rows in the table"
measure
large_rss=$RSS_KB

# The denied connection comes last, after the whole table is listed: it is cut only if the
# rebuild that sees it judges every row.
python3 "$LOADKIT" trials "$DENIED" 7100 1 >"$E2E_OUT/rows-trial.txt"
read -r _ _ _ cut _ p50 _ < <(tail -n1 "$E2E_OUT/rows-trial.txt")
quillon_alive || e2e_fail "quillon ended with $large_rows rows in the table"
e2e_screenshot "$(window_by_title "Quillon防火墙")" main-window-rows
large_ratio=$(ratio "$large_rss" "$small_rss")

cat <<EOF

Quillon with a big connection table ($(nproc) cores; main window shown; $PROCESSES load processes)
  resident memory, $small_rows rows: $((small_rss / 1024)) MB
  resident memory, $large_rows rows: $((large_rss / 1024)) MB   ratio $large_ratio x   target <= 1.3 x: $(verdict "$large_ratio" 1.3)
  denied connection opened last, $large_rows rows: cut ${cut:-0} of 1 (after ${p50:-?} ms)   target 1 of 1: $( [ "${cut:-0}" = 1 ] && echo meets || echo MISSES)
EOF
exit 0
