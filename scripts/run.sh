#!/usr/bin/env bash
# Installs what Quillon needs, builds it and starts it. Run it from the checkout:
#   bash scripts/run.sh
#
# As root it runs Quillon as root, but only from a build folder that no one else can write
# (root never runs a binary another user could replace). As a plain user it asks sudo once to
# create the group quillon and the hive folder /var/lib/quillon and to give the cut helper in
# the build folder its group and capability, then runs Quillon as that user: in the group
# (through `sg quillon` when this session started before the user joined it), it cuts
# through the helper, stores rules and writes its log; Quillon itself holds no capability.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
quillon_install "${QUILLON_RUN_PACKAGES[@]}"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLON_TESTS=OFF -DQUILLON_BENCH=OFF
cmake --build build/release
bin=$(cd build/release/bin && pwd -P)

# root_only PATH: PATH and every folder above it are root's and writable by no one else.
root_only() {
    local p=$1 st
    while :; do
        [ -L "$p" ] && return 1
        st=$(stat -c '%u %a' -- "$p") || return 1
        [ "${st%% *}" = 0 ] && [ $((8#${st#* } & 8#022)) -eq 0 ] || return 1
        [ "$p" = / ] && return 0
        p=$(dirname -- "$p")
    done
}

if [ "$(id -u)" -eq 0 ]; then
    root_only "$bin/quillon" || {
        echo "Not running $bin/quillon as root: it, or a folder above it, can be written by" \
            "another user. Run this script as that user instead." >&2
        exit 1
    }
    exec "$bin/quillon"
fi

# The helper is rebuilt with every change; a fresh one has no group or capability yet.
if [ "$(stat -c '%U:%G %a' "$bin/quillon-cut")" != "root:quillon 750" ] ||
    ! getcap "$bin/quillon-cut" 2>/dev/null | grep -q cap_net_admin; then
    echo "Asking sudo to set up the group quillon, /var/lib/quillon and the cut helper's capability:"
    sudo sh scripts/setup-rights.sh checkout "$bin"
fi
# The log beside the binary is the user's own file in the user's own build folder.
if ! id -nG | tr ' ' '\n' | grep -qx quillon; then
    if getent group quillon | cut -d: -f4 | tr ',' '\n' | grep -qx "$(id -un)"; then
        exec sg quillon -c "$(printf '%q' "$bin/quillon")"
    fi
    echo "Adding $(id -un) to the group quillon (takes effect for new sessions; this one uses sg):"
    sudo usermod -aG quillon "$(id -un)"
    exec sg quillon -c "$(printf '%q' "$bin/quillon")"
fi
exec "$bin/quillon"
