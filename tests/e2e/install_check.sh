#!/usr/bin/env bash
# Installs the build into a staging folder (DESTDIR) and checks what lands where: the program
# folder, the links on the PATH, the desktop entry and the icons; then runs the staged
# quillon-reg. Needs nothing but the build; no root.
set -uo pipefail
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

fail() {
    echo "FAIL: $*"
    echo "--- staged tree"
    (cd "$stage" && find . | sort)
    exit 1
}

# What a staged install must leave alone on the building machine.
machine_state() {
    getent group quillon
    stat -c '%n %U:%G %a' /var/lib/quillon /etc/xdg/autostart/quillon.desktop 2>/dev/null
}
before=$(machine_state)

DESTDIR=$stage cmake --install "$build" >"$stage.log" 2>&1 || { cat "$stage.log"; rm -f "$stage.log"; fail "cmake --install failed"; }
rm -f "$stage.log"

prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
links=$(sed -n 's/^QUILLON_LINK_DIR:PATH=//p' "$build/CMakeCache.txt")
xdg=$(sed -n 's/^QUILLON_XDG_DATA_DIR:PATH=//p' "$build/CMakeCache.txt")
echo "program folder $prefix, links in $links, desktop files under $xdg"

for f in quillon quillon-reg; do
    [ -x "$stage$prefix/$f" ] || fail "$prefix/$f is missing or not executable"
    [ "$(readlink "$stage$links/$f")" = "$prefix/$f" ] || fail "$links/$f does not link to $prefix/$f"
done
[ -x "$stage$prefix/quillon-cut" ] || fail "$prefix/quillon-cut is missing or not executable"
[ -f "$stage$prefix/setup-rights.sh" ] || fail "$prefix/setup-rights.sh is missing"
[ "$(machine_state)" = "$before" ] || fail "the staged install changed the machine's group or folders"
if command -v getcap >/dev/null; then
    [ -z "$(getcap "$stage$prefix/quillon-cut" "$stage$prefix/quillon")" ] ||
        fail "the staged install set a capability"
fi
for f in QLWD.dat SPLH.jpg; do
    cmp -s "$stage$prefix/$f" "$build/bin/$f" || fail "$prefix/$f differs from the built one"
done

desktop=$stage$xdg/applications/quillon.desktop
[ -f "$desktop" ] || fail "no desktop entry"
grep -qx "Exec=$prefix/quillon" "$desktop" || fail "the desktop entry does not start $prefix/quillon"
grep -qx "Icon=quillon" "$desktop" || fail "the desktop entry names no icon"
grep -qx "Type=Application" "$desktop" || fail "the desktop entry is not an application"
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$desktop" || fail "the desktop entry does not validate"
fi

icons=0
for png in "$stage$xdg"/icons/hicolor/*/apps/quillon.png; do
    [ -f "$png" ] || continue
    size=$(basename "$(dirname "$(dirname "$png")")")
    # A PNG's width and height are the big-endian words at bytes 16 and 20.
    read -r w h < <(od -An -tu1 -j16 -N8 "$png" | awk '{print $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8}')
    [ "${w}x$h" = "$size" ] || fail "$png is ${w}x$h, not $size"
    icons=$((icons + 1))
done
[ "$icons" -ge 7 ] || fail "only $icons icon sizes installed"
for f in icons/hicolor/128x128/apps/quillon.png icons/hicolor/256x256/apps/quillon.png \
    icons/hicolor/scalable/apps/quillon.svg man/man1/quillon.1.gz man/man1/quillon-reg.1.gz \
    metainfo/io.github.quillon.Quillon.metainfo.xml; do
    [ -s "$stage$xdg/$f" ] || fail "$xdg/$f is not installed"
done

echo "installed: $(cd "$stage" && find . -type f -o -type l | sort | tr '\n' ' ')"

# The staged tools run from their own folder.
hive=$stage/hive.db
"$stage$prefix/quillon-reg" --hive "$hive" add 'HKLM\SOFTWARE\Larkspire Works\LarkPF\options' seclvl 2 ||
    fail "the installed quillon-reg cannot write a hive"
[ "$("$stage$prefix/quillon-reg" --hive "$hive" query 'HKLM\SOFTWARE\Larkspire Works\LarkPF\options' seclvl)" = 2 ] ||
    fail "the installed quillon-reg does not read back what it wrote"

# Another program folder chosen at install time: the entry and the links follow it.
other=$stage/other
DESTDIR=$other cmake --install "$build" --prefix /opt/quillon-test >/dev/null 2>&1 ||
    fail "cmake --install --prefix failed"
[ -x "$other/opt/quillon-test/quillon" ] || fail "--prefix did not move the program folder"
grep -qx "Exec=/opt/quillon-test/quillon" "$other$xdg/applications/quillon.desktop" ||
    fail "the desktop entry does not follow --prefix"
[ "$(readlink "$other$links/quillon-reg")" = /opt/quillon-test/quillon-reg ] ||
    fail "the links do not follow --prefix"
rm -rf "$other"

