#!/usr/bin/env bash
# Started where no X display can be opened, quillon says so in one line and exits with 1,
# whether DISPLAY is unset or names a display that is not there. Needs only the build.
set -uo pipefail
bin=$1/quillon
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
status=0
for display in "" ":97531"; do
    if [ -z "$display" ]; then which=(-u DISPLAY); else which=("DISPLAY=$display"); fi
    env -u QT_QPA_PLATFORM -u WAYLAND_DISPLAY -u XDG_SESSION_TYPE -u QT_QPA_PLATFORMTHEME \
        "${which[@]}" HOME="$out" XDG_RUNTIME_DIR="$out" "$bin" >"$out/stdout" 2>"$out/stderr"
    rc=$?
    lines=$(wc -l <"$out/stderr")
    echo "DISPLAY='$display': exit $rc, stderr: $(cat "$out/stderr")"
    if [ "$rc" -ne 1 ] || [ "$lines" -ne 1 ] || ! grep -q '^quillon: cannot open the display' "$out/stderr" ||
        [ -s "$out/stdout" ]; then
        echo "FAIL: expected one line 'quillon: cannot open the display ...' and exit 1"
        status=1
    fi
done
exit $status
