#!/usr/bin/env bash
# Installs what Quillon needs, builds it and starts it. Run it from the checkout:
#   bash scripts/run.sh
#
# As root it runs Quillon as root, but only from a checkout that no one else can write: root
# never runs a build, nor a binary, that another user could change. That is checked before
# anything is installed or built. As a plain user it asks sudo once to create the group
# quillon and the hive in /var/lib/quillon and to give the cut helper that this user built
# its group and capability, then runs Quillon as that user: in the group (through
# `sg quillon` when this session started before the user joined it), it cuts through the
# helper, stores rules and writes its log; Quillon itself holds no capability.
set -euo pipefail
cd "$(dirname "$0")/.."
checkout=$(pwd -P)

# why_not_root_only PATH WHAT: says why root must not trust PATH (called WHAT) and fails;
# silent when PATH is root's, no link and writable by no one else, and every folder above it
# is root's, no link, and writable by no one else or sticky (as /tmp: there no one else can
# rename or replace root's entries).
why_not_root_only() {
    local p=$1 what=$2 above=0 uid mode owner
    while :; do
        if [ -L "$p" ]; then
            echo "$what, $p, is a symbolic link"
            return 1
        fi
        if ! read -r uid mode owner < <(stat -c '%u %a %U' -- "$p" 2>/dev/null); then
            echo "$what, $p, cannot be looked at"
            return 1
        fi
        if [ "$uid" != 0 ]; then
            echo "$what, $p, belongs to $owner, not to root"
            return 1
        fi
        if ((8#$mode & 8#022)) && { [ $above = 0 ] || ! ((8#$mode & 8#1000)); }; then
            echo "$what, $p, can be written by other users"
            return 1
        fi
        [ "$p" = / ] && return 0
        p=$(dirname -- "$p")
        above=1
        what="a folder above $2"
    done
}

if [ "$(id -u)" -eq 0 ]; then
    # Before any of the checkout's scripts or build files runs as root. Inside it, what another
    # user owns or can write would run as root as well; other build trees are not run here.
    if why=$(why_not_root_only "$checkout" "the checkout"); then
        if ! odd=$(find "$checkout" -path "$checkout/build/*" ! -path "$checkout/build/release*" \
            -prune -o ! -type l \( ! -uid 0 -o -perm /022 \) -print -quit); then
            why="not everything in it can be looked at"
        elif [ -z "$odd" ]; then
            why=
        elif [ "$(stat -c %u -- "$odd")" != 0 ]; then
            why="$odd, in the checkout, belongs to $(stat -c %U -- "$odd")"
        else
            why="$odd, in the checkout, can be written by other users"
        fi
    fi
    if [ -n "$why" ]; then
        # One line: the cause, then the way out (a copy made by root is root's alone).
        echo "Not building or running Quillon as root from $checkout: $why." \
            "Copy it to a folder only root can write and run it there" \
            "(cp -r $(printf '%q' "$checkout") /root/quillon && bash /root/quillon/scripts/run.sh)," \
            "or run this script as a plain user." >&2
        exit 1
    fi
fi

. scripts/deps.sh
quillon_install "${QUILLON_RUN_PACKAGES[@]}"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLON_TESTS=OFF -DQUILLON_BENCH=OFF
cmake --build build/release
bin=$(cd build/release/bin && pwd -P)

if [ "$(id -u)" -eq 0 ]; then
    why=$(why_not_root_only "$bin/quillon" "the built program") || {
        echo "Not running $bin/quillon as root: $why." >&2
        exit 1
    }
    exec "$bin/quillon"
fi

# Without sudo (a machine where only su reaches root), say exactly what root must run, then
# stop: the user runs this script again afterwards.
root_by_hand() {
    {
        echo "This machine has no sudo. Run as root (for example after su -):"
        printf '    %s\n' "$@"
        echo "then run this script again as $(id -un)."
    } >&2
    exit 1
}
me=$(id -un)

# The helper is rebuilt with every change; a fresh one has no group or capability yet.
if [ "$(stat -c '%U:%G %a' "$bin/quillon-cut")" != "root:quillon 750" ] ||
    ! getcap "$bin/quillon-cut" 2>/dev/null | grep -q cap_net_admin; then
    if ! command -v sudo >/dev/null; then
        commands=("sh $(printf '%q' "$checkout/scripts/setup-rights.sh") checkout $(printf '%q' "$bin") --for $(printf '%q' "$me")")
        if ! getent group quillon | cut -d: -f4 | tr ',' '\n' | grep -qx "$me"; then
            commands+=("usermod -aG quillon $(printf '%q' "$me")")
        fi
        root_by_hand "${commands[@]}"
    fi
    echo "Asking sudo to set up the group quillon, /var/lib/quillon and the cut helper's capability:"
    sudo sh scripts/setup-rights.sh checkout "$bin"
fi
# The log beside the binary is the user's own file in the user's own build folder.
if ! id -nG | tr ' ' '\n' | grep -qx quillon; then
    if getent group quillon | cut -d: -f4 | tr ',' '\n' | grep -qx "$(id -un)"; then
        exec sg quillon -c "$(printf '%q' "$bin/quillon")"
    fi
    command -v sudo >/dev/null || root_by_hand "usermod -aG quillon $(printf '%q' "$me")"
    echo "Adding $(id -un) to the group quillon (takes effect for new sessions; this one uses sg):"
    sudo usermod -aG quillon "$(id -un)"
    exec sg quillon -c "$(printf '%q' "$bin/quillon")"
fi
exec "$bin/quillon"
