#!/usr/bin/env bash
# The rights scripts against the users they must not serve: scripts/setup-rights.sh (checkout,
# remove, the log, the hive and the helper's capabilities of install), scripts/run.sh as root
# and tests/support/root_only.sh.
# Runs as root in private mount and PID namespaces with a scratch /etc (the throw-away users
# and the group quillon vanish with it), a private /var/lib and a tmpfs for every folder it
# makes; each attacker is a background loop of a throw-away user, bounded in time, that the
# test ends itself. Victims are throw-away files and folders of the test's own.
#   check_scripts.sh <source folder> <build folder>
set -uo pipefail

fail() {
    echo "FAIL: $*"
    exit 1
}

if [ "${1:-}" != --inside ]; then
    [ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root (throw-away users, capabilities, namespaces)"; exit 77; }
    unshare --mount --pid --fork true 2>/dev/null ||
        { echo "SKIP: this machine does not allow new mount and PID namespaces"; exit 77; }
    for t in perl setcap getcap setpriv sqlite3; do
        command -v "$t" >/dev/null || fail "missing $t (bash scripts/test.sh installs it)"
    done
    src=$(cd "$1" && pwd -P)
    reg=$2/bin/quillon-reg
    [ -x "$reg" ] || fail "$reg has not been built"
    # Under /tmp on purpose: a root-owned sticky folder above a program folder is fine.
    work=$(mktemp -d /tmp/quillon-rights.XXXXXX)
    trap 'rmdir "$work"' EXIT
    # --kill-child: whatever the test started ends with it.
    unshare --mount --pid --fork --kill-child --mount-proc --propagation private -- \
        bash "$0" --inside "$src" "$reg" "$work"
    exit
fi

src=$2
reg=$3
work=$4
S=$src/scripts/setup-rights.sh
mount -t tmpfs -o mode=0755 tmpfs "$work" || fail "no scratch space"
cp -a /etc "$work/etc" && mount --bind "$work/etc" /etc || fail "cannot make a scratch /etc"
mount -t tmpfs -o mode=0755 tmpfs /var/lib || fail "cannot make a private /var/lib"
unset SUDO_UID SUDO_USER SUDO_GID
cd "$work" || fail "no scratch space"

A=47311 B=47312 M=47313
for u in qla:$A qlb:$B qlm:$M; do
    echo "${u%%:*}:x:${u#*:}:${u#*:}::/nonexistent:/usr/sbin/nologin" >>/etc/passwd
    echo "${u%%:*}:x:${u#*:}:" >>/etc/group
done
KEY='HKLM\SOFTWARE\Larkspire Works\LarkPF\block\ip'
mkdir -m 0700 "$work/look" # root's own, for looking at a file through a name of root's

as() {
    local u=$1
    shift
    setpriv --reuid="$u" --regid="$u" --clear-groups --reset-env -- env "$@"
}
as_member() {
    setpriv --reuid="$M" --regid="$M" --groups="$(getent group quillon | cut -d: -f3)" --reset-env -- env "$@"
}
# attack USER GROUPS SCRIPT ARGS...: runs SCRIPT (bash, ARGS as $1...) over and over as USER
# with the supplementary GROUPS (- for none) in the background, until the stop file appears
# or two minutes pass; its PID is left in ATTACKER.
attack() {
    local u=$1 groups=(--clear-groups) script=$3
    [ "$2" = - ] || groups=(--groups="$2")
    shift 3
    rm -f "$work/stop"
    setpriv --reuid="$u" --regid="$u" "${groups[@]}" --reset-env -- \
        bash -c "end=\$((SECONDS + 120)); while [ ! -e '$work/stop' ] && [ \$SECONDS -lt \$end ]; do $script; done" \
        attacker "$@" 2>/dev/null &
    ATTACKER=$!
}
stop_attack() {
    touch "$work/stop"
    wait "$ATTACKER"
}
# state PATH: what a victim looks like, content included; never follows a link.
state() { stat -c '%F %a %U %G %s' -- "$1" && { [ -L "$1" ] || [ ! -f "$1" ] || md5sum <"$1"; }; }
# caps_of PATH: the file capabilities of PATH as getcap prints them, with the names of each
# clause sorted (getcap lists them in an order of its own), or nothing.
caps_of() {
    local line clause names out=()
    line=$(getcap -- "$1" 2>/dev/null)
    [ -n "$line" ] || return 0
    for clause in ${line#"$1 "}; do
        names=${clause%%[=+-]*}
        out+=("$(tr , '\n' <<<"$names" | sort | paste -sd , -)${clause#"$names"}")
    done
    echo "${out[*]}"
}
# What install gives the helper (cap_bpf,cap_perfmon,cap_net_admin=ep), and checkout.
INSTALL_CAPS=cap_bpf,cap_net_admin,cap_perfmon=ep
CHECKOUT_CAPS=cap_net_admin=ep
# snapshot DIR: every name in DIR with its owner, mode, size and capability.
snapshot() {
    find "$1" -printf '%P %U:%G %m %s %y\n' | sort
    getcap -r "$1" 2>/dev/null | sort
}

# --- The hive: install makes it without SQLite, closes the folder to the group first, and
# replaces what a member could have planted at the side names without touching what it points at.
H=/var/lib/quillon
victim=/var/lib/victim # same file system as the hive, so that it can be hard-linked there
printf 'throw-away file\n' >"$victim"
chmod 0600 "$victim"
victim_state=$(state "$victim")
mkdir -m 0755 "$work/prog0"
cp /bin/true "$work/prog0/quillon" && cp /bin/true "$work/prog0/quillon-cut"

hive_ok() {
    local f
    [ "$(stat -c '%a %U %G' "$H")" = "2750 root quillon" ] || fail "$1: $H is $(stat -c '%a %U %G' "$H")"
    for f in registry.db registry.db-wal registry.db-shm; do
        [ -f "$H/$f" ] && [ ! -L "$H/$f" ] && [ "$(stat -c '%a %U %G %h' "$H/$f")" = "660 root quillon 1" ] ||
            fail "$1: $f is $(stat -c '%F %a %U %G, %h names' "$H/$f" 2>&1)"
    done
    [ "$(state "$victim")" = "$victim_state" ] || fail "$1: the victim changed: $(state "$victim")"
    as_member touch "$H/planted" 2>/dev/null && fail "$1: a member can create a file in $H"
    [ ! -e "$H/planted" ] || fail "$1: a member created a file in $H"
}
# helper_ok CASE: install gave the helper in prog0 its group, mode and capabilities.
helper_ok() {
    [ "$(stat -c '%U:%G %a' "$work/prog0/quillon-cut")" = "root:quillon 750" ] &&
        [ "$(caps_of "$work/prog0/quillon-cut")" = "$INSTALL_CAPS" ] ||
        fail "$1: the installed helper is $(stat -c '%U:%G %a' "$work/prog0/quillon-cut") $(caps_of "$work/prog0/quillon-cut")"
}
# member_rule CASE ADDRESS: a member stores a rule and reads it back, with no rollback journal.
member_rule() {
    as_member "$reg" --hive "$H/registry.db" add "$KEY" "$2" 1 || fail "$1: a member cannot store a rule"
    [ "$(as_member "$reg" --hive "$H/registry.db" query "$KEY" "$2")" = 1 ] || fail "$1: the rule is not read back"
    [ ! -e "$H/registry.db-journal" ] || fail "$1: SQLite made a rollback journal"
}
# has_rules CASE ADDRESS...: the hive holds deny rules for each ADDRESS.
has_rules() {
    local c=$1 a
    shift
    for a in "$@"; do
        [ "$(as_member "$reg" --hive "$H/registry.db" query "$KEY" "$a")" = 1 ] || fail "$c: the rule for $a is gone"
    done
}
legacy() { # an older install's folder: 2770, members write it
    rm -rf "$H"
    mkdir "$H" && chown root:quillon "$H" && chmod 2770 "$H"
}
plant() { # NAME SOURCE: a hive file as a member made it under the old modes
    cp "$2" "$H/$1" && chown "$M:quillon" "$H/$1" && chmod 0660 "$H/$1"
}

# Each case: set-up, what install must end with (ok, or refused with the cause on stderr), and
# checks of its own.
e_fresh() { rm -rf "$H"; }
e_fresh_after() {
    [ "$(sqlite3 -readonly "$H/registry.db" 'PRAGMA journal_mode')" = wal ] || fail "fresh: not a WAL database"
    [ "$(as_member sqlite3 "$H/registry.db" 'PRAGMA journal_mode')" = wal ] || fail "fresh: a member sees no WAL database"
    member_rule fresh 127.0.0.9
}
e_again() { :; }
e_again_after() { has_rules again 127.0.0.9; }
e_legacy_wal() { # rules in the database and in its log, the index a link to the victim
    legacy
    plant registry.db "$work/hsrc-wal/registry.db"
    plant registry.db-wal "$work/hsrc-wal/registry.db-wal"
    ln -s "$victim" "$H/registry.db-shm"
    cp "$H/registry.db" "$work/look/db" && cp "$H/registry.db-wal" "$work/look/wal"
}
e_legacy_wal_after() {
    cmp -s "$H/registry.db" "$work/look/db" && cmp -s "$H/registry.db-wal" "$work/look/wal" ||
        fail "legacy_wal: install changed the database or its log"
    has_rules legacy_wal 203.0.113.5 203.0.113.6
    member_rule legacy_wal 127.0.0.10
}
e_legacy_links() { # the log a second name of the victim, the index a FIFO
    legacy
    plant registry.db "$work/hsrc/registry.db"
    ln "$victim" "$H/registry.db-wal"
    mkfifo -m 0660 "$H/registry.db-shm"
}
e_legacy_links_after() {
    [ "$(stat -c %h "$victim")" = 1 ] || fail "legacy_links: the victim kept its name in the hive"
    has_rules legacy_links 203.0.113.5 203.0.113.6
    member_rule legacy_links 127.0.0.11
}
e_legacy_dir() { # a folder at the log's name holding a link to the victim, a member's own index
    legacy
    plant registry.db "$work/hsrc/registry.db"
    mkdir "$H/registry.db-wal" && ln -s "$victim" "$H/registry.db-wal/x"
    install -m 0600 -o "$M" -g "$M" /dev/null "$H/registry.db-shm"
}
e_legacy_dir_after() { member_rule legacy_dir 127.0.0.12; }
e_empty_db() { # an empty file at the database's name, as made before SQLite ever wrote it
    legacy
    install -m 0644 /dev/null "$H/registry.db"
}
e_empty_db_after() { member_rule empty_db 127.0.0.13; }
e_db_link() { # the database itself a link: left alone, install fails and says so
    legacy
    ln -s "$victim" "$H/registry.db"
}
e_db_link_after() { [ "$(readlink "$H/registry.db")" = "$victim" ] || fail "db_link: the link was changed"; }
e_db_names() { # the database itself has a second name
    legacy
    ln "$victim" "$H/registry.db"
}
e_db_names_after() { [ "$(stat -c %h "$victim")" = 2 ] || fail "db_names: a name of the database was removed"; }
e_orphan_wal() { # a log whose database is gone: no new database is made beside it
    legacy
    head -c 4096 /dev/urandom >"$H/registry.db-wal"
    cp "$H/registry.db-wal" "$work/look/wal"
}
e_orphan_wal_after() {
    [ ! -e "$H/registry.db" ] && [ ! -L "$H/registry.db" ] || fail "orphan_wal: a database was made beside an old log"
    cmp -s "$H/registry.db-wal" "$work/look/wal" || fail "orphan_wal: the log was changed"
}

# name  expected  cause named on stderr when refused
e_cases=(
    "fresh ok"
    "again ok"
    "legacy_wal ok"
    "legacy_links ok"
    "legacy_dir ok"
    "empty_db ok"
    "db_link refused registry.db is a symbolic link"
    "db_names refused registry.db is a file with 2 names"
    "orphan_wal refused registry.db-wal holds data"
)
hsrc_made=0
for c in "${e_cases[@]}"; do
    read -r name expect cause <<<"$c"
    if [ $hsrc_made = 0 ] && [ "$name" != fresh ]; then
        # Hives with rules, made by a member as the older modes let members make them: one
        # whose rules are all in the database, one whose log holds committed rules too (a
        # reader keeps the log from being folded back in).
        install -d -o "$M" -g "$M" -m 0755 "$work/hsrc" "$work/hsrc-wal"
        as_member "$reg" --hive "$work/hsrc/registry.db" add "$KEY" 203.0.113.5 1 || fail "cannot make a hive"
        mkfifo "$work/look/reader"
        as_member sqlite3 "$work/hsrc/registry.db" <"$work/look/reader" >"$work/look/reader.out" &
        reader=$!
        exec 9>"$work/look/reader"
        echo 'SELECT count(*) FROM keys;' >&9
        for _ in $(seq 100); do [ -s "$work/look/reader.out" ] && break; sleep 0.05; done
        as_member "$reg" --hive "$work/hsrc/registry.db" add "$KEY" 203.0.113.6 1 || fail "cannot add to a hive"
        cp "$work/hsrc/registry.db" "$work/hsrc/registry.db-wal" "$work/hsrc-wal/"
        exec 9>&-
        wait "$reader"
        rm -f "$work/look/reader" "$work/look/reader.out"
        [ -s "$work/hsrc-wal/registry.db-wal" ] || fail "could not make a hive whose log holds rules"
        hsrc_made=1
    fi
    "e_$name"
    sh "$S" install "$work/prog0" >"$work/out" 2>"$work/err"
    rc=$?
    if [ "$expect" = ok ]; then
        [ $rc -eq 0 ] || { cat "$work/out" "$work/err"; fail "$name: install failed"; }
    else
        [ $rc -ne 0 ] || fail "$name: install did not fail"
        grep -qF "$cause" "$work/err" || { cat "$work/err"; fail "$name: install did not say '$cause'"; }
    fi
    if [ "$expect" = ok ]; then
        hive_ok "$name"
    else
        # The folder is closed and the side files made all the same; registry.db is left.
        [ "$(stat -c '%a %U %G' "$H")" = "2750 root quillon" ] || fail "$name: $H is $(stat -c '%a %U %G' "$H")"
        [ "$(state "$victim")" = "$victim_state" ] || fail "$name: the victim changed: $(state "$victim")"
    fi
    helper_ok "$name"
    "e_${name}_after"
    echo "hive $name: $expect"
done

# A member racing install on an older layout: links and FIFOs planted at the side names, over
# and over, while the folder is still open to the group. Nothing is done through them, and
# once install has closed the folder what it made stays.
legacy
plant registry.db "$work/hsrc/registry.db"
attack "$M" "$(getent group quillon | cut -d: -f3)" 'cd /var/lib/quillon &&
    { ln -sfn "$1" registry.db-wal; ln -sfn "$1" registry.db-shm; rm -f registry.db-shm;
      mkfifo registry.db-shm; rm -rf registry.db-wal; mkdir registry.db-wal; }; cd /' "$victim"
for round in $(seq 15); do
    chmod 2770 "$H"
    sleep 0.02
    sh "$S" install "$work/prog0" >/dev/null 2>&1 || fail "hive race: install failed in round $round"
    [ "$(state "$victim")" = "$victim_state" ] || fail "hive race: the victim changed in round $round"
    hive_ok "hive race round $round"
done
stop_attack
has_rules "hive race" 203.0.113.5 203.0.113.6
echo "hive: a member racing install changed nothing through a link"
# remove takes every capability off the installed helper, not only cap_net_admin.
helper_ok "before remove"
sh "$S" remove "$work/prog0" >/dev/null || fail "remove of the program folder failed"
[ -z "$(getcap -r "$work/prog0" 2>/dev/null)" ] || fail "remove left a capability: $(getcap -r "$work/prog0")"
echo "remove: the installed helper holds no capability"

# --- checkout: a throw-away user owns a parent folder and the build folder, and swaps the
# build folder for a link to a folder of root's while root runs checkout for that user.
home=$work/a
install -d -o "$A" -g "$A" -m 0755 "$home" "$home/bin"
install -o "$A" -g "$A" -m 0755 /bin/true "$home/bin/quillon-cut"
target=$work/victim-dir
mkdir -m 0755 "$target"
exec 7<"$home/bin" # the real build folder, whatever it is called at the moment
# The owner also rebuilds the helper as fast as it can, so that every round has one to take.
attack "$A" - 'cd "$1" && cp /bin/true bin/.new && mv -f bin/.new bin/quillon-cut;
    if mv -T bin real; then ln -s "$2" bin; sleep 0.005; rm -f bin; mv -T real bin; fi' "$home" "$target"
done_rounds=0
round=0
# At least 30 rounds, and on until one has gone through (most are refused, by design).
while [ $round -lt 30 ] || { [ $done_rounds -eq 0 ] && [ $round -lt 300 ]; }; do
    round=$((round + 1))
    SUDO_UID=$A sh "$S" checkout "$home/bin" >/dev/null 2>&1 && done_rounds=$((done_rounds + 1))
    [ -z "$(ls -A "$target")" ] || fail "checkout race: round $round wrote into the linked folder: $(ls -A "$target")"
    # Whatever the helper in the real build folder is now, looked at through a name of root's.
    if ln -P -T /proc/self/fd/7/quillon-cut "$work/look/h" 2>/dev/null; then
        if [ -n "$(caps_of "$work/look/h")" ]; then
            [ "$(caps_of "$work/look/h")" = "$CHECKOUT_CAPS" ] ||
                fail "checkout race: the helper holds $(caps_of "$work/look/h")"
            [ "$(stat -c '%U:%G %a' "$work/look/h")" = "root:quillon 750" ] ||
                fail "checkout race: a helper with the capability is $(stat -c '%U:%G %a' "$work/look/h")"
        fi
        rm -f "$work/look/h"
    fi
done
stop_attack
exec 7<&-
echo "checkout race: $done_rounds of $round rounds went through, the others were refused"
[ $done_rounds -ge 1 ] || fail "checkout race: no round went through"
left=$(getcap -r "$home" "$target" 2>/dev/null | grep -v "^$home/bin/quillon-cut ")
[ -z "$left" ] || fail "checkout race: a capability outside the build folder's helper: $left"
[ -z "$(find "$work" -name '.quillon-setup.*')" ] || fail "checkout race: work folders were left behind"

# --- checkout for whom: only the owner of the build folder and of its helper, as asked; and
# never more than cap_net_admin, whatever the helper held before.
# sudo's user  --for  folder's owner  helper's owner  the helper's capabilities before  expected
b_cases=(
    "$B - $A $A - refused"  # asked through sudo by someone else
    "$A - $A $B - refused"  # a helper another user put in the folder
    "$A - $B $A - refused"  # the folder of another user
    "0 - $A $A - refused"   # root through sudo, for a user's build
    "- - $A $A - refused"   # neither sudo nor --for
    "$A qlb $A $A - refused" # --for someone other than sudo's user
    "- qlb $A $A - refused"
    "- qla $A $A - done"
    "$A - $A $A - done"
    "$A - $A $A cap_bpf,cap_perfmon,cap_net_admin=ep done" # the installed helper's set, by hand
)
i=0
for c in "${b_cases[@]}"; do
    read -r sudo_uid for_user downer howner caps expect <<<"$c"
    i=$((i + 1))
    d=$work/b$i
    install -d -o "$downer" -m 0755 "$d"
    install -o "$howner" -m 0755 /bin/true "$d/quillon-cut"
    [ "$caps" = - ] || setcap "$caps" "$d/quillon-cut" || fail "checkout ($c): cannot set the capabilities before"
    before=$(snapshot "$d")
    args=(checkout "$d")
    [ "$for_user" = - ] || args+=(--for "$for_user")
    if [ "$sudo_uid" = - ]; then
        env -u SUDO_UID sh "$S" "${args[@]}" >"$work/out" 2>"$work/err"
    else
        SUDO_UID=$sudo_uid sh "$S" "${args[@]}" >"$work/out" 2>"$work/err"
    fi
    rc=$?
    if [ "$expect" = refused ]; then
        [ $rc -ne 0 ] || fail "checkout ($c) was not refused"
        [ "$(wc -l <"$work/err")" = 1 ] || { cat "$work/err"; fail "checkout ($c): not a one-line reason"; }
        [ "$(snapshot "$d")" = "$before" ] || fail "checkout ($c) changed the folder though refused"
    else
        [ $rc -eq 0 ] || { cat "$work/err"; fail "checkout ($c) failed"; }
        [ "$(stat -c '%U:%G %a' "$d/quillon-cut")" = "root:quillon 750" ] &&
            [ "$(caps_of "$d/quillon-cut")" = "$CHECKOUT_CAPS" ] ||
            fail "checkout ($c): the helper is $(stat -c '%U:%G %a' "$d/quillon-cut") $(caps_of "$d/quillon-cut")"
        [ "$(getcap -r "$d" 2>/dev/null)" = "$(getcap "$d/quillon-cut")" ] ||
            fail "checkout ($c): a capability elsewhere in the folder: $(getcap -r "$d")"
    fi
    echo "checkout ($c): $expect $(head -n 1 "$work/err")"
done

# --- remove: the capability goes from a checked-out helper under any name, and never through
# a link the folder's owner swaps in for one.
d=$work/c
install -d -o "$A" -m 0755 "$d"
install -o "$A" -m 0755 /bin/true "$d/quillon-cut"
SUDO_UID=$A sh "$S" checkout "$d" >/dev/null || fail "remove: the checkout before it failed"
as "$A" mv "$d/quillon-cut" "$d/renamed" || fail "remove: the owner cannot rename the helper"
ln "$d/renamed" "$work/look/keep" # to give the same file its capability back
capvictim=$work/capvictim
cp /bin/true "$capvictim" && setcap cap_net_raw+ep "$capvictim" || fail "cannot make the victim"
attack "$A" - 'cd "$1" && if mv -T renamed held; then ln -s "$2" renamed; rm -f renamed; mv -T held renamed; fi' \
    "$d" "$capvictim"
for round in $(seq 20); do
    setcap cap_net_admin+ep "$work/look/keep"
    sh "$S" remove "$d" >/dev/null 2>&1
    [ "$(caps_of "$capvictim")" = cap_net_raw=ep ] || fail "remove race: round $round changed the victim through a link"
done
stop_attack
setcap cap_net_admin+ep "$work/look/keep"
rm -f "$work/look/keep"
sh "$S" remove "$d" >/dev/null || fail "remove failed"
[ -z "$(getcap -r "$d" 2>/dev/null)" ] || fail "remove left a capability: $(getcap -r "$d")"
[ "$(caps_of "$capvictim")" = cap_net_raw=ep ] || fail "remove changed the victim"
echo "remove: no capability left in the build folder, the victim untouched"

# --- install's log: only in a program folder no other user can write (a sticky root folder
# above it is fine), and nothing is changed by name in one that others can write.
mkd() { mkdir -p "$1" && chmod "$2" "$1"; }
old_log() { install -m 0644 /dev/null "$1/WDlog.log"; }
# folder  the folders above it in the test folder, with their modes  WDlog.log before  after
d_cases=(
    "open 0777 - none"
    "ww/prog 0777:0755 - none"
    "wwo/prog 0777:0755 old 644_root_root"
    "st/prog 1777:0755 - 660_root_quillon"
    "sto/prog 1777:0755 old 660_root_quillon"
)
for c in "${d_cases[@]}"; do
    read -r rel modes before after <<<"$c"
    p=$work/d
    IFS=: read -ra ms <<<"$modes"
    IFS=/ read -ra parts <<<"$rel"
    mkd "$p" 0755
    for k in "${!parts[@]}"; do
        p=$p/${parts[k]}
        mkd "$p" "${ms[k]}"
    done
    [ "$before" = old ] && old_log "$p"
    sh "$S" install "$p" >/dev/null 2>&1
    if [ "$after" = none ]; then
        [ ! -e "$p/WDlog.log" ] || fail "install made a log in $rel, which others can write"
    else
        [ "$(stat -c '%a_%U_%G' "$p/WDlog.log" 2>&1)" = "$after" ] ||
            fail "log in $rel: $(stat -c '%a %U %G' "$p/WDlog.log" 2>&1), not ${after//_/ }"
    fi
    echo "log in $rel: $after"
done
# A user planting a link at the log's name in a folder everyone can write, while install runs.
logvictim=$work/logvictim
install -m 0600 /dev/null "$logvictim"
logvictim_state=$(state "$logvictim")
attack "$A" - 'ln -sfn "$2" "$1/WDlog.log"; rm -f "$1/WDlog.log"' "$work/d/open" "$logvictim"
for round in $(seq 10); do
    sh "$S" install "$work/d/open" >/dev/null 2>&1
    [ -z "$(find "$work/d/open" -name WDlog.log -type f)" ] || fail "log race: install made a log in round $round"
    [ "$(state "$logvictim")" = "$logvictim_state" ] || fail "log race: round $round changed the victim"
done
stop_attack
echo "log race: nothing made or changed"

# --- run.sh as root, and root_only.sh: the checkout and every folder above it are checked
# before anything is installed or built.
mkdir -m 0755 "$work/f" "$work/f/fakebin"
printf '#!/bin/sh\nexit 3\n' >"$work/f/fakebin/cmake"
chmod 0755 "$work/f/fakebin/cmake"
checkout() { # FOLDER: a checkout whose deps.sh leaves a mark when it is read
    mkdir -p "$1/scripts"
    cp "$src/scripts/run.sh" "$1/scripts/"
    printf 'touch "%s/sourced"\nquillon_install() { :; }\nQUILLON_RUN_PACKAGES=()\n' "$1" >"$1/scripts/deps.sh"
}
mkd "$work/f/ww" 0777 && mkd "$work/f/ww/co" 0755 && checkout "$work/f/ww/co"
install -d -o "$A" -m 0755 "$work/f/own" && checkout "$work/f/own"
mkd "$work/f/inner" 0755 && checkout "$work/f/inner" && chown "$A" "$work/f/inner/scripts/deps.sh"
mkd "$work/f/st" 1777 && mkd "$work/f/st/co" 0755 && checkout "$work/f/st/co"
ln -s "$work/f/st/co" "$work/f/link"
# checkout  cause on stderr (or "builds")
f_cases=(
    "ww/co|a folder above the checkout, $work/f/ww, can be written by other users"
    "own|the checkout, $work/f/own, belongs to qla, not to root"
    "inner|$work/f/inner/scripts/deps.sh, in the checkout, belongs to qla"
    "st/co|builds"
)
for c in "${f_cases[@]}"; do
    co=$work/f/${c%%|*}
    cause=${c#*|}
    env PATH="$work/f/fakebin:$PATH" bash "$co/scripts/run.sh" >"$work/out" 2>"$work/err"
    rc=$?
    if [ "$cause" = builds ]; then
        [ -e "$co/sourced" ] || { cat "$work/err"; fail "run.sh refused $co"; }
    else
        [ $rc -ne 0 ] && [ ! -e "$co/sourced" ] || fail "run.sh went on from $co"
        [ "$(wc -l <"$work/err")" = 1 ] && grep -qF "$cause." "$work/err" ||
            { cat "$work/err"; fail "run.sh did not say: $cause"; }
        grep -qF "Copy it to a folder only root can write and run it there (cp -r $co /root/quillon" "$work/err" ||
            { cat "$work/err"; fail "run.sh did not say how to get past it"; }
    fi
    echo "run.sh in ${c%%|*}: $cause"
done
# --- run.sh as a plain user on a machine without sudo: after the build it stops with the exact
# commands root must run, never with "sudo: command not found".
mkdir -m 0755 "$work/nosudo" "$work/nosudo/bin"
for t in bash env id stat getcap grep getent cut tr dirname mkdir touch; do
    ln -s "$(command -v "$t")" "$work/nosudo/bin/$t"
done
printf '#!/bin/sh\nmkdir -p build/release/bin && touch build/release/bin/quillon build/release/bin/quillon-cut\n' \
    >"$work/nosudo/bin/cmake"
chmod 0755 "$work/nosudo/bin/cmake"
install -d -o "$A" -g "$A" -m 0755 "$work/nosudo/co"
checkout "$work/nosudo/co" && chown -R "$A:$A" "$work/nosudo/co"
co=$(cd "$work/nosudo/co" && pwd -P)
as "$A" PATH="$work/nosudo/bin" bash "$co/scripts/run.sh" >"$work/out" 2>"$work/err"
rc=$?
[ $rc -ne 0 ] && [ -e "$co/build/release/bin/quillon-cut" ] || { cat "$work/err"; fail "run.sh without sudo went on, or stopped before the build"; }
! grep -q "command not found" "$work/err" || { cat "$work/err"; fail "run.sh without sudo tried sudo"; }
for line in "    sh $co/scripts/setup-rights.sh checkout $co/build/release/bin --for qla" \
    "    usermod -aG quillon qla"; do
    grep -qxF -- "$line" "$work/err" || { cat "$work/err"; fail "run.sh without sudo did not say: $line"; }
done
echo "run.sh without sudo: the commands for root"

# path  root_only.sh's answer
r_cases=("$work/f/st/co 0" "$work/f/st 1" "$work/f/ww/co 1" "$work/f/own 1" "$work/f/link 1" "$work 0")
for c in "${r_cases[@]}"; do
    read -r p want <<<"$c"
    sh "$src/tests/support/root_only.sh" "$p"
    [ $? -eq "$want" ] || fail "root_only.sh $p does not answer $want"
done
echo "root_only.sh: as expected"
exit 0
