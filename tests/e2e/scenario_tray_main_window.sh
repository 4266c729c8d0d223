#!/usr/bin/env bash
# The tray: a double-click on the icon shows the main window with the test's connections and
# another hides it; closing the window hides it with the tray prompt "提示"; the tray menu's
# "E&退出" opens the exit prompt, whose "是的" ends the process and removes the icon.
source "$(dirname "$0")/e2e_lib.sh"
e2e_enter "$@"

MAIN_TITLE="Quillon防火墙"
PROMPT_TITLE="提示"

reg add "$QL_OPTIONS" seclvl 2 || e2e_fail "cannot store the level"
reg add "$QL_IP" 127.0.0.1 0 || e2e_fail "cannot store the allow rule"

e2e_listen 127.0.0.1 6001 LISTENER
e2e_start_x
e2e_start_tray
e2e_start_quillon
e2e_wait_started

# Three connections: six rows besides the listener's.
for i in 1 2 3; do
    e2e_connect 127.0.0.1 6001 60 "$E2E_WORK/client$i" "CLIENT$i"
done

main_shown() { [ -n "$(window_by_title "$MAIN_TITLE")" ]; }
main_hidden() { ! main_shown; }

tray_double_click
e2e_wait_for 5 "the main window after a double-click on the tray icon" main_shown
main=$(window_by_title "$MAIN_TITLE")
e2e_log "main window $main: $(window_geometry "$main")"

# The list shows one line per connection under its header: the listener and the six ends of
# the three connections.
e2e_poll 3 list_rows_are "$main" 7 || e2e_fail "the list shows $(list_rows "$main") rows instead of 7"
e2e_screenshot "$main" main-window

tray_double_click
e2e_wait_for 5 "the main window to hide after a second double-click" main_hidden
tray_double_click
e2e_wait_for 5 "the main window to show again" main_shown
main=$(window_by_title "$MAIN_TITLE")

# The frame's own close button Imclose stands at W - 465 twips, top 120 (255 x 240 twips).
read -r _ _ mw _ < <(window_geometry "$main")
click_control "$main" $((mw * TWIPS - 465)) 120 255 240
e2e_wait_for 5 "the main window to hide when closed" main_hidden
prompt_shown() { [ -n "$(window_by_title "$PROMPT_TITLE")" ]; }
e2e_wait_for 5 "the tray prompt" prompt_shown
prompt=$(window_by_title "$PROMPT_TITLE")
e2e_screenshot "$prompt" tray-prompt
# Its "是的" (Command1, 1320, 1560, 1095 x 375 twips) acknowledges it.
click_control "$prompt" 1320 1560 1095 375
prompt_gone() { [ -z "$(window_by_title "$PROMPT_TITLE")" ]; }
e2e_wait_for 5 "the tray prompt to close" prompt_gone
quillon_alive || e2e_fail "closing the main window ended the program"
[ -n "$(tray_icon_id)" ] || e2e_fail "the tray icon is gone after closing the main window"

# Tray menu: "&打开", separator, "E&退出". The last item is "E&退出".
tray_right_click
menu_open() { popup_menu_id >/dev/null; }
e2e_wait_for 5 "the tray menu" menu_open
menu=$(popup_menu_id)
read -r x y w h < <(window_geometry "$menu")
e2e_log "tray menu $menu at $x,$y size ${w}x$h"
e2e_screenshot "$menu" tray-menu
xdotool mousemove $((x + w / 2)) $((y + h - 8)) click 1
e2e_wait_for 5 "the exit prompt" prompt_shown
prompt=$(window_by_title "$PROMPT_TITLE")
quillon_alive || e2e_fail "the program ended before the exit was confirmed"
[ -n "$(tray_icon_id)" ] || e2e_fail "the tray icon went before the exit was confirmed"
e2e_screenshot "$prompt" exit-prompt
# "是的" of the exit prompt: Command1, 885, 1260, 1335 x 375 twips.
click_control "$prompt" 885 1260 1335 375
quillon_gone() { ! quillon_alive; }
e2e_wait_for 3 "quillon to end after the exit was confirmed" quillon_gone
no_icon() { [ -z "$(tray_icon_id)" ]; }
e2e_wait_for 3 "the tray icon to go" no_icon
wait "$E2E_QUILLON_PID"
e2e_log "quillon ended with $?"
exit 0
