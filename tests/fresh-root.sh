#!/usr/bin/env bash
# Runs a build.sh command as a new user of Debian SUITE would: as root in a
# fresh minimal root (mmdebstrap --variant=minbase) that holds only the
# sources, so that every package the command needs must be installed by the
# command itself. The root is unpacked anew for every run from a tarball kept
# in the cache, which is made again once it is a week old; the packages apt
# downloads are kept there too, so a second run fetches almost nothing.
#   fresh-root.sh SUITE [test|play]         the command in a fresh root
#   fresh-root.sh --tarball SUITE [PACKAGE] prints the cached tarball, with
#                                           PACKAGE added (autopkgtest wants apt-utils)
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
cache=${DUNEHOPPER_ROOT_CACHE:-/var/cache/dunehopper}
die() { echo "fresh-root: $*" >&2; exit 1; }

# tarball SUITE [PACKAGE]: the cached root's path, made first where needed.
tarball() {
    local suite=$1 include=${2:-}
    local file=$cache/roots/$suite${include:++$include}.tar.gz
    command -v mmdebstrap >/dev/null || die "mmdebstrap is not installed (apt-get install mmdebstrap)"
    mkdir -p "$cache/roots"
    if [ ! -s "$file" ] || [ -n "$(find "$file" -mtime +6)" ]; then
        echo "== making a minimal $suite root${include:+ with $include} ($file)" >&2
        # The mirror's snapshot of testing carries a Release file whose date has passed.
        mmdebstrap --variant=minbase ${include:+--include="$include"} \
            --aptopt='Acquire::Check-Valid-Until "false";' "$suite" "$file.new.tar.gz" >&2 ||
            die "mmdebstrap $suite failed"
        mv "$file.new.tar.gz" "$file"
    fi
    echo "$file"
}

[ "$(id -u)" = 0 ] || die "needs root: it mounts and chroots"
if [ "${1:-}" = --tarball ]; then
    tarball "${2:?usage: fresh-root.sh --tarball SUITE [PACKAGE]}" "${3:-}"
    exit
fi
suite=${1:?usage: fresh-root.sh SUITE [test|play]}
command=${2:-test}
tarball=$(tarball "$suite")
mkdir -p "$cache/apt/$suite/partial"

root=$(mktemp -d /var/tmp/dunehopper-root.XXXXXX)
cleanup() {
    umount -R "$root" 2>/dev/null || umount -R -l "$root" 2>/dev/null || true
    rm -rf --one-file-system "$root"
}
trap cleanup EXIT
tar -C "$root" -xf "$tarball"
# The root on itself, so that unshare inside can make mount namespaces; the
# kernel's file systems; name service; the download cache.
mount --bind "$root" "$root"
for fs in proc sys dev; do mount --rbind "/$fs" "$root/$fs"; done  # dev brings dev/pts
mount --make-rslave "$root"
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
mount --bind "$cache/apt/$suite" "$root/var/cache/apt/archives"
# The minimal roots that the package's own tests install it into, made once.
mkdir -p "$root$cache/roots" && mount --bind "$cache/roots" "$root$cache/roots"
rm -f "$root/etc/apt/apt.conf.d/docker-clean"  # a root that throws its downloads away caches none

mkdir "$root/src"
if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    # What git tracks, and what it would track: uncommitted work is tried too.
    git -C "$src" ls-files -z --cached --others --exclude-standard | tar -C "$src" --null -T - -cf -
else
    tar -C "$src" --exclude=./build --exclude='./build-*' -cf - .
fi | tar -C "$root/src" -xf -

echo "== ./build.sh $command in a fresh Debian $suite root ($(cat "$root/etc/debian_version"))"
chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    TERM="${TERM:-xterm}" LANG=C.UTF-8 ${CI:+CI=$CI} \
    /bin/bash -c 'cd /src && exec ./build.sh "$0"' "$command"
