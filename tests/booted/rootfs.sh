#!/bin/sh
# rootfs.sh CACHE: prints the directory of a Debian root file system that
# boots systemd, built with debootstrap from the mirror that this machine's
# apt uses, and kept under CACHE keyed by its suite, mirror and package
# list, so that a second run on the same machine starts at once. Ends with
# 77 when no mirror answers (nothing to build from), 1 on any other failure.
set -eu
cache=$1
suite=bookworm
packages="systemd systemd-sysv dbus dbus-user-session libpam-systemd procps"

# The first deb line's URI of the main archive (one-line or deb822 format).
mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
    awk '/^deb / { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }
         /^URIs:/ { if ($2 !~ /security/) { print $2; exit } }')
[ -n "$mirror" ] || { echo "skipped: no Debian mirror in /etc/apt/sources.list*" >&2; exit 77; }
key=$(printf '%s %s %s\n' "$suite" "$mirror" "$packages" | sha256sum | cut -c1-16)
root=$cache/rootfs-$key
mkdir -p "$cache"
# One build at a time: another run on this machine may be building it.
exec 9> "$cache/lock"
command -v flock > /dev/null && flock 9
if [ -e "$root/.complete" ]; then
    echo "$root"
    exit 0
fi
command -v debootstrap > /dev/null || { echo "debootstrap not found (apt-get install debootstrap)" >&2; exit 1; }
# No answer from the mirror: the machine truly cannot build one.
if ! timeout -k 5 120 debootstrap --print-debs --variant=minbase "$suite" "$cache/probe-$$" "$mirror" > /dev/null 2>&1; then
    rm -rf "$cache/probe-$$"
    echo "skipped: the mirror $mirror does not answer" >&2
    exit 77
fi
rm -rf "$cache/probe-$$"
rm -rf "$root.new"
log=$cache/rootfs-$key.log
echo "building $root from $mirror (log: $log)" >&2
timeout -k 10 900 debootstrap --variant=minbase --include="$(echo $packages | tr ' ' ,)" \
    "$suite" "$root.new" "$mirror" > "$log" 2>&1 || { tail -n 20 "$log" >&2; exit 1; }
rm -rf "$root"
mv "$root.new" "$root"
touch "$root/.complete"
echo "$root"
