#!/usr/bin/env bash
# What immediate enforcement (the kernel guard that quillon-cut loads) gives the real program,
# in a private network namespace (as root), against the same program cutting at its 250 ms
# poll only, in one run. The poll-only peer is the same Quillon and the same helper, started
# without cap_bpf, cap_perfmon and cap_sys_admin in its bounding set: the helper cannot load
# its kernel programs, so immediate enforcement is off and root cuts in process at each tick.
# Level 2; 127.0.0.1 allowed; 127.0.0.5 denied; local port 7300 denied; 1,000 further deny
# rules that every connection is checked against.
#   1. deny -> effect: time from connect() to the client's error, 1,000 connects to a denied
#      address (refused at connect, or cut later) and 1,000 to a listener on a denied local
#      port (the client's reset), first with a quiet table, then while the program rebuilds a
#      list of 10,001 rows (5,000 loopback pairs, one connection churned every 50 ms).
#      Targets: immediate p95 <= 2 ms quiet, <= 5 ms during rebuilds.
#   2. before the connect: 1,000 denied connects one after the other, bytes lo carried
#      (expect 0) and the time of connect() (target p95 <= 0.1 ms).
#   3. 20,000 connect + accept + close to an allowed address with the kernel guard loaded,
#      against no Quillon at all (target rate ratio >= 0.9).
#   4. idle CPU of Quillon and its helper together over 30 s with 10,001 quiet ESTABLISHED
#      rows (target immediate / poll <= 0.1), and with ~500 TIME_WAIT rows too (<= 1.05).
# Usage: bash bench/enforce/run.sh [BUILD_FOLDER]     (default: build/test)
#   TRIALS, GAP_MS, PAIRS, RULES, LOOPS, IDLE_SECONDS, TIMEWAITS override the sizes.
build=${1:-build/test}
export QUILLON_BIN_DIR=${QUILLON_BIN_DIR:-$(cd "$build" && pwd)/bin}
export QUILLON_E2E_OUT=${QUILLON_E2E_OUT:-$(cd "$build" && pwd)/bench-enforce}
BENCH_DIR=$(cd "$(dirname "$0")" && pwd)
source "$BENCH_DIR/../../tests/e2e/e2e_lib.sh"
E2E_NAME=bench-enforce
command -v capsh >/dev/null || { echo "capsh is needed for the poll-only peer"; exit 1; }
e2e_enter "$@"

TRIALS=${TRIALS:-1000}
GAP_MS=${GAP_MS:-5}
PAIRS=${PAIRS:-5000}
RULES=${RULES:-1000}
LOOPS=${LOOPS:-20000}
IDLE_SECONDS=${IDLE_SECONDS:-30}
TIMEWAITS=${TIMEWAITS:-500}
KIT=$BENCH_DIR/enforcekit.py
LOADKIT=$BENCH_DIR/../program/loadkit.py
DENIED=127.0.0.5
DENIED_LPORT=7300
CLK_TCK=$(getconf CLK_TCK)

ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (b > 0) printf "%.3f", a / b; else print "n/a"}'; }
at_most() { awk -v v="$1" -v t="$2" 'BEGIN {print (v != "" && v != "n/a" && v <= t) ? "meets" : "MISSES"}'; }
at_least() { awk -v v="$1" -v t="$2" 'BEGIN {print (v != "" && v != "n/a" && v >= t) ? "meets" : "MISSES"}'; }
field() { awk -v k="$1" '{for (i = 1; i < NF; i++) if ($i == k) {print $(i + 1); exit}}'; }

e2e_log "storing the rules"
python3 "$LOADKIT" rules "$E2E_WORK/rules.reg" "$RULES"
reg import "$E2E_WORK/rules.reg" || e2e_fail "cannot import the rules"
reg add "$QL_OPTIONS" seclvl 2 && reg add "$QL_IP" 127.0.0.1 0 && reg add "$QL_IP" "$DENIED" 1 &&
    reg add "$QL_LP" "$DENIED_LPORT" 1 || e2e_fail "cannot store the settings"

e2e_start_x
e2e_start_tray

# start_quillon event|poll
start_quillon() {
    if [ "$1" = event ]; then
        e2e_start_quillon
    else
        e2e_spawn E2E_QUILLON_PID capsh --drop=cap_bpf,cap_perfmon,cap_sys_admin -- \
            -c 'exec "$0"' "$E2E_PROG/quillon" >>"$E2E_WORK/quillon.out" 2>&1
        e2e_log "quillon started without BPF rights, pid $E2E_QUILLON_PID"
    fi
    e2e_wait_started
    sleep 2
    HELPER_PID=$(ps -o pid= --ppid "$E2E_QUILLON_PID" | head -n1 | tr -d ' ')
    e2e_log "helper: ${HELPER_PID:-none}"
}

stop_quillon() {
    kill "$E2E_QUILLON_PID"
    wait "$E2E_QUILLON_PID" 2>/dev/null
    cp "$E2E_WORK/quillon.out" "$E2E_OUT/quillon.out"
    if [ -n "$HELPER_PID" ]; then
        helper_gone() { [ ! -e "/proc/$HELPER_PID" ]; }
        e2e_wait_for 5 "the helper's end" helper_gone
    fi
}

# User plus system CPU time of one process, in clock ticks (0 once it is gone).
ticks_of() { awk '{sub(/^.*\) /, ""); print $12 + $13}' "/proc/$1/stat" 2>/dev/null || echo 0; }

# CPU of Quillon and of its helper over IDLE_SECONDS: prints "TOTAL_MS QUILLON_MS HELPER_MS".
idle_cpu_ms() {
    local q0 h0=0 q1 h1=0
    q0=$(ticks_of "$E2E_QUILLON_PID")
    [ -n "$HELPER_PID" ] && h0=$(ticks_of "$HELPER_PID")
    sleep "$IDLE_SECONDS"
    q1=$(ticks_of "$E2E_QUILLON_PID")
    [ -n "$HELPER_PID" ] && h1=$(ticks_of "$HELPER_PID")
    local q=$(((q1 - q0) * 1000 / CLK_TCK)) h=$(((h1 - h0) * 1000 / CLK_TCK))
    echo "$((q + h)) $q $h"
}

timewait_rows() { ss -Htan state time-wait | wc -l; }
no_timewait() { [ "$(timewait_rows)" -eq 0 ]; }

declare -A R

# trials NAME ADDRESS PORT: one latency run, stored under R[NAME].
trials() {
    R[$1]=$(python3 "$KIT" trials "$2" "$3" "$TRIALS" "$GAP_MS" | tail -n1)
    e2e_log "$1: ${R[$1]}"
}

loop() {
    R[$1]=$(python3 "$KIT" loop 127.0.0.1 "$2" "$LOOPS" | tail -n1)
    e2e_log "$1: ${R[$1]}"
}

# Quiet table, no Quillon: the connect/close loop's baseline.
loop loop_none1 7400

for mode in event poll; do
    start_quillon "$mode"
    trials "${mode}_addr_quiet" "$DENIED" 7100
    trials "${mode}_lport_quiet" 127.0.0.1 "$DENIED_LPORT"
    R[${mode}_pre]=$(python3 "$KIT" preconnect "$DENIED" 7101 "$TRIALS" | tail -n1)
    e2e_log "${mode}_pre: ${R[${mode}_pre]}"
    [ "$mode" = event ] && loop loop_event 7401
    stop_quillon
    [ "$mode" = event ] && loop loop_none2 7402
done

e2e_log "opening $PAIRS connection pairs"
e2e_spawn LOAD_PID python3 "$LOADKIT" pairs 127.0.0.1 7000 "$PAIRS" >"$E2E_WORK/pairs"
loaded() { grep -q '^ready' "$E2E_WORK/pairs"; }
e2e_wait_for 120 "the connection pairs" loaded
rows=$(awk '{print $2}' "$E2E_WORK/pairs")

for mode in poll event; do
    # Idle with only quiet ESTABLISHED rows: the TIME_WAIT rows of earlier steps go first.
    e2e_poll 70 no_timewait || e2e_log "still $(timewait_rows) TIME_WAIT rows"
    start_quillon "$mode"
    R[${mode}_idle]=$(idle_cpu_ms)
    e2e_log "${mode}_idle: ${R[${mode}_idle]}"
    python3 "$KIT" timewait 127.0.0.1 7500 "$TIMEWAITS" >/dev/null
    sleep 1
    R[${mode}_tw_rows]=$(timewait_rows)
    R[${mode}_idle_tw]=$(idle_cpu_ms)
    e2e_log "${mode}_idle_tw: ${R[${mode}_idle_tw]} ms with ${R[${mode}_tw_rows]} TIME_WAIT rows"
    e2e_spawn CHURN_PID python3 "$E2E_DIR/tcpkit.py" churn 127.0.0.1 7200 1 >"$E2E_WORK/churn"
    e2e_wait_for 10 "the churn" grep -q '^churning' "$E2E_WORK/churn"
    sleep 1
    trials "${mode}_addr_busy" "$DENIED" 7102
    trials "${mode}_lport_busy" 127.0.0.1 "$DENIED_LPORT"
    kill "$CHURN_PID"
    wait "$CHURN_PID" 2>/dev/null
    quillon_alive || e2e_fail "quillon ended during the $mode run"
    stop_quillon
done

# One latency line: NAME LABEL TARGET (target empty for the peer).
show_trials() {
    local line=${R[$1]} n
    printf '    %-28s p50 %6s  p95 %7s  max %7s ms   (refused %s, aborted %s, reset %s, closed %s, open %s)' \
        "$2" "$(field p50 <<<"$line")" "$(field p95 <<<"$line")" "$(field max <<<"$line")" \
        "$(field refused <<<"$line")" "$(field aborted <<<"$line")" "$(field reset <<<"$line")" \
        "$(field closed <<<"$line")" "$(field open <<<"$line")"
    if [ -n "${3:-}" ]; then
        n=$(field p95 <<<"$line")
        printf '   target p95 <= %s ms: %s' "$3" "$(at_most "$n" "$3")"
    fi
    echo
}

p95_ratio() { ratio "$(field p95 <<<"${R[$1]}")" "$(field p95 <<<"${R[$2]}")"; }

rate_none=$(awk -v a="$(field rate <<<"${R[loop_none1]}")" -v b="$(field rate <<<"${R[loop_none2]}")" \
    'BEGIN {printf "%.0f", (a + b) / 2}')
rate_event=$(field rate <<<"${R[loop_event]}")
loop_ratio=$(ratio "$rate_event" "$rate_none")
total() { set -- $1; echo "$1"; }
cpu_split() { set -- $1; echo "$1 ms (Quillon $2, helper $3)"; }
idle_ratio=$(ratio "$(total "${R[event_idle]}")" "$(total "${R[poll_idle]}")")
tw_ratio=$(ratio "$(total "${R[event_idle_tw]}")" "$(total "${R[poll_idle_tw]}")")

cat <<EOF

Quillon immediate enforcement against the poll only ($(nproc) cores; $TRIALS trials each, one
started every $GAP_MS ms on average; $RULES further deny rules; $rows rows of load in step 1's
busy runs and in step 4)
  1. connect() to the client's error
  denied address $DENIED, quiet table
$(show_trials event_addr_quiet immediate 2)
$(show_trials poll_addr_quiet "poll only")
                                 p95 ratio $(p95_ratio event_addr_quiet poll_addr_quiet) x
  denied local port $DENIED_LPORT, quiet table
$(show_trials event_lport_quiet immediate 2)
$(show_trials poll_lport_quiet "poll only")
                                 p95 ratio $(p95_ratio event_lport_quiet poll_lport_quiet) x
  denied address, during rebuilds of $rows rows
$(show_trials event_addr_busy immediate 5)
$(show_trials poll_addr_busy "poll only")
                                 p95 ratio $(p95_ratio event_addr_busy poll_addr_busy) x
  denied local port, during rebuilds of $rows rows
$(show_trials event_lport_busy immediate 5)
$(show_trials poll_lport_busy "poll only")
                                 p95 ratio $(p95_ratio event_lport_busy poll_lport_busy) x
  2. $TRIALS denied connects, before anything is sent
    immediate: refused $(field refused <<<"${R[event_pre]}"), lo carried $(field bytes <<<"${R[event_pre]}") bytes in $(field packets <<<"${R[event_pre]}") packets   target 0: $(at_most "$(field bytes <<<"${R[event_pre]}")" 0)
               connect() p50 $(field connect_p50 <<<"${R[event_pre]}") us, p95 $(field connect_p95 <<<"${R[event_pre]}") us, max $(field connect_max <<<"${R[event_pre]}") us   target p95 <= 100 us: $(at_most "$(field connect_p95 <<<"${R[event_pre]}")" 100)
    poll only: refused $(field refused <<<"${R[poll_pre]}"), lo carried $(field bytes <<<"${R[poll_pre]}") bytes in $(field packets <<<"${R[poll_pre]}") packets
               connect() p50 $(field connect_p50 <<<"${R[poll_pre]}") us, p95 $(field connect_p95 <<<"${R[poll_pre]}") us, max $(field connect_max <<<"${R[poll_pre]}") us
  3. $LOOPS connect + accept + close to 127.0.0.1
    kernel guard loaded:   $rate_event /s
    no Quillon:            $(field rate <<<"${R[loop_none1]}") /s before, $(field rate <<<"${R[loop_none2]}") /s after, mean $rate_none /s
                           ratio $loop_ratio x   target >= 0.9: $(at_least "$loop_ratio" 0.9)
  4. idle CPU of Quillon and its helper over $IDLE_SECONDS s, $rows quiet ESTABLISHED rows
    immediate $(cpu_split "${R[event_idle]}"), poll only $(cpu_split "${R[poll_idle]}")
                           ratio $idle_ratio x   target <= 0.1: $(at_most "$idle_ratio" 0.1)
    with TIME_WAIT rows too (${R[event_tw_rows]} / ${R[poll_tw_rows]}): 
    immediate $(cpu_split "${R[event_idle_tw]}"), poll only $(cpu_split "${R[poll_idle_tw]}")
                           ratio $tw_ratio x   target <= 1.05: $(at_most "$tw_ratio" 1.05)
EOF
exit 0
