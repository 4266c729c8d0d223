#!/usr/bin/env bash
# Start: Quillon comes up into the tray (its icon embedded in the tray host, no window of it on
# screen, the splash gone), and a second start while it runs ends at once and leaves the first
# running with its icon.
source "$(dirname "$0")/e2e_lib.sh"
e2e_enter "$@"

e2e_start_x
e2e_start_tray
e2e_start_quillon
e2e_wait_started
icon=$(tray_icon_id)

# The splash must have been hidden, not merely never shown: nothing of Quillon's is on screen.
[ -z "$(visible_windows "$E2E_QUILLON_PID")" ] || e2e_fail "a Quillon window is on screen after start-up"

# Start-up wrote the autostart entry pointing at the running binary.
grep -qx "Exec=.*$E2E_PROG/quillon.*" /etc/xdg/autostart/quillon.desktop ||
    e2e_fail "the autostart entry does not start $E2E_PROG/quillon"

# A second copy ends at once (bounded), without showing anything.
start=$(date +%s%N)
timeout 10 "$E2E_PROG/quillon" >"$E2E_WORK/second.out" 2>&1
rc=$?
elapsed=$((($(date +%s%N) - start) / 1000000))
[ "$rc" -ne 124 ] || e2e_fail "the second quillon was still running after 10 s"
e2e_log "second quillon ended with $rc after ${elapsed} ms"
[ "$elapsed" -lt 3000 ] || e2e_fail "the second quillon took ${elapsed} ms to end"

# The first keeps running with the same icon, still without a window.
sleep 0.5
quillon_alive || e2e_fail "the first quillon ended when the second one started"
[ "$(tray_icon_id)" = "$icon" ] || e2e_fail "the tray icon changed after the second start"
[ -z "$(visible_windows "$E2E_QUILLON_PID")" ] || e2e_fail "a window appeared after the second start"
exit 0
