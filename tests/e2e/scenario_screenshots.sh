#!/usr/bin/env bash
# Pictures for review, saved under <build>/e2e: an alert about a connection to a known trojan
# port (answered with "放行通过"), the main window listing connections, and its console opened
# from the toolbar.
source "$(dirname "$0")/e2e_lib.sh"
e2e_enter "$@"

MAIN_TITLE="Quillon防火墙"
CONSOLE_TITLE="控制台"
ALERT_TITLE="Quillon提醒您"
# 12345 is in the shipped trojan table, so the alert shows what is known about it.
SUSPECT=127.0.0.66
SUSPECT_PORT=12345

reg add "$QL_OPTIONS" seclvl 2 || e2e_fail "cannot store the level"
reg add "$QL_IP" 127.0.0.1 0 || e2e_fail "cannot store the allow rule"

e2e_listen 127.0.0.1 8080 WEB
e2e_listen 127.0.0.1 5432 DB
e2e_listen "$SUSPECT" "$SUSPECT_PORT" SUSPECT_LISTENER
e2e_start_x
e2e_start_tray
e2e_start_quillon
e2e_wait_started
e2e_connect 127.0.0.1 8080 60 "$E2E_WORK/web" WEB_CLIENT
e2e_connect 127.0.0.1 5432 60 "$E2E_WORK/db" DB_CLIENT

# The alert first, on the bare desktop: every window of Quillon is taken on its own, and
# pixels of windows in front of it would show in its picture.
e2e_connect "$SUSPECT" "$SUSPECT_PORT" 60 "$E2E_WORK/suspect" SUSPECT_CLIENT
alert_shown() { [ -n "$(window_by_title "$ALERT_TITLE")" ]; }
e2e_wait_for 5 "the alert" alert_shown
sleep 0.3
alert=$(window_by_title "$ALERT_TITLE")
e2e_screenshot "$alert" alert
# "放行通过" (Command2, 3000, 3240, 1215 x 375 twips) lets it pass and closes the alert.
click_control "$alert" 3000 3240 1215 375
alert_gone() { [ -z "$(window_by_title "$ALERT_TITLE")" ]; }
e2e_wait_for 5 "the alert to close" alert_gone
[ "$(reg query "$QL_IP" "$SUSPECT")" = 0 ] || e2e_fail "放行通过 did not allow $SUSPECT"

main_shown() { [ -n "$(window_by_title "$MAIN_TITLE")" ]; }
tray_double_click
e2e_wait_for 5 "the main window" main_shown
main=$(window_by_title "$MAIN_TITLE")
# Three listeners and three connections of two ends each.
e2e_poll 3 list_rows_are "$main" 9 || e2e_fail "the list shows $(list_rows "$main") rows instead of 9"
e2e_screenshot "$main" main-window
# The program column stands right of the four the list has always had: page the list to it
# through the trough of its horizontal scroll bar (its bottom 17 pixels), then back.
for _ in 1 2 3; do
    click_control "$main" 4725 4470 300 225
    sleep 0.2
done
e2e_screenshot "$main" main-window-program-column
# The program cell's tooltip holds the whole program line: rest the pointer on the first
# row's program cell (the list starts 240, 600 twips into the window, its header and the
# first row take about 26 pixels) and take the screen, since a tooltip is a window of its own.
read -r wx wy _ _ < <(window_geometry "$main")
xdotool mousemove $((wx + 4725 / TWIPS)) $((wy + 600 / TWIPS + 26))
sleep 1.5
e2e_screenshot root main-window-program-tooltip
xdotool mousemove $((wx + 10)) $((wy + 10))
for _ in 1 2 3; do
    click_control "$main" 600 4470 300 225
    sleep 0.2
done

open_console "$main"
sleep 0.3
e2e_screenshot "$(window_by_title "$CONSOLE_TITLE")" console

e2e_screenshot root desktop
[ -n "$(client_end "$E2E_WORK/suspect")" ] && e2e_fail "the allowed connection was ended"
for f in main-window main-window-program-column console alert; do
    [ -s "$E2E_OUT/$f.png" ] || e2e_fail "no $f.png"
done
exit 0
