#!/bin/sh
# The FreeBSD port's pkg-plist against what "cmake --install" stages, as the
# ports framework stages it: under the prefix /usr/local, with manual pages
# then compressed by the framework (the plist names them with ".gz").
#
#   check_plist.sh BUILD_DIR PLIST
#
# BUILD_DIR is configured with CMAKE_INSTALL_PREFIX=/usr/local, and with
# VRIX_INSTALL_PERIODIC=ON where the system is not FreeBSD, for which it is
# the default.
set -eu
build=$1
plist=$2
stage=$(mktemp -d "${TMPDIR:-/tmp}/vrix-plist.XXXXXX")
trap 'rm -rf "$stage" "$stage.staged" "$stage.plist"' EXIT

DESTDIR=$stage cmake --install "$build" > /dev/null
(cd "$stage" && find . ! -type d | sed 's|^\./||' | sort) > "$stage.staged"
sed -e 's|^share/man/\(.*\)\.gz$|share/man/\1|' -e 's|^|usr/local/|' "$plist" |
    sort > "$stage.plist"
if ! diff -u "$stage.plist" "$stage.staged"; then
    echo "plist check: pkg-plist (-) and what cmake --install stages (+) differ"
    exit 1
fi

# The daily script runs the vrix installed beside it.
periodic=$stage/usr/local/etc/periodic/daily/495.vrix
grep -qx 'vrix=/usr/local/sbin/vrix' "$periodic" || {
    echo "plist check: $periodic does not run /usr/local/sbin/vrix"
    exit 1
}
for program in "$periodic" "$stage/usr/local/sbin/vrix-services"; do
    [ -x "$program" ] || { echo "plist check: $program is not executable"; exit 1; }
done
echo "plist check: pkg-plist matches the $(wc -l < "$stage.plist") files cmake --install stages"
