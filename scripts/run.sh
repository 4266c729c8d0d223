#!/usr/bin/env bash
# Installs what Quillon needs, builds it and starts it. Run it from the checkout:
#   bash scripts/run.sh
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
quillon_install "${QUILLON_RUN_PACKAGES[@]}"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLON_TESTS=OFF -DQUILLON_BENCH=OFF
cmake --build build/release
# Cutting connections needs CAP_NET_ADMIN and the rule hive lives in /var/lib/quillon:
# start as root when we can ask for it, otherwise as the user (Quillon then says what it lacks).
if [ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null; then
    exec sudo --preserve-env=DISPLAY,XAUTHORITY,WAYLAND_DISPLAY,XDG_RUNTIME_DIR,DBUS_SESSION_BUS_ADDRESS \
        build/release/bin/quillon
fi
exec build/release/bin/quillon
