#!/usr/bin/env bash
# A plain desktop user, as the README's First use sets one up: the install's rights script
# creates the group quillon, the hive folder, the log and the cut helper's capability; the
# user, in the group, runs Quillon, which holds no capability itself, and a denied connection
# is cut through the helper and logged. Taken out of the group, the same user gets the rights
# notice, and the denied connection stays open with no record claiming a cut.
# The user and the group exist only in this test's scratch /etc.
source "$(dirname "$0")/e2e_lib.sh"
e2e_enter "$@"

SETUP=$E2E_DIR/../../scripts/setup-rights.sh
QL_USER=qluser
QL_UID=47301
DENIED=127.0.0.6
PORT=4322
MAIN_TITLE="Quillon防火墙"

# A scratch /etc of the namespace's own: users and groups made here vanish with it.
cp -a /etc "$E2E_WORK/etc" && mount --bind "$E2E_WORK/etc" /etc || e2e_fail "cannot make a scratch /etc"
useradd --uid "$QL_UID" --user-group --home-dir "$E2E_WORK/qlhome" --create-home --shell /bin/sh \
    "$QL_USER" || e2e_fail "cannot create the test user"
QL_RUNTIME=$E2E_WORK/qlrun
install -d -m 0700 -o "$QL_USER" -g "$QL_USER" "$QL_RUNTIME"

sh "$SETUP" install "$E2E_PROG" || e2e_fail "setup-rights.sh install failed"
sh "$SETUP" install "$E2E_PROG" || e2e_fail "setup-rights.sh install failed when run again"
[ "$(stat -c '%U:%G %a' /var/lib/quillon)" = "root:quillon 2750" ] || e2e_fail "hive folder: $(stat -c '%U:%G %a' /var/lib/quillon)"
[ "$(stat -c '%U:%G %a' "$E2E_PROG/WDlog.log")" = "root:quillon 660" ] || e2e_fail "log: $(stat -c '%U:%G %a' "$E2E_PROG/WDlog.log")"
[ "$(stat -c '%U:%G %a' "$E2E_PROG/quillon-cut")" = "root:quillon 750" ] || e2e_fail "helper: $(stat -c '%U:%G %a' "$E2E_PROG/quillon-cut")"
# caps_of FILE: its capability names, sorted, and their flags (getcap lists them its own way).
caps_of() {
    local c
    c=$(getcap "$1" | cut -d' ' -f2-)
    [ -z "$c" ] || echo "$(tr , '\n' <<<"${c%%=*}" | sort | paste -sd , -)=${c#*=}"
}
[ "$(caps_of "$E2E_PROG/quillon-cut")" = cap_bpf,cap_net_admin,cap_perfmon=ep ] ||
    e2e_fail "the helper holds $(caps_of "$E2E_PROG/quillon-cut"), not cap_bpf,cap_perfmon,cap_net_admin=ep"
[ -z "$(getcap "$E2E_PROG/quillon")" ] || e2e_fail "quillon itself holds a capability"
grep -qx "Exec=\"$E2E_PROG/quillon\"" /etc/xdg/autostart/quillon.desktop || e2e_fail "no machine-wide autostart entry"
usermod -aG quillon "$QL_USER" || e2e_fail "cannot add the user to the group"
# A capability left on quillon itself by an older set-up is given up before Qt loads anything.
setcap cap_net_admin+ep "$E2E_PROG/quillon" || e2e_fail "cannot set the old capability"

# The command line that runs a command as the user, with the user's groups (read from /etc
# at that moment) and a plain environment. setpriv and env replace themselves, so the PID of
# what runs is the PID of the command.
as_user_cmd() {
    AS_USER=(setpriv --reuid="$QL_USER" --regid="$QL_USER" --init-groups -- env -i PATH=/usr/bin:/bin
        HOME="$E2E_WORK/qlhome" XDG_RUNTIME_DIR="$QL_RUNTIME" DISPLAY="${DISPLAY:-}"
        QT_QPA_PLATFORM=xcb LANG=C.UTF-8)
}
as_user() {
    as_user_cmd
    "${AS_USER[@]}" "$@"
}

start_as_user() {
    as_user_cmd
    e2e_spawn E2E_QUILLON_PID "${AS_USER[@]}" "$E2E_PROG/quillon" >>"$E2E_WORK/quillon.out" 2>&1
    e2e_log "quillon started as $QL_USER, pid $E2E_QUILLON_PID"
}

cap_eff() { awk '/^CapEff:/ {print $2}' "/proc/$1/status"; }

# The rules, stored by the user: level 2, the address denied, the listener's side allowed.
as_user "$E2E_PROG/quillon-reg" add "$QL_OPTIONS" seclvl 2 || e2e_fail "the user cannot store the level"
as_user "$E2E_PROG/quillon-reg" add "$QL_IP" "$DENIED" 1 || e2e_fail "the user cannot store a rule"
as_user "$E2E_PROG/quillon-reg" add "$QL_IP" 127.0.0.1 0 || e2e_fail "the user cannot store a rule"

e2e_listen "$DENIED" "$PORT" LISTENER
e2e_start_x
e2e_start_tray
start_as_user
e2e_wait_started

# --- In the group: the installed helper's kernel programs refuse the denied connect before
# anything is sent, and the refusal is logged as a cut.
lo_sent() { awk '$1 == "lo:" {print $11}' /proc/net/dev; }
sent_before=$(lo_sent)
client=$E2E_WORK/client-member
e2e_connect "$DENIED" "$PORT" 3 "$client" CLIENT
lport=$(client_port "$client")
wait "$CLIENT"
end=$(client_end "$client")
sent=$(($(lo_sent) - sent_before))
e2e_log "member run, client saw: $end; $sent packets on lo meanwhile"
if [ -e /sys/kernel/btf/vmlinux ] && grep -q ' - cgroup2 ' /proc/self/mountinfo; then
    [ "${end%% *}" = refused ] || e2e_fail "the denied connect was not refused before it connected: '$end'"
    [ "$sent" -eq 0 ] || e2e_fail "$sent packets left on lo for a refused connect"
else
    # A kernel without BTF or cgroup2 loads no kernel programs: the poll cuts instead.
    e2e_log "no BTF or cgroup2 here: immediate blocking cannot work, the poll must cut"
    [ "${end%% *}" = aborted ] || e2e_fail "the denied connection was not cut: '$end'"
fi
sleep 1
n=$(log_count "$DENIED" "$PORT" "$lport" "已断开连接")
[ "$n" -eq 1 ] || e2e_fail "WDlog.log holds $n records of the refusal instead of one"

# No process but the helper holds a capability.
[ "$(cap_eff "$E2E_QUILLON_PID")" = 0000000000000000 ] || e2e_fail "quillon holds capabilities: $(cap_eff "$E2E_QUILLON_PID")"
helper=$(pgrep -x quillon-cut) || e2e_fail "no helper running"
# Once its kernel programs are loaded it keeps CAP_NET_ADMIN alone; CAP_BPF too only where the
# kernel asks for it on every update of their tables (before 6.5, unprivileged BPF switched off).
kept=0000000000001000
if [ "$(printf '%s\n' 6.5 "$(uname -r)" | sort -V | head -n 1)" != 6.5 ] &&
    [ "$(cat /proc/sys/kernel/unprivileged_bpf_disabled 2>/dev/null)" != 0 ]; then
    kept="0000000000001000|0000008000001000"
fi
[[ "$(cap_eff "$helper")" =~ ^($kept)$ ]] || e2e_fail "the helper holds $(cap_eff "$helper"), not CAP_NET_ADMIN alone"
[ "$(awk '/^Uid:/ {print $2}' "/proc/$helper/status")" = "$QL_UID" ] || e2e_fail "the helper does not run as the user"
e2e_log "quillon CapEff $(cap_eff "$E2E_QUILLON_PID"), helper $helper CapEff $(cap_eff "$helper")"

kill "$E2E_QUILLON_PID"
wait "$E2E_QUILLON_PID" 2>/dev/null
e2e_poll 3 bash -c '! pgrep -x quillon-cut' || e2e_fail "the helper outlived quillon"

# --- Out of the group, with no tray so that the notice stands in the main window.
gpasswd -d "$QL_USER" quillon >/dev/null || e2e_fail "cannot take the user out of the group"
kill "$E2E_TRAYER_PID"
wait "$E2E_TRAYER_PID" 2>/dev/null
records_before=$(log_text | grep -c '已断开连接')
start_as_user
main_with_notice() {
    local w
    w=$(window_by_title "$MAIN_TITLE") && [ -n "$w" ] || return 1
    read -r _ _ width height < <(window_geometry "$w")
    # The main window is 6735 x 5385 twips; the notice makes it taller.
    [ "$width" -eq $((6735 / TWIPS)) ] && [ "$height" -gt $((5385 / TWIPS)) ]
}
e2e_wait_for 15 "the main window with the rights notice" main_with_notice
main=$(window_by_title "$MAIN_TITLE")
e2e_screenshot "$main" rights-notice-not-in-group

client=$E2E_WORK/client-outsider
e2e_connect "$DENIED" "$PORT" 2 "$client" CLIENT
wait "$CLIENT"
end=$(client_end "$client")
e2e_log "non-member run, client saw: $end"
[ "${end%% *}" = open ] || e2e_fail "the connection ended ('$end') though nothing may cut it"
records_after=$(log_text | grep -c '已断开连接')
[ "$records_after" -eq "$records_before" ] || e2e_fail "a cut was logged that did not happen"
quillon_alive || e2e_fail "quillon ended"

# --- The rights script refuses a capability where a user could swap the file, and undoes
# what it did.
userprog=/opt/userprog
install -d -o "$QL_USER" -m 0755 "$userprog"
cp "$E2E_PROG/quillon" "$E2E_PROG/quillon-cut" "$userprog"/
setcap -r "$userprog/quillon-cut" 2>/dev/null
chown "$QL_USER" "$userprog/quillon" "$userprog/quillon-cut"
sh "$SETUP" install "$userprog" 2>"$E2E_WORK/refused.txt" &&
    e2e_fail "setup-rights.sh gave a capability in a folder the user can write"
[ -z "$(getcap "$userprog/quillon-cut")" ] || e2e_fail "a capability was set in a user's folder"
grep -qx "Exec=\"$E2E_PROG/quillon\"" /etc/xdg/autostart/quillon.desktop ||
    e2e_fail "the machine-wide entry was pointed at a user's binary"
# A build folder of the user's own (scripts/run.sh): the helper is prepared in a folder of
# root's and only then put in place; a link in its place is not followed.
sh "$SETUP" checkout "$userprog" --for "$QL_USER" || e2e_fail "setup-rights.sh checkout failed"
[ "$(stat -c '%U:%G %a' "$userprog/quillon-cut")" = "root:quillon 750" ] &&
    [ "$(caps_of "$userprog/quillon-cut")" = cap_net_admin=ep ] ||
    e2e_fail "checkout did not give the build folder's helper its group and capability"
# A member running that build: cuts work, immediate blocking does not, and the notice says so.
usermod -aG quillon "$QL_USER" || e2e_fail "cannot put the user back in the group"
kill "$E2E_QUILLON_PID"
wait "$E2E_QUILLON_PID" 2>/dev/null
cp "$E2E_PROG/QLWD.dat" "$E2E_PROG/SPLH.jpg" "$userprog"/
E2E_PROG_SAVED=$E2E_PROG E2E_PROG=$userprog
start_as_user
E2E_PROG=$E2E_PROG_SAVED
# In the group with a writable hive and log, the immediate blocking is all it lacks.
e2e_wait_for 15 "the main window with the notice that blocking is not immediate" main_with_notice
main=$(window_by_title "$MAIN_TITLE")
e2e_screenshot "$main" rights-notice-checkout
kill "$E2E_QUILLON_PID"
wait "$E2E_QUILLON_PID" 2>/dev/null
rm -f "$userprog/quillon-cut"
ln -s /etc/shadow "$userprog/quillon-cut"
sh "$SETUP" checkout "$userprog" --for "$QL_USER" 2>/dev/null && e2e_fail "checkout followed a link"
[ -L "$userprog/quillon-cut" ] || e2e_fail "checkout replaced the link with what it points at"
sh "$SETUP" remove "$E2E_PROG" || e2e_fail "setup-rights.sh remove failed"
[ ! -e /etc/xdg/autostart/quillon.desktop ] || e2e_fail "remove left the autostart entry"
[ -z "$(getcap "$E2E_PROG/quillon-cut")" ] || e2e_fail "remove left the capability"
[ -f "$E2E_PROG/WDlog.log" ] && [ -d /var/lib/quillon ] || e2e_fail "remove took the log or the hive"
sh "$SETUP" purge "$E2E_PROG" || e2e_fail "setup-rights.sh purge failed"
[ ! -e "$E2E_PROG/WDlog.log" ] && [ ! -e /var/lib/quillon/registry.db ] || e2e_fail "purge left the log or the hive"
exit 0
