#!/usr/bin/env bash
# What a long history costs the real program, in a private network namespace (as root), with
# the same 5,000 loopback connection pairs (about 10,000 rows) every time, and in one run:
#   - resident memory with the main window showing the rows: with a 1,000,000-record WDlog.log
#     against an empty log (100,000 rules both; target <= 1.15 x), and with 100,000 rules
#     against none (empty log both; target <= 1.15 x)
#   - start-up to the filled list (Quillon in the tray, no window on screen) with the
#     1,000,000-record log against the empty log (target <= 1.2 x)
# Usage: bash bench/program/history.sh [BUILD_FOLDER]     (default: build/test)
#   PAIRS, RULES, LOG_RECORDS, STARTS override the sizes.
build=${1:-build/test}
export QUILLON_BIN_DIR=${QUILLON_BIN_DIR:-$(cd "$build" && pwd)/bin}
export QUILLON_E2E_OUT=${QUILLON_E2E_OUT:-$(cd "$build" && pwd)/bench-program}
BENCH_DIR=$(cd "$(dirname "$0")" && pwd)
source "$BENCH_DIR/../../tests/e2e/e2e_lib.sh"
E2E_NAME=bench-history
e2e_enter "$@"

PAIRS=${PAIRS:-5000}
RULES=${RULES:-100000}
LOG_RECORDS=${LOG_RECORDS:-1000000}
STARTS=${STARTS:-5}
LOADKIT=$BENCH_DIR/loadkit.py

ms_now() { echo $(($(date +%s%N) / 1000000)); }
rss_kb() { awk '$1 == "VmRSS:" {print $2}' "/proc/$1/status"; }
# The part of it that is the program's own memory, without mapped files (such as the hive,
# which SQLite reads through a memory map: clean pages the kernel may drop at any time).
anon_kb() { awk '$1 == "RssAnon:" {print $2}' "/proc/$1/status"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (b > 0) printf "%.3f", a / b; else print "n/a"}'; }
verdict() { awk -v v="$1" -v t="$2" 'BEGIN {print (v <= t) ? "meets" : "MISSES"}'; }
median() { printf '%s\n' "$@" | sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }

# Starts Quillon STARTS times over the hive and log as they are now; each start is timed to
# the end of its start-up, the last one is left running, its main window shown, and its
# resident memory read once the list has settled, then again with the console open and its
# log read. Sets STARTUP_MS (median), RSS_KB, CONSOLE_RSS_KB and CONSOLE_ANON_KB.
measure() {
    local times=() run t0
    for ((run = 1; run <= STARTS; run++)); do
        t0=$(ms_now)
        e2e_start_quillon
        e2e_wait_started
        times+=($(($(ms_now) - t0)))
        if [ "$run" -lt "$STARTS" ]; then
            kill "$E2E_QUILLON_PID"
            wait "$E2E_QUILLON_PID" 2>/dev/null
        fi
    done
    STARTUP_MS=$(median "${times[@]}")
    STARTUPS="${times[*]}"
    tray_double_click
    main_shown() { [ -n "$(window_by_title "Quillon防火墙")" ]; }
    e2e_wait_for 10 "the main window" main_shown
    sleep 3
    RSS_KB=$(rss_kb "$E2E_QUILLON_PID")
    # Then with the console open too: the log is read from its first show.
    open_console "$(window_by_title "Quillon防火墙")"
    sleep 3
    CONSOLE_RSS_KB=$(rss_kb "$E2E_QUILLON_PID")
    CONSOLE_ANON_KB=$(anon_kb "$E2E_QUILLON_PID")
    kill "$E2E_QUILLON_PID"
    wait "$E2E_QUILLON_PID" 2>/dev/null
}

# Level 2, the loopback source address allowed so that the load raises no alerts.
reg add "$QL_OPTIONS" seclvl 2 && reg add "$QL_IP" 127.0.0.1 0 || e2e_fail "cannot store the settings"
e2e_log "opening $PAIRS connection pairs"
e2e_spawn LOAD_PID python3 "$LOADKIT" pairs 127.0.0.1 7000 "$PAIRS" >"$E2E_WORK/pairs"
loaded() { grep -q '^ready' "$E2E_WORK/pairs"; }
e2e_wait_for 120 "the connection pairs" loaded

e2e_start_x
e2e_start_tray

: >"$E2E_LOG"
e2e_log "no rules, empty log"
measure
none_rss=$RSS_KB
none_console_rss=$CONSOLE_RSS_KB
none_console_anon=$CONSOLE_ANON_KB

python3 "$LOADKIT" rules "$E2E_WORK/rules.reg" "$RULES"
reg import "$E2E_WORK/rules.reg" || e2e_fail "cannot import the rules"
e2e_log "$RULES rules, empty log"
measure
rules_rss=$RSS_KB
rules_console_rss=$CONSOLE_RSS_KB
rules_console_anon=$CONSOLE_ANON_KB
empty_startup=$STARTUP_MS
empty_startups=$STARTUPS

python3 "$LOADKIT" log "$E2E_LOG" "$LOG_RECORDS"
e2e_log "$RULES rules, $LOG_RECORDS-record log ($(($(stat -c %s "$E2E_LOG") / 1048576)) MiB)"
measure
log_rss=$RSS_KB
log_console_rss=$CONSOLE_RSS_KB
log_console_anon=$CONSOLE_ANON_KB
log_startup=$STARTUP_MS

cat <<EOF

Quillon with a long history ($(nproc) cores; $((2 * PAIRS + 1)) rows of the load; main window shown)
  resident memory, no rules, empty log:             $((none_rss / 1024)) MB
  resident memory, $RULES rules, empty log:       $((rules_rss / 1024)) MB   ratio $(ratio "$rules_rss" "$none_rss") x   target <= 1.15 x: $(verdict "$(ratio "$rules_rss" "$none_rss")" 1.15)
  resident memory, $RULES rules, $LOG_RECORDS-record log: $((log_rss / 1024)) MB   ratio $(ratio "$log_rss" "$rules_rss") x   target <= 1.15 x: $(verdict "$(ratio "$log_rss" "$rules_rss")" 1.15)
 with the console open as well (rule lists and log read). "own": counting only the growth of the
 program's own memory, not the file pages SQLite maps to read the hive, which the kernel may drop:
  resident memory, no rules, empty log:             $((none_console_rss / 1024)) MB
  resident memory, $RULES rules, empty log:       $((rules_console_rss / 1024)) MB   ratio $(ratio "$rules_console_rss" "$none_console_rss") x, own $(ratio "$((rules_console_anon - none_console_anon + none_console_rss))" "$none_console_rss") x
  resident memory, $RULES rules, $LOG_RECORDS-record log: $((log_console_rss / 1024)) MB   ratio $(ratio "$log_console_rss" "$rules_console_rss") x, own $(ratio "$((log_console_anon - rules_console_anon + rules_console_rss))" "$rules_console_rss") x
  start-up to the filled list, empty log:           $empty_startups ms, median $empty_startup ms
  start-up to the filled list, $LOG_RECORDS-record log: $STARTUPS ms, median $log_startup ms   ratio $(ratio "$log_startup" "$empty_startup") x   target <= 1.2 x: $(verdict "$(ratio "$log_startup" "$empty_startup")" 1.2)
EOF
exit 0
