#!/usr/bin/env bash
# Builds a release of Quillon and makes its Debian package with CPack:
#   bash scripts/package.sh [BUILD_FOLDER]        (default build/package)
# The package lands in BUILD_FOLDER/package/. Its maintainer is taken from DEBFULLNAME and
# DEBEMAIL, as Debian's own tools do, else from git's user.name and user.email.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
quillon_install "${QUILLON_RUN_PACKAGES[@]}" "${QUILLON_PACKAGE_PACKAGES[@]}"
build=${1:-build/package}

name=${DEBFULLNAME:-$(git config user.name 2>/dev/null || true)}
email=${DEBEMAIL:-$(git config user.email 2>/dev/null || true)}
if [ -z "$name" ] || [ -z "$email" ]; then
    echo "package.sh: set DEBFULLNAME and DEBEMAIL to name the package's maintainer" >&2
    exit 2
fi

# Debian's hardening flags, all of them, as a Debian build of a network tool would use them;
# CMake reads no CPPFLAGS, so the preprocessor's (_FORTIFY_SOURCE) go with the compiler's.
export DEB_BUILD_MAINT_OPTIONS=${DEB_BUILD_MAINT_OPTIONS:-hardening=+all}
export CXXFLAGS="${CXXFLAGS:-$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)}"
export LDFLAGS="${LDFLAGS:-$(dpkg-buildflags --get LDFLAGS)}"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUILLON_TESTS=OFF \
    -DQUILLON_BENCH=OFF -DCMAKE_INSTALL_PREFIX=/opt/quillon -DQUILLON_LINK_DIR=/usr/bin \
    -DQUILLON_XDG_DATA_DIR=/usr/share -DQUILLON_DEBIAN_PACKAGE=ON \
    -DQUILLON_PACKAGE_MAINTAINER="$name <$email>"
cmake --build "$build"
rm -f "$build"/package/quillon_*.deb
(cd "$build" && cpack -G DEB)
ls "$build"/package/quillon_*.deb
