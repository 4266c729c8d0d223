#!/usr/bin/env bash
# A deny rule stored beforehand: a connection to the denied address is refused before it
# connects where the kernel guard runs, else cut within a second (its owner sees the connection
# abort); either way the log gains one "已断开连接" record, in GBK, with the address and both
# ports (the client binds its port before connecting).
source "$(dirname "$0")/e2e_lib.sh"
e2e_enter "$@"

DENIED=127.0.0.5
PORT=4321

# Level 2 (medium), 127.0.0.5 denied. The listener's side of the connection has the remote
# address 127.0.0.1, which is allowed so that it raises no question of its own.
reg add "$QL_OPTIONS" seclvl 2 || e2e_fail "cannot store the level"
reg add "$QL_IP" "$DENIED" 1 || e2e_fail "cannot store the deny rule"
reg add "$QL_IP" 127.0.0.1 0 || e2e_fail "cannot store the allow rule"

e2e_listen "$DENIED" "$PORT" LISTENER
e2e_start_x
e2e_start_tray
e2e_start_quillon
e2e_wait_started

client=$E2E_WORK/client
e2e_connect "$DENIED" "$PORT" 3 "$client" CLIENT
lport=$(client_port "$client")
e2e_log "client connected from local port $lport"
wait "$CLIENT"
end=$(client_end "$client")
e2e_log "client saw: $end"
read -r how ms <<<"$end"
[ "$how" = aborted ] || [ "$how" = refused ] ||
    e2e_fail "the client saw '$end' instead of the connection being refused or aborted"
[ "$ms" -le 1000 ] || e2e_fail "the connection was cut after $ms ms, more than one second"

# Let a few refresh ticks pass so that a repeated record would show.
sleep 1
n=$(log_count "$DENIED" "$PORT" "$lport" "已断开连接")
[ "$n" -eq 1 ] || e2e_fail "WDlog.log holds $n records of the cut instead of one"
records=$(log_text | grep -c '已断开连接')
[ "$records" -eq 1 ] || e2e_fail "WDlog.log holds $records cut records in all instead of one"

# The record is GBK text ended by CR LF: its bytes are the GBK encoding of the text.
line=$(log_text | grep '已断开连接')
printf '%s\n' "$line" | iconv -f UTF-8 -t GBK | cmp -s - "$E2E_LOG" ||
    e2e_fail "WDlog.log is not exactly one GBK line ended by CR LF"
[[ "$line" =~ ^\"[0-9]{1,2}:[0-9]{2}:[0-9]{2}-[0-9]{4}-[0-9]{1,2}-[0-9]{1,2}\", ]] ||
    e2e_fail "unexpected time stamp in: $line"
e2e_log "record: ${line%$'\r'}"
quillon_alive || e2e_fail "quillon ended"
exit 0
