#!/bin/sh
# Sets up, or takes back, the rights Quillon's users need on this machine. Run as root.
#
#   setup-rights.sh install [PROGRAM_DIR]   group quillon; /var/lib/quillon root:quillon 2750
#                                           holding registry.db, registry.db-wal and
#                                           registry.db-shm root:quillon 0660 (made when
#                                           missing); PROGRAM_DIR/WDlog.log root:quillon 0660;
#                                           PROGRAM_DIR/quillon-cut root:quillon 0750 with
#                                           cap_bpf,cap_perfmon,cap_net_admin=ep;
#                                           /etc/xdg/autostart/quillon.desktop
#   setup-rights.sh remove [DIR]            undoes that, keeping the hive, the log and the
#                                           group: the autostart entry goes, and so does the
#                                           file capability of every root-owned file in DIR
#                                           (PROGRAM_DIR, or a BIN_DIR below: the helper under
#                                           whatever name it has now)
#   setup-rights.sh purge [PROGRAM_DIR]     also removes the hive folder and the log
#   setup-rights.sh checkout BIN_DIR [--for USER]
#                                           for a build folder a user runs Quillon from: the
#                                           group, the hive, and BIN_DIR/quillon-cut
#
# What checkout grants: cap_net_admin only, and only on the asking user's own build of the
# helper (BIN_DIR and its quillon-cut must be that user's: the one who ran sudo, or USER where
# there is no sudo). The helper becomes root:quillon 0750, so every member of quillon may run
# it. cap_bpf and cap_perfmon, which the helper needs to load its built-in kernel programs, go
# only to an installed, root-owned helper (install), never to a build folder: a checkout is a
# fresh copy, which carries no capability the user's file may have had, given cap_net_admin
# alone.
#
# PROGRAM_DIR defaults to the folder holding this script (/opt/quillon once installed). Every
# action can be run again; it changes only what is not yet as it should be. Members of quillon
# write the hive's files but never its folder, so they cannot create, rename or plant a name
# there; the files are made here, by root, when missing. Root never follows, executes or
# trusts a file a user can write; in a folder others can write it works only relative to a
# descriptor of that folder, never through a path whose names could be swapped meanwhile.
set -eu
umask 022

GROUP=quillon
HIVE_DIR=/var/lib/quillon
ENTRY=/etc/xdg/autostart/quillon.desktop

say() { printf 'setup-rights: %s\n' "$*"; }
die() { printf 'setup-rights: %s\n' "$*" >&2; exit 1; }
warn() { printf 'setup-rights: %s\n' "$*" >&2; }

# root_only PATH: PATH is root's, no link and writable by no one else; every folder above it
# is root's, no link, and either writable by no one else or sticky (as /tmp is: there no one
# else can rename or replace root's entries).
root_only() {
    _p=$1
    _above=0
    while :; do
        [ -L "$_p" ] && return 1
        _st=$(stat -c '%u %a' -- "$_p" 2>/dev/null) || return 1
        [ "${_st%% *}" = 0 ] || return 1
        _m=$((0${_st#* }))
        if [ $((_m & 022)) -ne 0 ]; then
            [ $_above = 1 ] && [ $((_m & 01000)) -ne 0 ] || return 1
        fi
        [ "$_p" = / ] && return 0
        _p=$(dirname -- "$_p")
        _above=1
    done
}

make_group() {
    getent group "$GROUP" >/dev/null && return 0
    say "creating the system group $GROUP"
    groupadd --system "$GROUP"
}

# An empty SQLite database in WAL mode, as SQLite itself writes one: the 100-byte header, then
# the empty table b-tree page header of page 1, zero-padded to one 4096-byte page. Written by
# the shell so that root never runs SQLite on a file that members write.
empty_wal_db() {
    printf 'SQLite format 3\000'
    printf '\020\000\002\002\000\100\040\040'   # page 4096, WAL write/read versions, payload fractions
    printf '\000\000\000\001\000\000\000\001'   # change counter 1, one page
    printf '\000\000\000\000\000\000\000\000'   # no free pages
    printf '\000\000\000\000\000\000\000\004'   # schema cookie 0, schema format 4
    printf '\000\000\000\000\000\000\000\000'   # cache size, no auto-vacuum
    printf '\000\000\000\001\000\000\000\000'   # UTF-8, user version 0
    printf '\000\000\000\000\000\000\000\000'   # incremental vacuum off, application id 0
    head -c 20 /dev/zero
    printf '\000\000\000\001\000\056\143\001'   # valid-for 1, written by SQLite 3.40.1 (3040001)
    printf '\015\000\000\000\000\020\000\000'   # leaf table page: no cells, content at 4096
    head -c 3988 /dev/zero
}

# new_hive_file NAME: NAME in the (closed) hive folder, root:quillon 0660, made whole under a
# name of its own and then linked into place; ln never replaces a name that exists.
new_hive_file() {
    _tmp=$(mktemp "$HIVE_DIR/.$1.XXXXXX") || return 1
    if [ "$1" = registry.db ]; then
        empty_wal_db >"$_tmp" || { rm -f -- "$_tmp"; return 1; }
    fi
    chown root:"$GROUP" "$_tmp" && chmod 0660 "$_tmp" && ln -T -- "$_tmp" "$HIVE_DIR/$1" ||
        { rm -f -- "$_tmp"; return 1; }
    rm -f -- "$_tmp"
}

# odd_file PATH: says what PATH is when it is anything but a regular file with one name.
odd_file() {
    if [ -L "$1" ]; then
        echo "a symbolic link"
    elif [ ! -e "$1" ]; then
        return 1
    elif [ ! -f "$1" ]; then
        echo "not a regular file"
    elif [ "$(stat -c %h -- "$1")" != 1 ]; then
        echo "a file with $(stat -c %h -- "$1") names"
    else
        return 1
    fi
}

# The hive folder: root:quillon 2750, so members read it and write the hive's files (0660)
# but can neither add, rename nor remove a name in it. The folder is closed first; only then
# are the names in it looked at and changed, so no member can swap one meanwhile (chown and
# chmod follow a symbolic link). Returns 1 when registry.db itself must be put right by hand.
make_hive() {
    _parent=$(dirname -- "$HIVE_DIR")
    root_only "$_parent" || die "$_parent or a folder above it can be written by others than root; not touching $HIVE_DIR"
    [ -L "$HIVE_DIR" ] && die "$HIVE_DIR is a symbolic link; not touching it"
    if [ ! -e "$HIVE_DIR" ]; then
        say "creating $HIVE_DIR"
        mkdir -m 0700 "$HIVE_DIR" || die "cannot create $HIVE_DIR"
    fi
    [ -d "$HIVE_DIR" ] || die "$HIVE_DIR is not a folder; not touching it"
    # An older install left it 2770 (members wrote the folder): it is closed here.
    chown -h root:"$GROUP" "$HIVE_DIR" && chmod 2750 "$HIVE_DIR" || die "cannot close $HIVE_DIR"
    root_only "$HIVE_DIR" || die "$HIVE_DIR stays writable by others than root; not touching what is in it"

    _status=0
    _db=$HIVE_DIR/registry.db
    if _what=$(odd_file "$_db"); then
        case $_what in
        "a symbolic link") _fix="put the database it points to in its place (sudo cp --remove-destination \"\$(readlink -f $_db)\" $_db)" ;;
        "not a regular file") _fix="move it away (sudo mv $_db $_db.bad)" ;;
        *) _fix="give it a name of its own (sudo cp -p $_db $_db.new && sudo mv $_db.new $_db)" ;;
        esac
        warn "$_db is $_what; not touching it. To fix it by hand, $_fix, then run this again."
        _status=1
    elif [ -f "$_db-wal" ] && [ ! -L "$_db-wal" ] && [ -s "$_db-wal" ] &&
        [ "$(stat -c %h -- "$_db-wal")" = 1 ]; then
        if [ ! -e "$_db" ]; then
            # A new database beside an old log would have SQLite replay the log into it.
            warn "$_db is missing but $_db-wal holds data of a database that is gone; not" \
                "making a new hive beside it. Move $_db-wal away by hand, then run this again."
            _status=1
        fi
    elif [ -e "$_db" ] && [ ! -s "$_db" ]; then
        # An empty file holds no rules, and members could not make a database of it: SQLite
        # would need a rollback journal beside it, which they cannot create.
        say "replacing the empty $_db with an empty hive"
        rm -f -- "$_db" || die "cannot remove $_db"
    fi
    for _name in registry.db registry.db-wal registry.db-shm; do
        _f=$HIVE_DIR/$_name
        if [ "$_name" = registry.db ] && [ $_status != 0 ]; then
            continue
        fi
        if _what=$(odd_file "$_f"); then
            # Only the name in this folder goes, never what a link points at or the file's
            # other names; SQLite rebuilds an empty log and index.
            say "replacing $_f ($_what) with an empty file"
            rm -rf -- "$_f" || die "cannot remove $_f"
        fi
        if [ -e "$_f" ]; then
            chown root:"$GROUP" "$_f" && chmod 0660 "$_f" || die "cannot give $_f to the group"
        else
            say "creating $_f"
            new_hive_file "$_name" || die "could not create $_f"
        fi
    done
    return $_status
}

make_log() {
    _log=$1/WDlog.log
    if ! root_only "$1"; then
        warn "not making $_log: $1 or a folder above it can be written by others than root"
        return 1
    fi
    if [ -L "$_log" ] || { [ -e "$_log" ] && [ ! -f "$_log" ]; }; then
        warn "$_log is not a regular file; not touching it"
        return 1
    fi
    if [ ! -e "$_log" ]; then
        say "creating $_log"
        install -m 0660 -o root -g "$GROUP" /dev/null "$_log"
    else
        # A log from before the group (root's, 0644) would keep every member from logging.
        chown root:"$GROUP" "$_log" && chmod 0660 "$_log"
    fi
}

# Quotes a path for an Exec line as the program itself does.
exec_arg() {
    printf '"%s"' "$(printf '%s' "$1" | sed -e 's/[\\"`$]/\\&/g' -e 's/%/%%/g' -e 's/\\/\\\\/g')"
}

make_entry() {
    _bin=$1/quillon
    if ! root_only "$_bin"; then
        say "not writing $ENTRY: $_bin or a folder above it can be written by others than root"
        return 1
    fi
    mkdir -p "$(dirname "$ENTRY")"
    _tmp=$(mktemp "$ENTRY.XXXXXX")
    cat >"$_tmp" <<ENTRY_TEXT
[Desktop Entry]
Type=Application
Name=Quillon防火墙
Comment=Quillon超敏感防火墙
Exec=$(exec_arg "$_bin")
Terminal=false
NoDisplay=true
X-GNOME-Autostart-enabled=true
ENTRY_TEXT
    chmod 0644 "$_tmp"
    mv -f "$_tmp" "$ENTRY"
}

# The installed helper's capabilities: cap_net_admin to cut connections, cap_bpf and
# cap_perfmon to load its built-in kernel programs. It gives up cap_perfmon once they are
# loaded, and cap_bpf too where the kernel does not ask for it on every update of their tables.
HELPER_CAPS=cap_bpf,cap_perfmon,cap_net_admin=ep

# set_helper HELPER: root:quillon 0750 with HELPER_CAPS, for a helper in a root-only folder.
set_helper() {
    _h=$1
    if [ ! -f "$_h" ] || [ -L "$_h" ]; then
        say "$_h is missing or not a regular file" >&2
        return 1
    fi
    if ! root_only "$(dirname -- "$_h")"; then
        say "refusing to give $_h a capability: a folder above it can be written by others than root" >&2
        return 1
    fi
    chown root:"$GROUP" "$_h" && chmod 0750 "$_h" && root_only "$_h" || return 1
    setcap "$HELPER_CAPS" "$_h"
}

# asking_uid [USER]: the user a checkout is for: the one who ran sudo, or USER without sudo.
asking_uid() {
    _for=${1:-}
    _for_uid=
    if [ -n "$_for" ]; then
        _for_uid=$(id -u -- "$_for" 2>/dev/null) || die "no user $_for"
    fi
    if [ -n "${SUDO_UID:-}" ]; then
        case $SUDO_UID in *[!0-9]*) die "SUDO_UID is not a number" ;; esac
        if [ -n "$_for_uid" ] && [ "$_for_uid" != "$SUDO_UID" ]; then
            die "refusing a checkout for $_for: it was asked for through sudo by $(user_called "$SUDO_UID")"
        fi
        echo "$SUDO_UID"
    elif [ -n "$_for_uid" ]; then
        echo "$_for_uid"
    else
        die "checkout is for the user whose build it is: run it through sudo, or name the user with --for USER"
    fi
}

# The checkout of a helper: the helper the asking user built in BIN_DIR, a folder of that
# user's, is copied through a descriptor into a work folder of root's made inside BIN_DIR,
# given its group, mode and capability there, and renamed into BIN_DIR. BIN_DIR's path is
# resolved once (cd -P): from then on everything is relative to that folder or to a
# descriptor of it (fd 8), so neither its owner nor the owner of a folder above can redirect
# a step by swapping a name for a link. The user cannot change the result (root's, 0750) nor
# replace it without losing the capability; a rename keeps it, and remove takes it off any
# such copy.

# user_called UID: "user NAME", or "user UID" for a number with no name.
user_called() {
    _n=$(getent passwd "$1" | cut -d: -f1)
    echo "user ${_n:-$1}"
}

# enter_build_dir BIN_DIR UID
enter_build_dir() {
    cd -P -- "$1" 2>/dev/null || die "cannot enter $1"
    _here=$(pwd -P)
    _owner=$(stat -c %u .)
    [ "$_owner" = "$2" ] ||
        die "refusing $_here: it belongs to $(user_called "$_owner"), not to $(user_called "$2"), who asked for the checkout"
    _here_id=$(stat -c '%d:%i' .)
    exec 8<.
}

# enter_work: makes a work folder of root's inside the build folder and enters it.
enter_work() {
    _work=$(mktemp -d .quillon-setup.XXXXXX) || die "cannot make a work folder in $_here"
    # The name is the folder owner's to swap until it is entered: what is entered must be a
    # fresh, empty folder of root's, 0700, whose parent is the build folder.
    if ! cd -P -- "$_work" 2>/dev/null ||
        [ "$(stat -c '%u %a' .)" != "0 700" ] || [ "$(stat -c '%d:%i' ..)" != "$_here_id" ] ||
        [ -n "$(ls -A .)" ]; then
        cd -P /proc/self/fd/8 && rmdir -- "$_work" 2>/dev/null || true
        die "the work folder $_here/$_work was replaced; nothing was done"
    fi
    _in_work=1
}

# copy_helper UID: copies the helper into the work folder.
copy_helper() {
    enter_work
    # Read through one descriptor that follows no link and waits on no FIFO; its owner and
    # type are those of the file whose bytes are copied.
    _why=$(perl -e '
        use strict;
        use Fcntl qw(O_RDONLY O_WRONLY O_CREAT O_EXCL O_NOFOLLOW O_NONBLOCK S_ISREG);
        my ($src, $shown, $uid) = @ARGV;
        sysopen(my $in, $src, O_RDONLY | O_NOFOLLOW | O_NONBLOCK)
            or die "cannot open $shown as a file of its own (a link, or missing?): $!\n";
        my @st = stat($in) or die "cannot read $shown: $!\n";
        S_ISREG($st[2]) or die "$shown is not a regular file\n";
        my $name = sub { my $n = getpwuid($_[0]); "user " . (defined $n ? $n : $_[0]) };
        $st[4] == $uid or die sprintf("refusing %s: it belongs to %s, not to %s, who asked for the checkout\n",
            $shown, $name->($st[4]), $name->($uid));
        $st[7] > 0 or die "$shown is empty\n";
        sysopen(my $out, "quillon-cut", O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0700)
            or die "cannot write the copy of $shown: $!\n";
        while (1) {
            my $n = sysread($in, my $buf, 65536);
            defined $n or die "cannot read $shown: $!\n";
            last if $n == 0;
            syswrite($out, $buf) == $n or die "cannot write the copy of $shown: $!\n";
        }
        close($out) or die "cannot write the copy of $shown: $!\n";
    ' /proc/self/fd/8/quillon-cut "$_here/quillon-cut" "$1" 2>&1 </dev/null) ||
        die "${_why:-could not copy $_here/quillon-cut}"
}

# finish_helper: the copy gets its group, mode and capability (cap_net_admin, never more),
# then BIN_DIR's helper name.
finish_helper() {
    chown root:"$GROUP" quillon-cut && chmod 0750 quillon-cut && setcap cap_net_admin+ep quillon-cut ||
        die "could not give $_here/quillon-cut its group, mode and capability"
    perl -e 'rename($ARGV[0], $ARGV[1]) or die "setup-rights: cannot put the helper in place: $!\n"' \
        quillon-cut /proc/self/fd/8/quillon-cut </dev/null || exit 1
    leave_work
    say "$_here/quillon-cut: root:$GROUP 0750, cap_net_admin+ep"
}

# leave_work: from inside the work folder, empties it and removes it from BIN_DIR.
_in_work=0
leave_work() {
    [ "$_in_work" = 1 ] || return 0
    _in_work=0
    rm -f quillon-cut held
    cd -P /proc/self/fd/8 && rmdir -- "$_work" 2>/dev/null || true
}

# uncap DIR: takes the file capability off every root-owned regular file in DIR (a helper
# given one here, or a copy of it under another name). DIR's owner may swap any name in it
# for a link, and setcap would follow one; so each name is hard-linked (the name itself, never
# what a link points at) into a work folder of root's, looked at and changed there.
uncap() {
    [ -d "$1" ] || return 0
    (
        cd -P -- "$1" || exit 0
        _here=$(pwd -P)
        _here_id=$(stat -c '%d:%i' .)
        exec 8<.
        trap leave_work EXIT
        trap 'exit 1' HUP INT TERM
        enter_work
        for _n in /proc/self/fd/8/* /proc/self/fd/8/.[!.]* /proc/self/fd/8/..?*; do
            ln -P -T -- "$_n" held 2>/dev/null || continue
            if [ -f held ] && [ ! -L held ] && [ "$(stat -c %u held)" = 0 ] &&
                [ -n "$(getcap held 2>/dev/null)" ]; then
                say "taking the capability off $_here/${_n#/proc/self/fd/8/}"
                setcap -r held || warn "could not take the capability off $_here/${_n#/proc/self/fd/8/}"
            fi
            rm -f held
        done
    )
}

remove_entry() {
    _bin=$1/quillon
    [ -f "$ENTRY" ] || return 0
    # Only the entry that starts this program folder's binary is taken away.
    if grep -qxF "Exec=$(exec_arg "$_bin")" "$ENTRY"; then
        say "removing $ENTRY"
        rm -f "$ENTRY"
    fi
}

usage() {
    die "usage: $0 install|remove|purge [PROGRAM_DIR] | checkout BIN_DIR [--for USER]"
}

[ "$(id -u)" -eq 0 ] || die "run this as root (sudo sh $0 ...)"
action=${1:-}

case $action in
install)
    dir=${2:-$(cd "$(dirname -- "$0")" && pwd -P)}
    case $dir in /*) ;; *) dir=$(cd "$dir" && pwd -P) ;; esac
    make_group
    status=0
    make_hive || status=1
    make_log "$dir" || status=1
    set_helper "$dir/quillon-cut" || status=1
    make_entry "$dir" || status=1
    exit $status
    ;;
checkout)
    [ $# -ge 2 ] || usage
    bin_dir=$2
    for_user=
    shift 2
    while [ $# -gt 0 ]; do
        case $1 in
        --for) [ $# -ge 2 ] || usage; for_user=$2; shift 2 ;;
        *) usage ;;
        esac
    done
    uid=$(asking_uid "$for_user") || exit 1
    # Whatever refuses the checkout does so before anything else is changed.
    enter_build_dir "$bin_dir" "$uid"
    trap leave_work EXIT
    trap 'exit 1' HUP INT TERM
    copy_helper "$uid"
    make_group
    status=0
    make_hive || status=1
    finish_helper
    exit $status
    ;;
remove | purge)
    dir=${2:-$(cd "$(dirname -- "$0")" && pwd -P)}
    case $dir in /*) ;; *) dir=$(cd "$dir" && pwd -P) ;; esac
    remove_entry "$dir"
    status=0
    uncap "$dir" || status=1
    if [ "$action" = purge ]; then
        say "removing $HIVE_DIR and $dir/WDlog.log"
        if [ -d "$HIVE_DIR" ] && [ ! -L "$HIVE_DIR" ]; then
            find "$HIVE_DIR" -mindepth 1 -delete
            rmdir "$HIVE_DIR" 2>/dev/null || true # a mount point stays, empty
        fi
        # The log is only ever made in a folder of root's; elsewhere its name is not root's to use.
        if root_only "$dir"; then
            rm -f "$dir/WDlog.log"
        fi
    fi
    exit $status
    ;;
*)
    usage
    ;;
esac
