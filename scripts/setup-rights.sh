#!/bin/sh
# Sets up, or takes back, the rights Quillon's users need on this machine. Run as root.
#
#   setup-rights.sh install [PROGRAM_DIR]   group quillon; /var/lib/quillon root:quillon 2770;
#                                           PROGRAM_DIR/WDlog.log root:quillon 0660 (if missing);
#                                           PROGRAM_DIR/quillon-cut root:quillon 0750 with
#                                           cap_net_admin+ep; /etc/xdg/autostart/quillon.desktop
#   setup-rights.sh remove [PROGRAM_DIR]    undoes that, keeping the hive, the log and the group
#   setup-rights.sh purge [PROGRAM_DIR]     also removes the hive folder and the log
#   setup-rights.sh checkout BIN_DIR        for a build folder a user runs Quillon from: the
#                                           group, the hive folder, and BIN_DIR/quillon-cut
#                                           made root:quillon 0750 with the capability
#
# PROGRAM_DIR defaults to the folder holding this script (/opt/quillon once installed). Every
# action can be run again; it changes only what is not yet as it should be. A capability is
# only ever set on a file in a folder that no one but root can write; nothing a user can
# write is followed, executed or trusted.
set -eu

GROUP=quillon
HIVE_DIR=/var/lib/quillon
ENTRY=/etc/xdg/autostart/quillon.desktop

say() { printf 'setup-rights: %s\n' "$*"; }
die() { printf 'setup-rights: %s\n' "$*" >&2; exit 1; }

# root_only PATH: PATH and every folder above it are root's and writable by no one else.
root_only() {
    _p=$1
    while :; do
        [ -L "$_p" ] && return 1
        _st=$(stat -c '%u %a' -- "$_p" 2>/dev/null) || return 1
        [ "${_st%% *}" = 0 ] || return 1
        [ $((0${_st#* } & 022)) -eq 0 ] || return 1
        [ "$_p" = / ] && return 0
        _p=$(dirname -- "$_p")
    done
}

make_group() {
    getent group "$GROUP" >/dev/null && return 0
    say "creating the system group $GROUP"
    groupadd --system "$GROUP"
}

# The hive folder: members of the group write the hive; setgid keeps new files in the group.
make_hive_dir() {
    [ -L "$HIVE_DIR" ] && die "$HIVE_DIR is a symbolic link; not touching it"
    if [ ! -d "$HIVE_DIR" ]; then
        say "creating $HIVE_DIR"
        mkdir -p "$HIVE_DIR"
    fi
    # Hive files made before the group existed become the group's, readable and writable by
    # it. The folder is closed to the group meanwhile: chown and chmod follow a symbolic link,
    # and a member could otherwise swap a file for a link to, say, /etc/shadow between the
    # check and the change. A file with another name elsewhere (a hard link) is left alone.
    chown root:"$GROUP" "$HIVE_DIR"
    chmod 0700 "$HIVE_DIR"
    for _f in "$HIVE_DIR"/registry.db*; do
        [ -f "$_f" ] && [ ! -L "$_f" ] && [ "$(stat -c %h -- "$_f")" = 1 ] || continue
        chown root:"$GROUP" "$_f"
        chmod 0660 "$_f"
    done
    chmod 2770 "$HIVE_DIR"
}

make_log() {
    _log=$1/WDlog.log
    if [ -L "$_log" ] || { [ -e "$_log" ] && [ ! -f "$_log" ]; }; then
        die "$_log is not a regular file; not touching it"
    fi
    if [ ! -e "$_log" ]; then
        say "creating $_log"
        install -m 0660 -o root -g "$GROUP" /dev/null "$_log"
    elif root_only "$1"; then
        # A log from before the group (root's, 0644) would keep every member from logging.
        chown root:"$GROUP" "$_log"
        chmod 0660 "$_log"
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

# set_helper HELPER: root:quillon 0750 with cap_net_admin+ep, for a helper in a root-only folder.
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
    chown root:"$GROUP" "$_h"
    chmod 0750 "$_h"
    root_only "$_h" || return 1
    setcap cap_net_admin+ep "$_h"
}

# For a build folder that its user may write: the helper is copied into a folder of root's
# own, given its group, mode and capability there, and only then renamed into the build
# folder. The capability is never set on a file the user could swap meanwhile, and the user
# can neither change the result (root's, 0750) nor replace it without losing the capability.
place_helper() {
    _dir=$1
    _src=$_dir/quillon-cut
    [ -d "$_dir" ] && [ ! -L "$_dir" ] || die "$_dir is not a folder"
    _work=$(mktemp -d /run/quillon-setup.XXXXXX)
    # dd with nofollow: a link in the helper's place is not followed; nonblock: a FIFO there
    # gives an empty copy instead of a wait.
    if ! dd if="$_src" of="$_work/quillon-cut" iflag=nofollow,nonblock status=none 2>/dev/null ||
        [ ! -s "$_work/quillon-cut" ]; then
        rm -rf "$_work"
        die "$_src cannot be read as a regular file"
    fi
    set_helper "$_work/quillon-cut" || { rm -rf "$_work"; die "could not prepare the helper"; }
    mv -f "$_work/quillon-cut" "$_src"
    rmdir "$_work"
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

[ "$(id -u)" -eq 0 ] || die "run this as root (sudo sh $0 ...)"
action=${1:-}
dir=${2:-$(cd "$(dirname -- "$0")" && pwd -P)}
case $dir in /*) ;; *) dir=$(cd "$dir" && pwd -P) ;; esac

case $action in
install)
    make_group
    make_hive_dir
    make_log "$dir"
    status=0
    set_helper "$dir/quillon-cut" || status=1
    make_entry "$dir" || status=1
    exit $status
    ;;
checkout)
    make_group
    make_hive_dir
    place_helper "$dir"
    ;;
remove | purge)
    remove_entry "$dir"
    if [ -f "$dir/quillon-cut" ] && [ ! -L "$dir/quillon-cut" ]; then
        setcap -r "$dir/quillon-cut" 2>/dev/null || true
    fi
    if [ "$action" = purge ]; then
        say "removing $HIVE_DIR and $dir/WDlog.log"
        if [ -d "$HIVE_DIR" ] && [ ! -L "$HIVE_DIR" ]; then
            find "$HIVE_DIR" -mindepth 1 -delete
            rmdir "$HIVE_DIR" 2>/dev/null || true # a mount point stays, empty
        fi
        rm -f "$dir/WDlog.log"
    fi
    ;;
*)
    die "usage: $0 install|remove|purge [PROGRAM_DIR] | checkout BIN_DIR"
    ;;
esac
