#!/usr/bin/env bash
# Without a tray there is nowhere to hide: the main window stays on screen at the end of
# start-up, and closing it asks whether to end Quillon; "是的" ends it.
source "$(dirname "$0")/e2e_lib.sh"
e2e_enter "$@"

MAIN_TITLE="Quillon防火墙"
PROMPT_TITLE="提示"

e2e_start_x
e2e_start_quillon

# The splash carries the same title; the main window is the one of the main window's size
# (6735 x 5385 twips) that stays once the splash is gone.
main_alone() {
    local windows
    windows=$(windows_by_title "$MAIN_TITLE")
    [ "$(wc -w <<<"$windows")" -eq 1 ] || return 1
    read -r _ _ w h < <(window_geometry "$windows")
    [ "$w" -eq $((6735 / TWIPS)) ] && [ "$h" -ge $((5385 / TWIPS)) ]
}
e2e_wait_for 15 "the main window alone on screen after start-up" main_alone
main=$(window_by_title "$MAIN_TITLE")
e2e_log "main window $main: $(window_geometry "$main")"
sleep 1
quillon_alive || e2e_fail "quillon ended"
main_alone || e2e_fail "the main window did not stay on screen"
e2e_screenshot "$main" main-window-no-tray

read -r _ _ mw _ < <(window_geometry "$main")
click_control "$main" $((mw * TWIPS - 465)) 120 255 240
prompt_shown() { [ -n "$(window_by_title "$PROMPT_TITLE")" ]; }
e2e_wait_for 5 "the exit prompt" prompt_shown
prompt=$(window_by_title "$PROMPT_TITLE")
read -r _ _ pw ph < <(window_geometry "$prompt")
# The exit prompt (4635 x 2535 twips), not the tray notice (3915 x 2355).
[ "$pw" -eq $((4635 / TWIPS)) ] || e2e_fail "the prompt is ${pw}x$ph, not the exit prompt"
click_control "$prompt" 885 1260 1335 375
quillon_gone() { ! quillon_alive; }
e2e_wait_for 3 "quillon to end after the exit was confirmed" quillon_gone
exit 0
