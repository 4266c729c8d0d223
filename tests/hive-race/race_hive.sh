#!/usr/bin/env bash
# A member of group quillon may write the rule hive; root writes it too (quillon-reg as root,
# root's Quillon answering an alert). This runs link_racer as such a member against root's real
# writes: while root adds, deletes and imports rules with quillon-reg, removes the hive files
# every 20 rounds and has setup-rights.sh make them again, and now and then writes a hive in a
# folder quillon-reg creates itself, the racer puts symbolic and hard links to a file of another
# user's at every name that appears or goes in the hive folders. Root's writes must never reach
# that file: after every round its owner, group, mode, link count and content are checked (a
# change is a round won by the racer, after which root puts everything back), and at the end no
# link to it may be in the hive folders, the racer must have placed no link at all, and root's
# last writes must read back. Root clears a hive folder with it closed to the group, so that
# what is raced is root making the hive anew rather than root clearing it.
#
# Everything happens in private mount and PID namespaces: /var/lib is a tmpfs there (the hive
# folders, the program folder, the victim and a copy of /etc all live in it), so the group
# quillon and the throw-away users exist only in the copy, and nothing is left on the machine.
#   race_hive.sh SOURCE_DIR BIN_DIR RACER [ROUNDS]
# BIN_DIR holds the built quillon, quillon-reg and quillon-cut; RACER is the built link_racer;
# ROUNDS defaults to 200.
# Needs root; exits 77 (skipped) without it or where mount namespaces are not allowed.
set -uo pipefail

SKIP=77
HIVE_DIR=/var/lib/quillon
HIVE=$HIVE_DIR/registry.db
FRESH_DIR=/var/lib/quillon-fresh
FRESH=$FRESH_DIR/registry.db
SCRATCH=/var/lib/quillon-race
KEY='HKEY_LOCAL_MACHINE\SOFTWARE\Larkspire Works\LarkPF'
# Every how many rounds root removes the hive and sets the rights up again, and writes a hive
# in a folder of its own.
RESET_EVERY=20
FRESH_EVERY=10
# The racer ends by itself after this long, should this script be killed before it stops it.
RACER_SECONDS=900

say() { printf '[race_hive %s] %s\n' "$(date +%T.%3N)" "$*"; }
fail() {
    say "FAIL: $*"
    exit 1
}

# ------------------------------------------------------------------------------------------
# Inside the namespaces.
if [ "${1:-}" = --inside ]; then
    src=$2
    bin=$3
    racer_bin=$4
    rounds=$5
    RACER_PID=
    stop_racer() {
        if [ -n "$RACER_PID" ]; then
            kill -TERM "$RACER_PID" 2>/dev/null
            wait "$RACER_PID" 2>/dev/null
            RACER_PID=
        fi
    }
    trap stop_racer EXIT
    trap 'exit 1' INT TERM

    mount --make-rprivate / || fail "cannot make the mounts private"
    # The namespace's own /var/lib, in memory, readable by all and writable by root alone, as
    # the real one is: the hive folders, the program folder and the victim live in it and go
    # with the namespace.
    mount -t tmpfs -o mode=0755 tmpfs /var/lib || fail "cannot mount a tmpfs on /var/lib"
    mkdir -m 0755 "$SCRATCH" || fail "cannot make $SCRATCH"
    # A scratch /etc: the group quillon and the users made below vanish with it.
    cp -a /etc "$SCRATCH/etc" && mount --bind "$SCRATCH/etc" /etc || fail "cannot make a scratch /etc"

    member=qlracer
    owner=qlvictim
    for u in "$member" "$owner"; do
        useradd --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin --user-group \
            "$u" || fail "cannot create the throw-away user $u"
    done

    # The program folder, root's and closed to others, as an install leaves it; the racer is
    # copied in so that the member can run it.
    prog=$SCRATCH/prog
    mkdir -m 0755 "$prog" || fail "cannot make $prog"
    cp "$bin/quillon" "$bin/quillon-reg" "$bin/quillon-cut" "$prog/" || fail "cannot copy the programs"
    install -m 0755 "$racer_bin" "$prog/link_racer" || fail "cannot copy the racer"

    # The victim: a file of another throw-away user's, only its owner may read or write it. It
    # lies on the hive's file system, so that a hard link to it could be made at all.
    victim_dir=$SCRATCH/victim
    victim=$victim_dir/secret
    victim_text="the hive race's victim, $(date +%s.%N), not to be changed"
    mkdir -m 0755 "$victim_dir" || fail "cannot make $victim_dir"
    restore_victim() {
        printf '%s\n' "$victim_text" >"$victim" &&
            chown "$owner:$owner" "$victim" && chmod 0600 "$victim"
    }
    restore_victim || fail "cannot make the victim"
    victim_state() {
        printf '%s content=%s\n' "$(stat -c '%U:%G %a links=%h inode=%i' "$victim")" \
            "$(sha256sum <"$victim" | cut -c1-16)"
    }
    victim_was=$(victim_state)
    # What of the victim differs from how it was: "owner:group mode links content" words.
    victim_changes() {
        local before after out=() i
        read -ra before <<<"$victim_was"
        read -ra after <<<"$1"
        for i in 0 1 2 3 4; do
            [ "${before[i]}" = "${after[i]}" ] || out+=("${before[i]} -> ${after[i]}")
        done
        local IFS=/
        printf '%s\n' "${out[*]}"
    }
    # The names in the hive folders that lead to the victim, temporary names taken together and
    # the racer's own prepared links left out.
    links_to_victim() {
        find "$HIVE_DIR" "$FRESH_DIR" -maxdepth 1 \( -samefile "$victim" -o -lname "$victim" \) \
            -printf '%h/%f %y\n' 2>/dev/null | grep -v '/\.racer-' |
            sed -E -e 's/registry\.db\.new-[^ -]+-[^ -]+/registry.db.new-*/' \
                -e 's/ l$/ (symbolic)/' -e 's/ f$/ (hard)/' | sort -u | paste -sd, | sed 's/,/, /g'
    }
    say "victim $victim: $victim_was"

    setup_log=$SCRATCH/setup-rights.log
    setup() {
        sh "$src/scripts/setup-rights.sh" install "$prog" >>"$setup_log" 2>&1 ||
            { cat "$setup_log"; fail "setup-rights.sh install failed"; }
    }
    setup
    qgid=$(getent group quillon | cut -d: -f3)
    [ -n "$qgid" ] || fail "setup-rights.sh made no group quillon"
    usermod -aG quillon "$member" || fail "cannot add $member to quillon"
    say "hive folder $(stat -c '%U:%G %a' "$HIVE_DIR"); files:" \
        "$(cd "$HIVE_DIR" && stat -c '%n %U:%G %a' registry.db* 2>/dev/null | paste -sd, || true)"
    say "fs.protected_hardlinks=$(cat /proc/sys/fs/protected_hardlinks 2>/dev/null)" \
        "fs.protected_symlinks=$(cat /proc/sys/fs/protected_symlinks 2>/dev/null)"

    # The member, with the group quillon and nothing else. setpriv replaces itself with the
    # racer, so $! is the racer's PID.
    racer_out=$SCRATCH/racer.out
    setpriv --reuid="$member" --regid="$member" --groups="$qgid" --reset-env -- \
        "$prog/link_racer" "$HIVE_DIR" "$victim" "$RACER_SECONDS" "$FRESH_DIR" >"$racer_out" 2>&1 &
    RACER_PID=$!
    for _ in $(seq 100); do
        grep -q '^racer: ready' "$racer_out" && break
        kill -0 "$RACER_PID" 2>/dev/null || { cat "$racer_out"; fail "the racer did not start"; }
        sleep 0.05
    done
    grep -q '^racer: ready' "$racer_out" || { cat "$racer_out"; fail "the racer is not ready after 5 s"; }

    # Root's writes, each through the real tool and bounded in time. Failures are counted; the
    # first few are shown.
    write_failures=0
    reg() {
        local hive=$1
        shift
        timeout 30 "$prog/quillon-reg" --hive "$hive" "$@"
    }
    write() {
        local out
        if ! out=$(reg "$@" 2>&1); then
            write_failures=$((write_failures + 1))
            [ "$write_failures" -le 5 ] && say "round $round: root's write failed: quillon-reg ${*:2}: $out"
            return 1
        fi
    }

    # What the last writes since the hive was last made should have left: "SUBKEY<TAB>NAME"
    # maps to the data, or to "-" for a value deleted.
    TAB=$'\t'
    declare -A expect=()
    present=()
    forget() {
        expect=()
        present=()
    }
    address() { printf '198.51.%d.%d' $(($1 / 256)) $(($1 % 256)); }

    # Root clears a hive folder with it closed to the group, so that what the racer races is
    # root making the hive anew, not root clearing it (a member could otherwise put links back
    # as fast as root removes names, and root's writes would only fail). The racer's own links to
    # the victim go too; setup-rights.sh then opens the folder again as it wants it.
    close_folder() {
        [ -d "$1" ] && [ ! -L "$1" ] && chmod 0700 "$1"
    }
    clear_hive() {
        close_folder "$HIVE_DIR"
        find "$HIVE_DIR" -maxdepth 1 \( -samefile "$victim" -o -lname "$victim" \) -delete 2>/dev/null
        rm -f "$HIVE_DIR"/registry.db*
        setup
        forget
    }
    clear_fresh() {
        close_folder "$FRESH_DIR"
        rm -rf "$FRESH_DIR" || fail "cannot remove $FRESH_DIR"
        fresh_last=
    }

    # After each of root's writes: has it reached the victim? If so, the round is the racer's;
    # root then undoes the racer's work so that every round starts from the same place. The
    # victim is closed first: while the member may read and write it, the member may also make
    # hard links to it.
    judge() {
        local state
        state=$(victim_state)
        [ "$state" = "$victim_was" ] && return 0
        round_won=1
        won+=("round $round, $1: $(victim_changes "$state"); links to it: $(links_to_victim)")
        chown "$owner:$owner" "$victim" && chmod 0600 "$victim" || fail "cannot close the victim"
        clear_fresh
        clear_hive
        restore_victim || fail "cannot restore the victim"
        [ "$(victim_state)" = "$victim_was" ] || fail "the victim cannot be put back: $(victim_state)"
    }

    reg_file=$SCRATCH/import.reg
    wins=0
    won=()
    fresh_last=
    for ((round = 1; round <= rounds; round++)); do
        round_won=0
        # (Never in the last round: the writes after the last reset are read back at the end.)
        if ((round > 1 && (round - 1) % RESET_EVERY == 0)); then
            # Root makes the hive files anew, so that their creation is raced as well.
            clear_hive
        fi
        op=$((round % 3))
        # Nothing left to delete (just after a reset): add instead.
        [ "$op" -eq 2 ] && [ ${#present[@]} -eq 0 ] && op=1
        case $op in
        1)
            what=add
            name=$(address "$round")
            write "$HIVE" add "$KEY\\block\\ip" "$name" 1 && expect["block\\ip$TAB$name"]=1 &&
                present+=("$name")
            ;;
        2)
            what=delete
            name=${present[0]}
            present=("${present[@]:1}")
            write "$HIVE" delete "$KEY\\block\\ip" "$name" && expect["block\\ip$TAB$name"]=-
            ;;
        0)
            what=import
            printf 'Windows Registry Editor Version 5.00\r\n\r\n[%s\\block\\rp]\r\n"%d"="1"\r\n\r\n[%s\\block\\lp]\r\n"%d"="0"\r\n' \
                "$KEY" $((10000 + round)) "$KEY" $((20000 + round)) >"$reg_file"
            write "$HIVE" import "$reg_file" &&
                expect["block\\rp$TAB$((10000 + round))"]=1 && expect["block\\lp$TAB$((20000 + round))"]=0
            ;;
        esac
        judge "$what"
        if ((round % FRESH_EVERY == FRESH_EVERY / 2)); then
            # A hive whose folder quillon-reg makes itself.
            clear_fresh
            name=$(address $((40000 + round)))
            if write "$FRESH" add "$KEY\\block\\ip" "$name" 1; then
                fresh_last=$name
            fi
            judge "add to a fresh hive"
        fi
        ((round_won)) && wins=$((wins + 1))
    done

    stop_racer
    cat "$racer_out"
    summary=$(grep -E '^racer: [0-9]+ events, [0-9]+ attempts, [0-9]+ placed$' "$racer_out" | tail -1)
    [ -n "$summary" ] || fail "the racer printed no summary"
    read -r events attempts placed < <(sed -E 's/^racer: ([0-9]+) events, ([0-9]+) attempts, ([0-9]+) placed$/\1 \2 \3/' <<<"$summary")

    problems=()
    for ((i = 0; i < ${#won[@]} && i < 10; i++)); do
        say "won ${won[i]}"
    done
    [ ${#won[@]} -le 10 ] || say "... and $((${#won[@]} - 10)) more rounds won"
    [ "$(victim_state)" = "$victim_was" ] || problems+=("the victim changed: $(victim_state)")
    links=$(find "$HIVE_DIR" "$FRESH_DIR" \( -samefile "$victim" -o -lname "$victim" -o -type l \) \
        -printf '%p ' 2>/dev/null)
    [ -z "$links" ] || problems+=("links in the hive folders: $links")
    [ "$placed" -eq 0 ] || problems+=("the racer placed $placed links")
    # A racer that saw nothing tested nothing.
    [ "$events" -gt 0 ] && [ "$attempts" -gt 0 ] ||
        problems+=("the racer saw $events events and made $attempts attempts: it raced nothing")
    [ "$write_failures" -eq 0 ] || problems+=("$write_failures of root's writes failed")

    # Root's writes since the hive was last made, read back.
    unread=0
    for entry in "${!expect[@]}"; do
        sub=${entry%%"$TAB"*}
        name=${entry#*"$TAB"}
        want=${expect[$entry]}
        got=$(reg "$HIVE" query "$KEY\\$sub" "$name" 2>/dev/null)
        rc=$?
        if [ "$want" = - ]; then
            [ "$rc" -eq 1 ] && continue
        elif [ "$rc" -eq 0 ] && [ "$got" = "$want" ]; then
            continue
        fi
        unread=$((unread + 1))
        [ "$unread" -le 5 ] && say "read back $sub\\$name: exit $rc, '$got' instead of '$want'"
    done
    [ ${#expect[@]} -gt 0 ] || problems+=("no write of root's since the hive was last made succeeded")
    [ "$unread" -eq 0 ] || problems+=("$unread of root's last ${#expect[@]} writes do not read back")
    if [ -n "$fresh_last" ]; then
        [ "$(reg "$FRESH" query "$KEY\\block\\ip" "$fresh_last" 2>/dev/null)" = 1 ] ||
            problems+=("root's last write to $FRESH does not read back")
    fi
    say "hive folder at the end: $(stat -c '%U:%G %a' "$HIVE_DIR"); $FRESH_DIR:" \
        "$(stat -c '%U:%G %a' "$FRESH_DIR" 2>/dev/null || echo none)"

    echo "race_hive: $rounds rounds, $wins wins"
    echo "race_hive: racer $events events, $attempts attempts, $placed placed;" \
        "root's writes failed $write_failures times; ${#expect[@]} last writes checked, $unread unread"
    [ "$wins" -eq 0 ] || problems+=("the racer won $wins of $rounds rounds")
    if [ ${#problems[@]} -gt 0 ]; then
        for p in "${problems[@]}"; do
            say "FAIL: $p"
        done
        exit 1
    fi
    exit 0
fi

# ------------------------------------------------------------------------------------------
# Outside: check what is needed, then run the above in private namespaces.
[ $# -ge 3 ] || { echo "usage: $0 SOURCE_DIR BIN_DIR RACER [ROUNDS]" >&2; exit 2; }
src=$(cd "$1" && pwd) || exit 2
bin=$(cd "$2" && pwd) || exit 2
racer_bin=$(readlink -f "$3")
rounds=${4:-200}
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root (throw-away users in a private mount namespace)"; exit $SKIP; }
unshare --mount --pid --fork true 2>/dev/null ||
    { echo "SKIP: this machine does not allow new mount namespaces (unshare failed)"; exit $SKIP; }
for t in setpriv useradd usermod setcap timeout sha256sum; do
    command -v "$t" >/dev/null || fail "missing tool: $t"
done
for f in "$bin/quillon" "$bin/quillon-reg" "$bin/quillon-cut" "$racer_bin" "$src/scripts/setup-rights.sh"; do
    [ -f "$f" ] || fail "$f is missing (not built?)"
done
[[ $rounds =~ ^[0-9]+$ ]] && [ "$rounds" -ge 1 ] || fail "ROUNDS must be a positive number"
# --kill-child: when unshare ends, however it ends, the namespace's first process is killed and
# every process in the namespace with it. unshare itself ignores SIGTERM and SIGINT, so this
# script passes them on as a kill.
unshare --mount --pid --fork --mount-proc --kill-child --propagation private \
    bash "$0" --inside "$src" "$bin" "$racer_bin" "$rounds" &
ns=$!
trap 'kill -KILL "$ns" 2>/dev/null; wait "$ns" 2>/dev/null; exit 1' INT TERM
wait "$ns"
