# Shared set-up for the end-to-end scenarios; sourced by each scenario_*.sh.
#
# A scenario calls e2e_enter first. As root, that re-runs the scenario inside private network,
# mount and PID namespaces, so that the TCP table, the rule hive, the autostart folder, the
# instance lock and every process started here belong to the test alone: when the scenario
# ends, the namespace's first process ends and the kernel ends whatever it left behind.
# Inside, the scenario starts an X server (e2e_start_x), a tray host (e2e_start_tray) and
# Quillon (e2e_start_quillon), then drives it with xdotool as a person would.
#
# Environment (set by tests/e2e/CMakeLists.txt):
#   QUILLON_BIN_DIR  folder of the built quillon, quillon-reg, QLWD.dat and SPLH.jpg
#   QUILLON_E2E_OUT  folder for screenshots and the logs of failed runs

E2E_SKIP=77 # ctest's SKIP_RETURN_CODE for these tests
E2E_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
E2E_NAME=$(basename "$0" .sh)
E2E_NAME=${E2E_NAME#scenario_}

# The product key and its sub-keys, as quillon-reg names them.
QL_KEY='HKEY_LOCAL_MACHINE\SOFTWARE\Larkspire Works\LarkPF'
QL_OPTIONS="$QL_KEY\\options"
QL_IP="$QL_KEY\\block\\ip"
QL_RP="$QL_KEY\\block\\rp"
QL_LP="$QL_KEY\\block\\lp"

# Twips per pixel: window layouts are given in twips.
TWIPS=15

e2e_log() { printf '[e2e %s %s] %s\n' "$E2E_NAME" "$(date +%T.%3N)" "$*"; }

e2e_fail() {
    e2e_log "FAIL: $*"
    e2e_dump_state
    exit 1
}

e2e_skip() {
    echo "SKIP: $*"
    exit "$E2E_SKIP"
}

# ---------------------------------------------------------------------------------------------
# Namespaces and private folders

e2e_enter() {
    if [ -n "${QUILLON_E2E_INSIDE:-}" ]; then
        e2e_setup_inside
        return
    fi
    [ "$(id -u)" -eq 0 ] ||
        e2e_skip "end-to-end tests need root (private network and mount namespaces, cutting connections)"
    unshare --net --mount true 2>/dev/null ||
        e2e_skip "this machine does not allow new network and mount namespaces (unshare failed)"
    local missing=() t
    for t in Xvfb trayer xdotool xprop xwininfo xdpyinfo import convert ip iconv python3; do
        command -v "$t" >/dev/null || missing+=("$t")
    done
    [ ${#missing[@]} -eq 0 ] ||
        e2e_fail_early "missing tools: ${missing[*]} (bash scripts/test.sh installs them)"
    [ -n "${QUILLON_BIN_DIR:-}" ] || e2e_fail_early "QUILLON_BIN_DIR is not set"
    for t in quillon quillon-reg quillon-cut QLWD.dat SPLH.jpg; do
        [ -e "$QUILLON_BIN_DIR/$t" ] || e2e_fail_early "$QUILLON_BIN_DIR/$t has not been built"
    done
    # --kill-child: if ctest kills this test on a timeout, the namespace goes with it.
    QUILLON_E2E_INSIDE=1 exec unshare --net --mount --pid --fork --mount-proc --kill-child \
        --propagation private bash "$0" "$@"
}

e2e_fail_early() {
    echo "FAIL: $*"
    exit 1
}

e2e_setup_inside() {
    set -uo pipefail
    mount --make-rprivate /
    ip link set lo up || e2e_fail "cannot bring lo up"
    local d
    # The hive, the autostart entry and the instance lock are the test's own; the X socket
    # folder too, so that the display's socket is not seen outside.
    E2E_WORK=$(mktemp -d /tmp/quillon-e2e.XXXXXX)
    # Its content lives in the namespace's memory and disappears with it, whatever happens.
    mount -t tmpfs tmpfs "$E2E_WORK" || e2e_fail "cannot mount $E2E_WORK"
    E2E_PIDS=()
    trap e2e_cleanup EXIT
    trap 'exit 1' INT TERM
    for d in /etc/xdg/autostart /run/lock /tmp/.X11-unix; do
        mkdir -p "$d" && mount -t tmpfs -o mode=1777 tmpfs "$d" || e2e_fail "cannot mount a private $d"
    done
    # The hive folder is root's, as an install leaves it (root uses no hive in a folder others
    # can change). Its mount point is made in an overlay of /var/lib, so that nothing of it is
    # left on the machine's own disk.
    mkdir -p "$E2E_WORK/varlib/upper" "$E2E_WORK/varlib/work"
    mount -t overlay overlay \
        -o "lowerdir=/var/lib,upperdir=$E2E_WORK/varlib/upper,workdir=$E2E_WORK/varlib/work" /var/lib &&
        mkdir -p /var/lib/quillon && mount -t tmpfs -o mode=0755 tmpfs /var/lib/quillon ||
        e2e_fail "cannot mount a private /var/lib/quillon"

    # The program folder is copied so that WDlog.log beside the binary is this test's own. It
    # is root's, as an install leaves it (/opt is the namespace's own): root writes no log in a
    # folder that others can write.
    mount -t tmpfs -o mode=0755 tmpfs /opt || e2e_fail "cannot mount a private /opt"
    E2E_PROG=/opt/quillon
    mkdir -m 0755 "$E2E_PROG"
    cp "$QUILLON_BIN_DIR"/{quillon,quillon-reg,quillon-cut,QLWD.dat,SPLH.jpg} "$E2E_PROG"/
    E2E_LOG=$E2E_PROG/WDlog.log
    E2E_OUT=${QUILLON_E2E_OUT:-$QUILLON_BIN_DIR/../e2e}
    mkdir -p "$E2E_OUT"

    export XDG_RUNTIME_DIR=$E2E_WORK/runtime
    mkdir -m 700 "$XDG_RUNTIME_DIR"
    export HOME=$E2E_WORK/home
    mkdir -p "$HOME"
    # Qt must use the X tray protocol that trayer speaks, not a desktop bus.
    unset DBUS_SESSION_BUS_ADDRESS WAYLAND_DISPLAY QT_QPA_PLATFORMTHEME
    export QT_QPA_PLATFORM=xcb
    export LANG=C.UTF-8
    e2e_log "namespace ready, program folder $E2E_PROG"
}

e2e_cleanup() {
    local rc=$? i
    # Children first, in reverse order of start (Quillon before the tray before X).
    for ((i = ${#E2E_PIDS[@]} - 1; i >= 0; i--)); do
        kill "${E2E_PIDS[i]}" 2>/dev/null
    done
    for ((i = ${#E2E_PIDS[@]} - 1; i >= 0; i--)); do
        wait "${E2E_PIDS[i]}" 2>/dev/null
    done
    umount /var/lib/quillon /var/lib 2>/dev/null
    umount "$E2E_WORK" 2>/dev/null
    rmdir "$E2E_WORK" 2>/dev/null
    if [ "$rc" -eq 0 ]; then
        e2e_log "PASS"
    fi
    exit "$rc"
}

# Starts a command in the background and remembers its PID for the clean-up.
# Usage: e2e_spawn VAR command args...   (the PID is stored in VAR)
e2e_spawn() {
    local var=$1
    shift
    "$@" &
    local pid=$!
    E2E_PIDS+=("$pid")
    printf -v "$var" '%s' "$pid"
}

# Bounded wait: e2e_wait_for SECONDS DESCRIPTION command args...
# Runs the command every 50 ms until it succeeds; fails the test when time runs out.
e2e_wait_for() {
    local seconds=$1 what=$2
    shift 2
    if ! e2e_poll "$seconds" "$@"; then
        e2e_fail "timed out after ${seconds}s waiting for $what"
    fi
}

# Like e2e_wait_for, but returns 1 instead of failing.
e2e_poll() {
    local deadline=$((${EPOCHREALTIME/./} + $1 * 1000000))
    shift
    while true; do
        "$@" >/dev/null && return 0
        ((${EPOCHREALTIME/./} < deadline)) || return 1
        sleep 0.05
    done
}

# ---------------------------------------------------------------------------------------------
# X server and tray host

E2E_SCREEN_W=1280
E2E_SCREEN_H=1024

e2e_start_x() {
    local fdfile=$E2E_WORK/displayfd fd
    : >"$fdfile"
    # -displayfd: the server picks a free display number and writes it once it listens.
    exec {fd}>"$fdfile"
    # -wr: a white desktop, so that the rounded corners of the windows' pictures are white.
    e2e_spawn E2E_XVFB_PID Xvfb -displayfd "$fd" -screen 0 "${E2E_SCREEN_W}x${E2E_SCREEN_H}x24" \
        -wr -nolisten tcp -noreset
    exec {fd}>&-
    e2e_wait_for 15 "Xvfb to report its display" test -s "$fdfile"
    export DISPLAY=:$(head -n1 "$fdfile")
    e2e_wait_for 10 "the X server to answer" xdpyinfo_quiet
    e2e_log "X server on $DISPLAY"
}

xdpyinfo_quiet() { xdpyinfo >/dev/null 2>&1; }

e2e_start_tray() {
    e2e_spawn E2E_TRAYER_PID trayer --edge bottom --align right --widthtype pixel --width 240 \
        --height 32 --transparent false --tint 0xffffff --SetDockType false
    e2e_wait_for 10 "the tray host's panel window" tray_panel_id
    e2e_log "tray host ready (panel $(tray_panel_id))"
}

# The tray host's panel window (trayer names it "panel").
tray_panel_id() {
    xwininfo -root -children 2>/dev/null | awk '/"panel": \("panel" "trayer"\)/ {print $1; f=1} END {exit !f}'
}

# ---------------------------------------------------------------------------------------------
# Quillon

e2e_start_quillon() {
    e2e_spawn E2E_QUILLON_PID "$E2E_PROG/quillon" >>"$E2E_WORK/quillon.out" 2>&1
    e2e_log "quillon started, pid $E2E_QUILLON_PID"
}

# True while Quillon runs (an ended process that has not been waited for yet does not count).
quillon_alive() {
    local stat
    stat=$(cat "/proc/$E2E_QUILLON_PID/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    [ "${stat%% *}" != Z ]
}

# Waits for the end of Quillon's start-up: its icon is embedded in the tray and neither the
# splash nor any other window of it is on screen.
e2e_wait_started() {
    local deadline=$((${EPOCHREALTIME/./} + 15000000))
    while ((${EPOCHREALTIME/./} < deadline)); do
        quillon_alive || e2e_fail "quillon ended during start-up"
        if [ -n "$(tray_icon_id)" ] && [ -z "$(visible_windows "$E2E_QUILLON_PID")" ]; then
            e2e_log "start-up done: tray icon $(tray_icon_id)"
            return 0
        fi
        sleep 0.02
    done
    e2e_fail "start-up did not end with a tray icon and no window (icon: '$(tray_icon_id)'," \
        "windows: $(visible_windows "$E2E_QUILLON_PID" | tr '\n' ' '))"
}

# The embedded tray icon of the running Quillon: a window inside the tray host's panel that
# carries _XEMBED_INFO and Quillon's PID. (Every Qt top-level window carries _XEMBED_INFO, so
# the place is what makes it the icon.)
tray_icon_id() {
    local w panel
    panel=$(tray_panel_id) || return 1
    for w in $(xwininfo -id "$panel" -tree 2>/dev/null | awk '$1 ~ /^0x/ {print $1}'); do
        xwininfo -id "$w" 2>/dev/null | grep -q 'Map State: IsViewable' || continue
        xprop -id "$w" _XEMBED_INFO _NET_WM_PID 2>/dev/null |
            awk -v pid="$E2E_QUILLON_PID" '
                /^_XEMBED_INFO\(_XEMBED_INFO\)/ {e=1}
                /^_NET_WM_PID\(CARDINAL\)/ && $3 == pid {p=1}
                END {exit !(e && p)}' && { echo "$w"; return 0; }
    done
    return 1
}

# Top-level windows of process PID that are on screen, one "id name" per line. The tray icon
# is not top-level (the tray host holds it), so it is never listed.
visible_windows() {
    local pid=$1 w
    for w in $(xwininfo -root -children 2>/dev/null | awk '$1 ~ /^0x/ {print $1}'); do
        xwininfo -id "$w" 2>/dev/null | grep -q 'Map State: IsViewable' || continue
        xprop -id "$w" _NET_WM_PID 2>/dev/null | awk -v pid="$pid" '$3 == pid {f=1} END {exit !f}' ||
            continue
        echo "$w $(window_name "$w")"
    done
}

# The window's title as UTF-8.
window_name() {
    xprop -id "$1" _NET_WM_NAME 2>/dev/null | sed -n 's/^_NET_WM_NAME(UTF8_STRING) = "\(.*\)"$/\1/p'
}

# The visible top-level window of Quillon titled exactly TITLE (first one found).
window_by_title() {
    visible_windows "$E2E_QUILLON_PID" | awk -v t="$1" '{id=$1; $1=""; sub(/^ /, ""); if ($0 == t) {print id; exit}}'
}

# All visible windows of Quillon titled exactly TITLE, one id per line.
windows_by_title() {
    visible_windows "$E2E_QUILLON_PID" | awk -v t="$1" '{id=$1; $1=""; sub(/^ /, ""); if ($0 == t) print id}'
}

# Absolute geometry of a window: prints "x y width height".
window_geometry() {
    xwininfo -id "$1" 2>/dev/null | awk '
        /Absolute upper-left X:/ {x=$4} /Absolute upper-left Y:/ {y=$4}
        /^  Width:/ {w=$2} /^  Height:/ {h=$2}
        END {print x, y, w, h}'
}

# Clicks with the left button at a point given in twips inside a window: the centre of a
# control at LEFT, TOP with WIDTH x HEIGHT (all twips, as the window layouts give them).
click_control() {
    local win=$1 left=$2 top=$3 width=$4 height=$5 x y w h
    read -r x y w h < <(window_geometry "$win")
    local px=$((x + (left + width / 2) / TWIPS)) py=$((y + (top + height / 2) / TWIPS))
    xdotool mousemove "$px" "$py" click 1
}

# Double-click with the left button on the tray icon (a real double-click: two clicks within
# the desktop's double-click time).
tray_double_click() {
    local icon x y w h
    icon=$(tray_icon_id) || e2e_fail "no tray icon to double-click"
    read -r x y w h < <(window_geometry "$icon")
    xdotool mousemove $((x + w / 2)) $((y + h / 2)) click --repeat 2 --delay 60 1
}

# Presses the right button on the tray icon.
tray_right_click() {
    local icon x y w h
    icon=$(tray_icon_id) || e2e_fail "no tray icon to right-click"
    read -r x y w h < <(window_geometry "$icon")
    xdotool mousemove $((x + w / 2)) $((y + h / 2)) click 3
}

# The pop-up menu currently open, if any: an override-redirect top-level of Quillon that is
# on screen and has no title of its own.
popup_menu_id() {
    local w
    for w in $(visible_windows "$E2E_QUILLON_PID" | awk '{print $1}'); do
        xwininfo -id "$w" 2>/dev/null | grep -q 'Override Redirect State: yes' && { echo "$w"; return 0; }
    done
    return 1
}

# Bands of ink (text lines, icons) inside a control of a window, top to bottom, as
# "TOP BOTTOM" pixel rows relative to the window. The control is given in twips; a margin of
# 3 pixels is left out on each side so that the control's own frame does not count.
window_bands() {
    local win=$1 left=$2 top=$3 width=$4 height=$5 shot=$E2E_WORK/bands.ppm
    import -window "$win" -depth 8 "ppm:$shot" 2>/dev/null || return 1
    python3 "$E2E_DIR/pixels.py" bands "$shot" $((left / TWIPS + 3)) $((top / TWIPS + 3)) \
        $((width / TWIPS - 6)) $((height / TWIPS - 6))
}

# Number of rows the main window's list shows: the lines of text in ListView1 between its
# header (17 pixels) and its horizontal scroll bar (16 pixels). Cutting both away by place
# rather than taking one band off the count holds whether or not the first row's highlight
# touches the header.
list_rows() {
    window_bands "$1" 240 $((600 + 17 * TWIPS)) 5385 $((4125 - 33 * TWIPS)) |
        awk '$2 - $1 >= 4 {n++} END {print n + 0}'
}

list_rows_are() { [ "$(list_rows "$1")" -eq "$2" ]; }

# Clicks the main window's 控制台 button and waits for the console. The toolbar strip (5640,
# 600, 855 x 4125 twips) holds four buttons, each an icon over its caption: the fourth icon is
# the console's.
open_console() {
    local main=$1 icons top bottom mx my
    icons=$(window_bands "$main" 5640 600 855 4125 | awk '$2 - $1 >= 20')
    [ "$(wc -l <<<"$icons")" -eq 4 ] ||
        e2e_fail "the toolbar shows $(wc -l <<<"$icons") button pictures, not 4"
    read -r top bottom < <(sed -n 4p <<<"$icons")
    read -r mx my _ _ < <(window_geometry "$main")
    xdotool mousemove $((mx + (5640 + 855 / 2) / TWIPS)) $((my + (top + bottom) / 2)) click 1
    console_shown() { [ -n "$(window_by_title "控制台")" ]; }
    e2e_wait_for 5 "the console" console_shown
}

# Saves a picture of one window under the output folder.
e2e_screenshot() {
    local win=$1 name=$2
    import -window "$win" "$E2E_OUT/$name.png" 2>/dev/null &&
        e2e_log "screenshot $E2E_OUT/$name.png"
}

# ---------------------------------------------------------------------------------------------
# Hive and log

reg() { "$E2E_PROG/quillon-reg" "$@"; }

# The event log decoded from GBK, CR LF kept (empty when there is none yet).
log_text() {
    [ -f "$E2E_LOG" ] || return 0
    iconv -f GBK -t UTF-8 "$E2E_LOG"
}

# Number of log records whose fields 2 to 5 are exactly ADDRESS, RPORT, LPORT, ACTION.
log_count() {
    log_text | awk -v want="\"$1\",\"$2\",\"$3\",\"$4\"" '
        {sub(/\r$/, "")}
        {i = index($0, "\",\""); if (i && substr($0, i + 2) == want) n++}
        END {print n + 0}'
}

# ---------------------------------------------------------------------------------------------
# Connections (all on loopback addresses inside the test's own network namespace)

TCPKIT=$E2E_DIR/tcpkit.py

# Starts a listener on ADDRESS:PORT; returns when it listens.
e2e_listen() {
    local addr=$1 port=$2 var=$3 out=$E2E_WORK/listen-$1-$2
    e2e_spawn "$var" python3 "$TCPKIT" listen "$addr" "$port" >"$out"
    e2e_wait_for 5 "the listener on $addr:$port" grep -q '^listening' "$out"
}

# Opens a client connection to ADDRESS:PORT that waits up to WAIT seconds for its end and then
# reports "connected LPORT" and, at its end, "aborted|reset|closed|open MS" in FILE.
e2e_connect() {
    local addr=$1 port=$2 wait=$3 file=$4 var=$5
    e2e_spawn "$var" python3 "$TCPKIT" connect "$addr" "$port" "$wait" >"$file"
    e2e_wait_for 5 "the connection to $addr:$port" grep -q '^\(connected\|refused\)' "$file"
}

# True once the client's connection has ended.
client_ended() { [ -n "$(client_end "$1")" ]; }

# The local port of a client's connection from its report.
client_port() { awk '/^(connected|refused)/ {print $2}' "$1"; }

# The end that the client saw: "aborted MS" and the like, or nothing while it is still open.
client_end() { awk '$1 == "refused" {print $1, $3; exit} $1 != "connected" {print; exit}' "$1"; }

# ---------------------------------------------------------------------------------------------
# What a failed run leaves for inspection

e2e_dump_state() {
    [ -n "${DISPLAY:-}" ] || return 0
    local shot=$E2E_OUT/failed-$E2E_NAME.png
    import -window root "$shot" 2>/dev/null && echo "screen at failure: $shot"
    echo "--- windows"
    xwininfo -root -tree 2>/dev/null | grep -v '(has no name)' | head -40
    echo "--- quillon output"
    tail -n 40 "$E2E_WORK/quillon.out" 2>/dev/null
    echo "--- WDlog.log"
    log_text | tail -n 20
    echo "--- hive"
    reg export "$QL_KEY" "$E2E_WORK/hive.reg" && head -n 40 "$E2E_WORK/hive.reg"
}
