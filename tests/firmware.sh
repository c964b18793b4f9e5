# Sourced by the shell tests (with case_name set): a scratch directory to
# work in, FAIL and SKIPPED (exit 77) reports, and a private mount namespace
# with a tmpfs over /sys/firmware standing in for the firmware.
keypath=/sys/firmware/efi/efivars/Tavrel-6295c686-85e2-49db-8650-6f38a25fa7a3
work=$(mktemp -d)
cleanup() { rm -rf "$work"; }
trap cleanup EXIT
cd "$work" || exit 1

fail() { echo "FAIL [$case_name]: $*" >&2; exit 1; }
skip() { echo "SKIPPED [$case_name]: $*"; exit 77; }

# in_firmware KEY CMD...: CMD sees KEY at the variable path ("none": nothing
# there, "dir": a directory, otherwise a file to copy).
unshare_cmd=(unshare --mount)
[ "$(id -u)" = 0 ] || unshare_cmd=(unshare --user --map-root-user --mount)
in_firmware() {
    "${unshare_cmd[@]}" sh -c '
        mount -t tmpfs firmware /sys/firmware && mkdir -p /sys/firmware/efi/efivars || exit 97
        case $1 in none) ;; dir) mkdir "$0" ;; *) cp "$1" "$0" ;; esac
        shift; exec "$@"' "$keypath" "$@"
}
need_namespace() {  # [WHAT-PASSED]
    in_firmware none true 2>/dev/null || skip "cannot make a private mount namespace (${unshare_cmd[*]})${1:+; $1}"
}
