#!/usr/bin/env bash
# The D-Bus tray: with a StatusNotifierWatcher on the session bus, Quillon registers its icon
# there instead of the X tray. The host's activation (a single click) shows the main window
# and a second one hides it; the host's context menu request pops up the tray menu at the
# pointer, whose "&打开" shows the window, and brings it forward when another window covers it.
source "$(dirname "$0")/e2e_lib.sh"
e2e_enter "$@"

MAIN_TITLE="Quillon防火墙"
SNI=(/usr/bin/python3 "$E2E_DIR/sni_host.py")
command -v dbus-daemon >/dev/null || e2e_fail "dbus-daemon is missing (bash scripts/test.sh installs it)"
/usr/bin/python3 -c 'from gi.repository import Gio' ||
    e2e_fail "python3-gi is missing (bash scripts/test.sh installs it)"

reg add "$QL_OPTIONS" seclvl 3 || e2e_fail "cannot store the level"

e2e_start_x
# A session bus of the test's own, and the desktop's tray host on it.
export DBUS_SESSION_BUS_ADDRESS=unix:path=$E2E_WORK/bus
e2e_spawn E2E_BUS_PID dbus-daemon --session --nofork --address="$DBUS_SESSION_BUS_ADDRESS"
e2e_wait_for 5 "the session bus" test -S "$E2E_WORK/bus"
e2e_spawn E2E_HOST_PID "${SNI[@]}" watch >"$E2E_WORK/host.out"
e2e_wait_for 5 "the tray host on the bus" grep -q '^watching' "$E2E_WORK/host.out"

e2e_start_quillon
e2e_wait_for 15 "the icon to register with the host" grep -q '^registered ' "$E2E_WORK/host.out"
item=$(awk '/^registered / {print $2; exit}' "$E2E_WORK/host.out")
e2e_log "icon registered as $item"
no_windows() { [ -z "$(visible_windows "$E2E_QUILLON_PID")" ]; }
e2e_wait_for 15 "the end of start-up (no window left on screen)" no_windows
[ -z "$(tray_panel_id 2>/dev/null)" ] || e2e_fail "an X tray is running"

main_shown() { [ -n "$(window_by_title "$MAIN_TITLE")" ]; }
main_hidden() { ! main_shown; }
item_call() { "${SNI[@]}" call "$item" "$1" || e2e_fail "the item does not answer $1"; }

item_call Activate
e2e_wait_for 5 "the main window after an activation" main_shown
item_call Activate
e2e_wait_for 5 "the main window to hide after a second activation" main_hidden

# The host passes no position Qt would use: the menu opens at the pointer.
xdotool mousemove 400 300
item_call ContextMenu
menu_open() { popup_menu_id >/dev/null; }
e2e_wait_for 5 "the tray menu" menu_open
menu=$(popup_menu_id)
read -r x y w h < <(window_geometry "$menu")
e2e_log "tray menu $menu at $x,$y size ${w}x$h"
((x >= 390 && x <= 410 && y >= 290 && y <= 310)) || e2e_fail "the menu is not at the pointer"
e2e_screenshot "$menu" sni-tray-menu
# "&打开" is the menu's first line.
click_open() { xdotool mousemove $((x + w / 2)) $((y + 12)) click 1; }
click_open
e2e_wait_for 5 "the main window from the menu's \"&打开\"" main_shown
main=$(window_by_title "$MAIN_TITLE")

# Shown but covered by another program's window, "&打开" brings it forward with the focus.
e2e_spawn COVER_PID xmessage -title cover -geometry 1000x800+100+100 cover
cover_id() { xdotool search --onlyvisible --name '^cover$' 2>/dev/null | head -n1; }
e2e_wait_for 5 "the covering window" cover_id
cover=$(printf '0x%x' "$(cover_id)") # xdotool says ids in decimal, xwininfo in hex
# xwininfo lists the top-level windows top first: is $1 above $2?
above() {
    xwininfo -root -children | awk -v a="$1" -v b="$2" '$1 == a {ia = NR} $1 == b {ib = NR} END {exit !(ia && ib && ia < ib)}'
}
above "$cover" "$main" || e2e_fail "the cover ($cover) is not above the main window ($main)"
item_call ContextMenu
e2e_wait_for 5 "the tray menu" menu_open
read -r x y w h < <(window_geometry "$(popup_menu_id)")
click_open
main_on_top() { above "$main" "$cover" && [ "$(xdotool getwindowfocus)" = "$((main))" ]; }
e2e_wait_for 5 "\"&打开\" to bring the covered main window forward with the focus" main_on_top
quillon_alive || e2e_fail "quillon ended"
exit 0
