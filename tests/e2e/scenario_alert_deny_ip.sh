#!/usr/bin/env bash
# An unknown connection at the medium level raises the alert "Quillon提醒您"; its answer
# "禁止 ip" stores the deny rule, logs "拒绝IP连接" and closes the window, and the next check
# cuts the connection, though no other connection came or went.
source "$(dirname "$0")/e2e_lib.sh"
e2e_enter "$@"

UNKNOWN=127.0.0.7
PORT=5555
ALERT_TITLE="Quillon提醒您"

reg add "$QL_OPTIONS" seclvl 2 || e2e_fail "cannot store the level"
# The listeners' sides of the connections come from 127.0.0.1: allowed, so that only the
# client's side is in question.
reg add "$QL_IP" 127.0.0.1 0 || e2e_fail "cannot store the allow rule"

e2e_listen "$UNKNOWN" "$PORT" LISTENER
e2e_start_x
e2e_start_tray
e2e_start_quillon
e2e_wait_started

client=$E2E_WORK/client
e2e_connect "$UNKNOWN" "$PORT" 30 "$client" CLIENT
lport=$(client_port "$client")
e2e_log "client connected from local port $lport"

has_alert() { [ -n "$(window_by_title "$ALERT_TITLE")" ]; }
e2e_wait_for 5 "the alert window" has_alert
alerts=$(windows_by_title "$ALERT_TITLE" | wc -l)
[ "$alerts" -eq 1 ] || e2e_fail "$alerts alert windows instead of one"
alert=$(window_by_title "$ALERT_TITLE")
read -r ax ay aw ah < <(window_geometry "$alert")
e2e_log "alert $alert at $ax,$ay size ${aw}x$ah"
# Topmost and centred on the screen (within a pixel of rounding).
cx=$(((E2E_SCREEN_W - aw) / 2)) cy=$(((E2E_SCREEN_H - ah) / 2))
((ax - cx <= 1 && cx - ax <= 1 && ay - cy <= 1 && cy - ay <= 1)) ||
    e2e_fail "the alert is at $ax,$ay, not centred at $cx,$cy"
e2e_screenshot "$alert" alert-unknown-connection
[ -z "$(client_end "$client")" ] || e2e_fail "the connection ended while the alert was open"

# "禁止 ip" is Command1, at 960, 2640 (1215 x 375 twips) in the alert.
click_control "$alert" 960 2640 1215 375
alert_gone() { [ -z "$(window_by_title "$ALERT_TITLE")" ]; }
e2e_wait_for 5 "the alert window to close" alert_gone

stored=$(reg query "$QL_IP" "$UNKNOWN") || e2e_fail "no rule stored for $UNKNOWN"
[ "$stored" = 1 ] || e2e_fail "the rule for $UNKNOWN is '$stored', not \"1\""
n=$(log_count "$UNKNOWN" "$PORT" "$lport" "拒绝IP连接")
[ "$n" -eq 1 ] || e2e_fail "WDlog.log holds $n \"拒绝IP连接\" records instead of one"
# The answer's own rebuild left the connection alone, its entry still pending; once the window
# has closed, the next check judges it again with the table unchanged.
e2e_wait_for 2 "the denied connection to be cut" client_ended "$client"
end=$(client_end "$client")
[ "${end%% *}" = aborted ] || e2e_fail "the client saw '$end' instead of the connection being aborted"
# The kernel guard cuts the moment the question's hold goes; its record follows from Quillon.
cut_logged() { [ "$(log_count "$UNKNOWN" "$PORT" "$lport" "已断开连接")" -ge 1 ]; }
e2e_wait_for 2 "the cut's record" cut_logged
sleep 0.5
n=$(log_count "$UNKNOWN" "$PORT" "$lport" "已断开连接")
[ "$n" -eq 1 ] || e2e_fail "WDlog.log holds $n \"已断开连接\" records instead of one"
[ -z "$(window_by_title "$ALERT_TITLE")" ] || e2e_fail "an alert window opened again"
quillon_alive || e2e_fail "quillon ended"
exit 0
