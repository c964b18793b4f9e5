#!/usr/bin/env bash
# Runs a build.sh command as a new user of Debian SUITE would: as root in a
# fresh minimal root (mmdebstrap --variant=minbase) that holds only the
# sources, so that every package the command needs must be installed by the
# command itself. The root is unpacked anew for every run from a tarball kept
# in the cache, which is made again once it is a week old; the packages apt
# downloads are kept there too, so a second run fetches almost nothing.
#   fresh-root.sh SUITE [COMMAND [ARG...]]  ./build.sh COMMAND (test by default) in a fresh root
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
        # The mirror's snapshot of testing carries a Release file whose Valid-Until has
        # passed; a release's own carries none, so this changes nothing for Debian 12 or 13.
        mmdebstrap --variant=minbase ${include:+--include="$include"} \
            --aptopt='Acquire::Check-Valid-Until "false";' "$suite" "$file.$$.tar.gz" >&2 ||
            { rm -f "$file.$$.tar.gz"; die "mmdebstrap $suite failed"; }
        mv "$file.$$.tar.gz" "$file"  # a run beside this one may have made it too: either will do
    fi
    echo "$file"
}

[ "$(id -u)" = 0 ] || die "needs root: it mounts and enters the root by pivot_root"
if [ "${1:-}" = --tarball ]; then
    tarball "${2:?usage: fresh-root.sh --tarball SUITE [PACKAGE]}" "${3:-}"
    exit
fi
suite=${1:?usage: fresh-root.sh SUITE [COMMAND [ARG...]]}
shift
[ $# -gt 0 ] || set -- test
tarball=$(tarball "$suite")
mkdir -p "$cache/apt/$suite/partial"

root=$(mktemp -d /var/tmp/dunehopper-root.XXXXXX)
trap 'rm -rf --one-file-system "$root"' EXIT
tar -C "$root" -xf "$tarball"
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
rm -f "$root/etc/apt/apt.conf.d/docker-clean"  # a root that throws its downloads away caches none
mkdir "$root/src" "$root/.old-root"
if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    # What git tracks, and what it would track: uncommitted work is tried too.
    # (A file deleted but not yet committed is passed over.)
    git -C "$src" ls-files -z --cached --others --exclude-standard |
        tar -C "$src" --null --ignore-failed-read -T - -cf -
else
    tar -C "$src" --exclude=./build --exclude='./build-*' -cf - .
fi | tar -C "$root/src" -xf -

echo "== ./build.sh $* in a fresh Debian $suite root ($(cat "$root/etc/debian_version"))"
# A mount namespace of its own, whose root the fresh root becomes by
# pivot_root: the kernel refuses a chrooted process the user namespaces that
# autopkgtest's test bed and the end-to-end tests make. The root on itself
# (pivot_root wants a mount point), the kernel's file systems, the download
# cache, the minimal roots the package's own tests install it into and the
# kernel the firmware test boots; all of it goes with the namespace, however
# the command ends.
unshare --mount --fork -- sh -eu -c '
    root=$1 cache=$2 suite=$3
    shift 3
    mount --make-rprivate /
    mount --bind "$root" "$root"
    for fs in proc sys dev; do mount --rbind "/$fs" "$root/$fs"; done
    mount --bind "$cache/apt/$suite" "$root/var/cache/apt/archives"
    for kept in roots kernel userland; do
        mkdir -p "$cache/$kept" "$root$cache/$kept" && mount --bind "$cache/$kept" "$root$cache/$kept"
    done
    cd "$root" && pivot_root . .old-root && umount -l /.old-root && rmdir /.old-root
    cd /src
    exec env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        TERM="${TERM:-xterm}" LANG=C.UTF-8 ${CI:+CI="$CI"} ./build.sh "$@"' \
    sh "$root" "$cache" "$suite" "$@"
