#!/usr/bin/env bash
# Makes the Debian package with scripts/package.sh and checks it: its fields, lintian, the
# files it holds; then installs, removes and purges it with dpkg inside a private mount
# namespace whose /etc, /usr, /var and /opt are overlays on scratch space, so the machine
# itself is never changed, and checks what each step leaves.
#   check_package.sh <source folder> <build folder>
set -uo pipefail

fail() {
    echo "FAIL: $*"
    exit 1
}

# --- inside the namespace: dpkg -i, -r and -P against the real dpkg database, overlaid ---
if [ "${1:-}" = --inside ]; then
    deb=$2
    scratch=$3
    rights=$4
    mount -t tmpfs -o mode=0700 tmpfs "$scratch" || fail "no scratch space"
    for d in etc usr var opt; do
        mkdir -p "$scratch/$d/upper" "$scratch/$d/work"
        mount -t overlay overlay \
            -o "lowerdir=/$d,upperdir=$scratch/$d/upper,workdir=$scratch/$d/work" "/$d" ||
            fail "cannot overlay /$d"
    done
    modes() { stat -c '%a %U %G' "$1" 2>/dev/null; }
    # caps_of FILE: its capability names, sorted, and their flags (getcap lists them its own way).
    caps_of() {
        local c
        c=$(getcap "$1" | cut -d' ' -f2-)
        [ -z "$c" ] || echo "$(tr , '\n' <<<"${c%%=*}" | sort | paste -sd , -)=${c#*=}"
    }
    # The helper's: cap_net_admin to cut, cap_bpf and cap_perfmon to load its kernel programs.
    helper_caps=cap_bpf,cap_net_admin,cap_perfmon=ep

    if [ "$rights" = 1 ]; then
        # A hive from before the package: a file of root's that the group must be given, and
        # names a member could have planted to have root change other files' rights.
        rm -rf /var/lib/quillon
        mkdir -p /var/lib/quillon
        install -m 0644 /dev/null /var/lib/quillon/registry.db
        install -m 0600 /dev/null /var/lib/quillon-secret
        ln -s /var/lib/quillon-secret /var/lib/quillon/registry.db-wal
        ln /var/lib/quillon-secret /var/lib/quillon/registry.db-shm
    fi
    dpkg -i "$deb" >"$scratch/install.log" 2>&1 || { cat "$scratch/install.log"; fail "dpkg -i failed"; }
    [ "$(/usr/bin/quillon --version)" = "quillon $(dpkg-deb -f "$deb" Version)" ] ||
        fail "/usr/bin/quillon does not run"
    if [ "$rights" = 1 ]; then
        grep -q "not every right" "$scratch/install.log" && { cat "$scratch/install.log"; fail "postinst could not set up the rights"; }
        getent group quillon >/dev/null || fail "no group quillon after the install"
        # Members write the hive's files, never its folder; root made the files.
        hive_modes() {
            local f
            [ "$(modes /var/lib/quillon)" = "2750 root quillon" ] ||
                fail "$1: /var/lib/quillon is $(modes /var/lib/quillon)"
            for f in registry.db registry.db-wal registry.db-shm; do
                [ -f "/var/lib/quillon/$f" ] && [ ! -L "/var/lib/quillon/$f" ] &&
                    [ "$(modes "/var/lib/quillon/$f") $(stat -c %h "/var/lib/quillon/$f")" = "660 root quillon 1" ] ||
                    fail "$1: $f is $(stat -c '%F %a %U %G, %h names' "/var/lib/quillon/$f" 2>&1)"
            done
        }
        hive_modes "an install over a hive from before the package"
        [ "$(modes /var/lib/quillon-secret)" = "600 root root" ] ||
            fail "the install changed a file through a link: $(modes /var/lib/quillon-secret)"
        rm -f /var/lib/quillon-secret
        [ "$(modes /opt/quillon/WDlog.log)" = "660 root quillon" ] ||
            fail "/opt/quillon/WDlog.log is $(modes /opt/quillon/WDlog.log)"
        [ "$(modes /opt/quillon/quillon-cut)" = "750 root quillon" ] ||
            fail "/opt/quillon/quillon-cut is $(modes /opt/quillon/quillon-cut)"
        [ "$(caps_of /opt/quillon/quillon-cut)" = "$helper_caps" ] ||
            fail "quillon-cut holds $(caps_of /opt/quillon/quillon-cut), not cap_bpf,cap_perfmon,cap_net_admin=ep"
        # A plain user in the group stores rules and may start the helper; one outside may not.
        # setpriv's own exec still passes root's permission checks, so env starts the program.
        member=(setpriv --reuid=65534 --regid=65534 --groups="$(getent group quillon | cut -d: -f3)"
            --reset-env -- env)
        outsider=(setpriv --reuid=65534 --regid=65534 --clear-groups --reset-env -- env)
        ip_key='HKLM\SOFTWARE\Larkspire Works\LarkPF\block\ip'
        "${member[@]}" /usr/bin/quillon-reg add "$ip_key" 198.51.100.1 1 ||
            fail "a member of group quillon cannot store a rule"
        # The hive as an older install left it: the folder open to the group (2770), the
        # database a file of root's that the group must be given, and at the side files names a
        # member could have planted to have root change another file: a link and a second name
        # of a throw-away file. The member's rules are folded into the database file first.
        "${member[@]}" sqlite3 /var/lib/quillon/registry.db 'PRAGMA wal_checkpoint(TRUNCATE)' >/dev/null ||
            fail "cannot fold the log into the database"
        chmod 2770 /var/lib/quillon
        chown root:root /var/lib/quillon/registry.db && chmod 0644 /var/lib/quillon/registry.db
        printf 'throw-away\n' >/var/lib/quillon-secret && chmod 0600 /var/lib/quillon-secret
        rm -f /var/lib/quillon/registry.db-wal /var/lib/quillon/registry.db-shm
        ln -s /var/lib/quillon-secret /var/lib/quillon/registry.db-wal
        ln /var/lib/quillon-secret /var/lib/quillon/registry.db-shm
        # An upgrade unpacks a new helper, without the capability; the postinst gives it back,
        # and moves the hive to the modes above.
        dpkg -i "$deb" >"$scratch/upgrade.log" 2>&1 || { cat "$scratch/upgrade.log"; fail "installing again failed"; }
        hive_modes "an upgrade of an older hive"
        [ "$(modes /var/lib/quillon-secret) $(stat -c %h /var/lib/quillon-secret) $(cat /var/lib/quillon-secret)" = \
            "600 root root 1 throw-away" ] ||
            fail "the upgrade changed a file through a link: $(stat -c '%a %U %G, %h names' /var/lib/quillon-secret)"
        rm -f /var/lib/quillon-secret
        [ "$("${member[@]}" /usr/bin/quillon-reg query "$ip_key" 198.51.100.1)" = 1 ] ||
            fail "the upgrade lost a rule of the older hive"
        [ "$(caps_of /opt/quillon/quillon-cut)" = "$helper_caps" ] ||
            fail "quillon-cut holds $(caps_of /opt/quillon/quillon-cut) after the package was installed again"
        [ -f /etc/xdg/autostart/quillon.desktop ] || fail "installing again took the autostart entry away"
        [ -z "$(getcap /opt/quillon/quillon)" ] || fail "quillon itself holds a capability"
        grep -q '^Exec=.*/opt/quillon/quillon' /etc/xdg/autostart/quillon.desktop 2>/dev/null ||
            fail "no machine-wide autostart entry for /opt/quillon/quillon"
        quillon-reg add 'HKLM\SOFTWARE\Larkspire Works\LarkPF\options' seclvl 2 ||
            fail "quillon-reg cannot write the hive"
        quillon-reg log >/dev/null || fail "quillon-reg cannot read the log"
        "${member[@]}" /usr/bin/quillon-reg add "$ip_key" 203.0.113.7 1 ||
            fail "a member of group quillon cannot store a rule"
        [ "$("${member[@]}" /usr/bin/quillon-reg query "$ip_key" 203.0.113.7)" = 1 ] ||
            fail "a member of group quillon cannot read a rule back"
        "${member[@]}" touch /var/lib/quillon/planted 2>/dev/null && fail "a member can create a file in /var/lib/quillon"
        "${member[@]}" /opt/quillon/quillon-cut </dev/null || fail "a member of group quillon cannot run quillon-cut"
        "${outsider[@]}" /opt/quillon/quillon-cut </dev/null 2>/dev/null && fail "a user outside group quillon ran quillon-cut"
        "${outsider[@]}" /usr/bin/quillon-reg add "$ip_key" 203.0.113.8 1 2>/dev/null &&
            fail "a user outside group quillon stored a rule"
    fi

    dpkg -r quillon >"$scratch/remove.log" 2>&1 || { cat "$scratch/remove.log"; fail "dpkg -r failed"; }
    for f in /usr/bin/quillon /usr/bin/quillon-reg /opt/quillon/quillon /opt/quillon/quillon-cut \
        /usr/share/applications/quillon.desktop /etc/xdg/autostart/quillon.desktop; do
        [ ! -e "$f" ] || fail "$f is still there after dpkg -r"
    done
    if [ "$rights" = 1 ]; then
        # A remove keeps the rules, the log and the group.
        [ -f /var/lib/quillon/registry.db ] || fail "dpkg -r deleted the hive"
        [ -f /opt/quillon/WDlog.log ] || fail "dpkg -r deleted the log"
        getent group quillon >/dev/null || fail "dpkg -r deleted the group"

        dpkg -P quillon >"$scratch/purge.log" 2>&1 || { cat "$scratch/purge.log"; fail "dpkg -P failed"; }
        [ ! -e /var/lib/quillon ] || fail "/var/lib/quillon is still there after dpkg -P"
        [ ! -e /opt/quillon ] || fail "/opt/quillon is still there after dpkg -P"
        # Nothing else the package made may remain: only dpkg's own records, logs, caches
        # that triggers rebuilt, and the group (Debian keeps system groups).
        left=$(cd "$scratch" && find etc/upper usr/upper var/upper opt/upper -not -type d -not -type c |
            grep -vE '^etc/upper/(group|gshadow|passwd|shadow|subgid|subuid)-?$|^etc/upper/\.pwd\.lock$|^var/upper/(lib/dpkg|log|cache)/|icon-theme\.cache$|mimeinfo\.cache$|^usr/upper/share/info/dir$')
        [ -z "$left" ] || fail "left behind after the purge: $left"
    fi
    exit 0
fi

# --- outside: build, inspect, then run the above in a private mount namespace ---
src=$1
build=$2
[ "$(id -u)" -eq 0 ] || { echo "needs root (dpkg in a private mount namespace)"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A maintainer for the scratch package only; the address is in a reserved, unroutable domain.
CMAKE_BUILD_PARALLEL_LEVEL=2 DEBFULLNAME="Quillon package test" DEBEMAIL="package-test@invalid" \
    bash "$src/scripts/package.sh" "$build/package-build" >"$work/build.log" 2>&1 ||
    { tail -40 "$work/build.log"; fail "scripts/package.sh failed"; }
deb=$(ls "$build"/package-build/package/quillon_*.deb) || fail "no package was made"
echo "package: $deb ($(stat -c %s "$deb") bytes)"

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for d in libqt6core6 libqt6widgets6 libsqlite3-0 "fonts-wqy-microhei | fonts-noto-cjk" \
    qt6-translations-l10n libcap2-bin; do
    grep -qF "$d" <<<"$depends" || fail "the package does not depend on $d"
done
# The cut helper links libbpf: its runtime, by the name dpkg-shlibdeps gives it.
grep -qE '(^|, )libbpf1( \(|,|$)' <<<"$depends" || fail "the package does not depend on libbpf1"

# The scratch maintainer's reserved domain is the one finding lintian may make about it.
lintian --fail-on error,warning --display-info \
    --suppress-tags bogus-mail-host,bogus-mail-host-in-debian-changelog "$deb" >"$work/lintian.log" 2>&1
lintian_status=$?
grep -v '^running with root' "$work/lintian.log"
[ $lintian_status -eq 0 ] || fail "lintian reports errors or warnings"

root=$work/root
dpkg-deb -x "$deb" "$root" || fail "dpkg-deb -x failed"
for f in quillon quillon-reg; do
    [ "$(stat -c %a "$root/opt/quillon/$f")" = 755 ] || fail "/opt/quillon/$f is not 0755"
    [ "$(readlink "$root/usr/bin/$f")" = "/opt/quillon/$f" ] || fail "/usr/bin/$f does not link to /opt/quillon/$f"
done
for f in opt/quillon/QLWD.dat opt/quillon/SPLH.jpg usr/share/applications/quillon.desktop \
    usr/share/icons/hicolor/scalable/apps/quillon.svg usr/share/icons/hicolor/128x128/apps/quillon.png \
    usr/share/icons/hicolor/256x256/apps/quillon.png usr/share/man/man1/quillon.1.gz \
    usr/share/man/man1/quillon-reg.1.gz usr/share/metainfo/io.github.quillon.Quillon.metainfo.xml \
    usr/share/doc/quillon/copyright usr/share/doc/quillon/changelog.gz; do
    [ -s "$root/$f" ] || fail "/$f is not in the package"
done
[ ! -e "$root/usr/local" ] || fail "the package writes into /usr/local"
[ ! -e "$root/opt/quillon/WDlog.log" ] || fail "the package ships a log"
[ "$("$root/opt/quillon/quillon-reg" --version)" = "quillon-reg $(dpkg-deb -f "$deb" Version)" ] ||
    fail "the packaged quillon-reg does not run"

# The rights come with setup-rights.sh and the cut helper; a tree without them gets a package
# without them, whose install is checked for its files only.
rights=1
if [ ! -f "$root/opt/quillon/setup-rights.sh" ] || [ ! -f "$root/opt/quillon/quillon-cut" ]; then
    rights=0
    echo "NOTE: no setup-rights.sh or quillon-cut in the package: its rights and its purge are not checked"
fi
mkdir "$work/ns"
unshare --mount --propagation private -- bash "$0" --inside "$deb" "$work/ns" "$rights" ||
    fail "install, remove or purge"
[ $rights = 1 ] && echo "installed, removed and purged cleanly" || echo "installed and removed cleanly"
