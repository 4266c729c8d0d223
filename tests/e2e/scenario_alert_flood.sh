#!/usr/bin/env bash
# Twenty unknown connections at once, each on an address and port of its own, open no more
# than twelve alerts; answering one opens the next in its place.
source "$(dirname "$0")/e2e_lib.sh"
e2e_enter "$@"

COUNT=20
ALERT_TITLE="Quillon提醒您"

reg add "$QL_OPTIONS" seclvl 2 || e2e_fail "cannot store the level"
# The listeners' sides of the connections come from 127.0.0.1: allowed.
reg add "$QL_IP" 127.0.0.1 0 || e2e_fail "cannot store the allow rule"

for ((i = 0; i < COUNT; i++)); do
    e2e_listen "127.0.0.$((20 + i))" $((6000 + i)) "LISTENER$i"
done
e2e_start_x
e2e_start_tray
e2e_start_quillon
e2e_wait_started

for ((i = 0; i < COUNT; i++)); do
    e2e_connect "127.0.0.$((20 + i))" $((6000 + i)) 60 "$E2E_WORK/client$i" "CLIENT$i"
done

alert_count() { windows_by_title "$ALERT_TITLE" | wc -l; }
twelve_alerts() { [ "$(alert_count)" -eq 12 ]; }
e2e_wait_for 10 "twelve alert windows" twelve_alerts
sleep 1
n=$(alert_count)
[ "$n" -eq 12 ] || e2e_fail "$n alert windows open instead of 12"
alert=$(windows_by_title "$ALERT_TITLE" | head -n 1)
e2e_screenshot "$alert" alert-flood

# "放行通过" (Command2, 3000, 3240, 1215 x 375 twips) answers the topmost one; the next waiting
# question takes its place.
before=$(log_text | grep -c "允许连接" || true)
click_control "$alert" 3000 3240 1215 375
answered() { [ "$(log_text | grep -c "允许连接" || true)" -gt "$before" ]; }
e2e_wait_for 5 "the answer" answered
sleep 1
n=$(alert_count)
[ "$n" -eq 12 ] || e2e_fail "$n alert windows open after one answer instead of 12"
quillon_alive || e2e_fail "quillon ended"
exit 0
