# Sourced by run.sh and test.sh: installs the Debian packages named in $@ when any is missing.
# Runs apt-get only when something is missing, so a second run needs no network.
quillon_install() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null; then
            # Only su reaches root here: the exact commands, rather than "sudo: command not found".
            {
                echo "Missing packages: ${missing[*]}. This machine has no sudo. Run as root (for example after su -):"
                echo "    apt-get update && apt-get install -y --no-install-recommends ${missing[*]}"
                echo "then run this script again as $(id -un)."
            } >&2
            exit 1
        fi
        sudo=(sudo)
    fi
    echo "Installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# What building and running Quillon needs (libcap2-bin: setcap gives the cut helper its
# capabilities; qt6-translations-l10n: Qt's own texts, such as the entry fields' menu, in
# Chinese; clang, bpftool and libbpf-dev compile the helper's BPF programs and build them into
# it; groupadd, usermod and sg come with every Debian system).
QUILLON_RUN_PACKAGES=(g++ cmake ninja-build pkg-config qt6-base-dev libgl-dev libsqlite3-dev
    sqlite3 fonts-wqy-microhei qt6-qpa-plugins libcap2-bin qt6-translations-l10n clang bpftool
    libbpf-dev)
# What the tests need on top: an X server, a tray host and X tools for the end-to-end tests,
# iproute2 and libcap2-bin for the network-namespace and rights tests, imagemagick for
# screenshots, python3 for the loopback endpoints of the end-to-end tests and benchmark and
# for the layering check, procps (pgrep) to find the cut helper's process; the plain-user
# test makes its user and group with passwd's useradd and runs as them with util-linux's
# setpriv, both always there;
# dbus-daemon and python3-gi for a stand-in D-Bus tray host on a private session bus, and
# at-spi2-core for the accessibility bus that reads the log tab as a screen reader does; clang
# with its sanitizer and libFuzzer runtimes for the fuzz harnesses; man-db, appstream and
# librsvg2-bin to check the manual pages, the AppStream metainfo and the scalable icon;
# lintian for the Debian package.
QUILLON_TEST_PACKAGES=(xvfb xauth trayer xdotool x11-utils imagemagick iproute2 libcap2-bin
    python3 procps dbus-daemon dbus-session-bus-common python3-gi gir1.2-glib-2.0 at-spi2-core clang
    libclang-rt-14-dev man-db appstream librsvg2-bin lintian)
# What making the Debian package needs on top: dpkg-dev for dpkg-shlibdeps and
# dpkg-buildflags, file for CPack's search for binaries to strip and to scan.
QUILLON_PACKAGE_PACKAGES=(dpkg-dev file)
