#!/usr/bin/env bash
# An IPv6 connection on ::1 is judged like an IPv4 one: at the medium level it raises the
# alert, its answer "禁止 ip" stores the address in its canonical text (::1) and logs
# "拒绝IP连接", and the next rebuild cuts the connection.
source "$(dirname "$0")/e2e_lib.sh"
e2e_enter "$@"

PORT=5557
OTHER_PORT=5558
ALERT_TITLE="Quillon提醒您"

reg add "$QL_OPTIONS" seclvl 2 || e2e_fail "cannot store the level"
# The connection that brings the next rebuild runs over IPv4 from 127.0.0.1: allowed.
reg add "$QL_IP" 127.0.0.1 0 || e2e_fail "cannot store the allow rule"

e2e_listen ::1 "$PORT" LISTENER
e2e_listen 127.0.0.1 "$OTHER_PORT" OTHER_LISTENER
e2e_start_x
e2e_start_tray
e2e_start_quillon
e2e_wait_started

client=$E2E_WORK/client
e2e_connect ::1 "$PORT" 30 "$client" CLIENT
lport=$(client_port "$client")
e2e_log "client connected from local port $lport"

# Both ends of the pair have the remote address ::1: one question covers them.
has_alert() { [ -n "$(window_by_title "$ALERT_TITLE")" ]; }
e2e_wait_for 5 "the alert window" has_alert
alerts=$(windows_by_title "$ALERT_TITLE" | wc -l)
[ "$alerts" -eq 1 ] || e2e_fail "$alerts alert windows instead of one"
alert=$(window_by_title "$ALERT_TITLE")
e2e_screenshot "$alert" alert-ipv6-connection
[ -z "$(client_end "$client")" ] || e2e_fail "the connection ended while the alert was open"

# "禁止 ip" is Command1, at 960, 2640 (1215 x 375 twips) in the alert.
click_control "$alert" 960 2640 1215 375
alert_gone() { [ -z "$(window_by_title "$ALERT_TITLE")" ]; }
e2e_wait_for 5 "the alert window to close" alert_gone

stored=$(reg query "$QL_IP" ::1) || e2e_fail "no rule stored for ::1"
[ "$stored" = 1 ] || e2e_fail "the rule for ::1 is '$stored', not \"1\""
# The question was about whichever end of the pair the kernel listed first.
pair_count() { echo $(($(log_count ::1 "$PORT" "$lport" "$1") + $(log_count ::1 "$lport" "$PORT" "$1"))); }
n=$(pair_count "拒绝IP连接")
[ "$n" -eq 1 ] || e2e_fail "WDlog.log holds $n \"拒绝IP连接\" records for ::1 instead of one"

# The next check cuts the denied connection; another (allowed) one is left alone.
e2e_connect 127.0.0.1 "$OTHER_PORT" 30 "$E2E_WORK/other" OTHER
e2e_wait_for 2 "the denied connection to be cut" client_ended "$client"
end=$(client_end "$client")
# Cut itself, or reset by its cut peer when the kernel listed the listener's end first.
case "${end%% *}" in
aborted | reset) ;;
*) e2e_fail "the client saw '$end' instead of the connection being cut" ;;
esac
n=$(pair_count "已断开连接")
[ "$n" -ge 1 ] || e2e_fail "WDlog.log holds no \"已断开连接\" record for ::1"
[ -z "$(client_end "$E2E_WORK/other")" ] || e2e_fail "the allowed connection was ended too"
[ -z "$(window_by_title "$ALERT_TITLE")" ] || e2e_fail "an alert window opened again"
quillon_alive || e2e_fail "quillon ended"
exit 0
