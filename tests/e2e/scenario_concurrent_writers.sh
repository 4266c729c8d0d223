#!/usr/bin/env bash
# Other processes write the hive while Quillon guards at the medium level and rebuilds its list
# at every tick (connections to an allowed address come and go all the time): quillon-reg adds a
# deny rule for a new address every 100 ms for 20 s, and the sqlite3 shell commits changes of
# its own in between. Quillon stays alive throughout; connections to an address denied
# beforehand and to the address of the latest new rule, opened meanwhile, are cut; at the end
# every new rule is in force: a connection to each of the new addresses is cut.
source "$(dirname "$0")/e2e_lib.sh"
e2e_enter "$@"

command -v sqlite3 >/dev/null || e2e_fail "the sqlite3 shell is missing (bash scripts/test.sh installs it)"

HIVE=/var/lib/quillon/registry.db
DENIED=127.0.0.5
PORT=4321
RULES=200          # one every 100 ms for 20 s
FIRST_NEW=127.0.1.1 # the new rules deny 127.0.1.1, 127.0.1.2, ...

reg add "$QL_OPTIONS" seclvl 2 || e2e_fail "cannot store the level"
reg add "$QL_IP" "$DENIED" 1 || e2e_fail "cannot store the deny rule"
# The listeners' side of every connection has the remote address 127.0.0.1: allowed, so that
# it raises no question of its own.
reg add "$QL_IP" 127.0.0.1 0 || e2e_fail "cannot store the allow rule"
reg add 'HKLM\SOFTWARE\Scratch' n 0 || e2e_fail "cannot store the shell's value"

e2e_start_x
e2e_start_tray
e2e_start_quillon
e2e_wait_started

new_address() { echo "127.0.1.$1"; }

# The editor: one new deny rule every 100 ms; the number of the last one stored goes to a file.
added=$E2E_WORK/added
echo 0 >"$added"
editor() {
    local i
    for ((i = 1; i <= RULES; i++)); do
        reg add "$QL_IP" "$(new_address "$i")" 1 || { echo "add $i failed" >>"$E2E_WORK/writers.err"; return 1; }
        echo "$i" >"$added.new" && mv "$added.new" "$added"
        sleep 0.1
    done
}
# The shell: a transaction of its own every 150 ms, waiting for the lock like any writer.
shell() {
    local i=0
    while [ "$(cat "$added")" -lt "$RULES" ]; do
        i=$((i + 1))
        sqlite3 -cmd ".timeout 5000" "$HIVE" \
            "UPDATE vals SET data = '$i' WHERE folded = 'n' AND
             key = (SELECT id FROM keys WHERE folded = 'software\\scratch')" ||
            { echo "shell write $i failed" >>"$E2E_WORK/writers.err"; return 1; }
        echo "$i" >"$E2E_WORK/shell-last.new" && mv "$E2E_WORK/shell-last.new" "$E2E_WORK/shell-last"
        sleep 0.15
    done
}
# Connections to an allowed address come and go all the time, so that Quillon rebuilds its
# list and looks rules up at every tick while the hive is written.
e2e_spawn CHURN python3 "$TCPKIT" churn 127.0.0.1 5000 150 >"$E2E_WORK/churn"
e2e_wait_for 10 "the connection churn" grep -q '^churning' "$E2E_WORK/churn"
e2e_spawn EDITOR editor
e2e_spawn SHELL shell
e2e_log "writers started"

# Meanwhile, connections to the denied address and to the latest new rule's address.
checks=0
while [ "$(cat "$added")" -lt "$RULES" ]; do
    quillon_alive || e2e_fail "quillon ended while the hive was written (after $(cat "$added") rules)"
    n=$(cat "$added")
    if [ $((checks % 2)) -eq 0 ] || [ "$n" -eq 0 ]; then
        out=$(python3 "$TCPKIT" fan "$DENIED" 1 $((PORT + 1)) 3) || e2e_fail "cannot connect to $DENIED"
    else
        out=$(python3 "$TCPKIT" fan "$(new_address "$n")" 1 "$PORT" 3) ||
            e2e_fail "cannot connect to the address of rule $n"
    fi
    [[ "$out" == *" aborted "* || "$out" == *" refused "* ]] ||
        e2e_fail "a connection opened during the writes was neither refused nor cut: $out (rule $n)"
    checks=$((checks + 1))
    sleep 0.3
done
wait "$EDITOR" || e2e_fail "quillon-reg add failed: $(cat "$E2E_WORK/writers.err")"
wait "$SHELL" || e2e_fail "the sqlite3 shell failed: $(cat "$E2E_WORK/writers.err")"
e2e_log "$RULES rules added, $(cat "$E2E_WORK/shell-last") shell commits, $checks connections cut meanwhile"
[ "$checks" -ge 20 ] || e2e_fail "only $checks connections were checked during the writes"
quillon_alive || e2e_fail "quillon ended while the hive was written"

# Every write landed, and every new rule is in force.
[ "$(reg query 'HKLM\SOFTWARE\Scratch' n)" = "$(cat "$E2E_WORK/shell-last")" ] ||
    e2e_fail "the shell's last write is not in the hive"
stored=$(reg query "$QL_IP" | awk -F'\t' '$1 ~ /^127\.0\.1\./ && $2 == "1"' | wc -l)
[ "$stored" -eq "$RULES" ] || e2e_fail "$stored of the $RULES new rules are stored"
fan=$(python3 "$TCPKIT" fan "$FIRST_NEW" "$RULES" $((PORT + 2)) 10) || e2e_fail "cannot open the final connections"
cut=$(grep -cE ' (aborted|refused) ' <<<"$fan")
[ "$cut" -eq "$RULES" ] ||
    e2e_fail "$cut of $RULES connections to newly denied addresses were refused or cut; not: $(grep -vE ' (aborted|refused) ' <<<"$fan" | head -5 | tr '\n' ';')"
e2e_log "all $RULES connections to the newly denied addresses were refused or cut"
quillon_alive || e2e_fail "quillon ended"
sqlite3 -readonly "$HIVE" "PRAGMA integrity_check" | grep -qx ok || e2e_fail "the hive is damaged"
exit 0
