#!/usr/bin/env bash
# The console's log tab as a screen reader meets it: over the accessibility bus (AT-SPI) the
# log view is a table whose columns carry the header's names and whose cells carry every
# record's texts, the same as `quillon-reg log` prints.
source "$(dirname "$0")/e2e_lib.sh"
e2e_enter "$@"

MAIN_TITLE="Quillon防火墙"
LAUNCHER=/usr/libexec/at-spi-bus-launcher
command -v dbus-daemon >/dev/null || e2e_fail "dbus-daemon is missing (bash scripts/test.sh installs it)"
[ -x "$LAUNCHER" ] || e2e_fail "at-spi-bus-launcher is missing (bash scripts/test.sh installs at-spi2-core)"
/usr/bin/python3 -c 'from gi.repository import Gio' ||
    e2e_fail "python3-gi is missing (bash scripts/test.sh installs it)"

reg add "$QL_OPTIONS" seclvl 3 || e2e_fail "cannot store the level"
printf '"1:02:03-2005-7-1","10.0.0.1","80","40000","已断开连接"\r\n"1:02:04-2005-7-1","10.0.0.2","443","40001","允许连接"\r\n' |
    iconv -f UTF-8 -t GBK >"$E2E_LOG"

e2e_start_x
# A session bus of the test's own with the accessibility bus's launcher on it; Qt speaks
# AT-SPI only when asked, or always with QT_LINUX_ACCESSIBILITY_ALWAYS_ON.
export DBUS_SESSION_BUS_ADDRESS=unix:path=$E2E_WORK/bus
e2e_spawn E2E_BUS_PID dbus-daemon --session --nofork --address="$DBUS_SESSION_BUS_ADDRESS"
e2e_wait_for 5 "the session bus" test -S "$E2E_WORK/bus"
e2e_spawn E2E_A11Y_PID "$LAUNCHER" --launch-immediately
a11y_up() { /usr/bin/python3 "$E2E_DIR/a11y_table.py" address >/dev/null 2>&1; }
e2e_wait_for 10 "the accessibility bus" a11y_up
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1

e2e_start_tray
e2e_start_quillon
e2e_wait_started
tray_double_click
main_shown() { [ -n "$(window_by_title "$MAIN_TITLE")" ]; }
e2e_wait_for 5 "the main window" main_shown
open_console "$(window_by_title "$MAIN_TITLE")"

want=$( { printf '记录时间\tIP地址\t远程端口\t本机端口\t信息\n'; reg log | sort; } )
read_table() {
    /usr/bin/python3 "$E2E_DIR/a11y_table.py" table quillon 5 >"$E2E_WORK/table" 2>"$E2E_WORK/table.err" &&
        [ "$(sed -n 1p "$E2E_WORK/table"; sed 1d "$E2E_WORK/table" | sort)" = "$want" ]
}
if ! e2e_poll 10 read_table; then
    e2e_log "read: $(cat "$E2E_WORK/table" "$E2E_WORK/table.err")"
    e2e_log "want: $want"
    e2e_fail "the log tab does not read as a table of the log's records"
fi
e2e_log "read over the accessibility bus: $(tr '\t\n' ' |' <"$E2E_WORK/table")"
quillon_alive || e2e_fail "quillon ended"
exit 0
