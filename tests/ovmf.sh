#!/usr/bin/env bash
# The deployer's steps on real UEFI firmware: OVMF (EDK II's firmware for
# virtual machines) in QEMU, booting this release's own Debian kernel into a
# small initramfs that holds busybox, the program, base64, openssl and
# chattr. A tmpfs takes any bytes; only firmware says which keys it keeps.
# Usage: ovmf.sh BUILD_DIR. Exit 77 means SKIPPED.
set -u
case_name=ovmf
build=$(realpath "$1")
src=$(cd "$(dirname "$0")/.." && pwd)
source "$src/tests/firmware.sh"

[ "$(uname -m)" = x86_64 ] || skip "OVMF and qemu-system-x86_64 boot x86_64 only, not $(uname -m)"
ovmf=/usr/share/OVMF
for need in qemu-system-x86_64:qemu-system-x86 busybox:busybox-static chattr:e2fsprogs apt-get:apt; do
    command -v "${need%:*}" >/dev/null || skip "${need%:*} is not installed (Debian package ${need#*:})"
done
[ -r $ovmf/OVMF_CODE_4M.fd ] && [ -r $ovmf/OVMF_VARS_4M.fd ] || skip "no $ovmf/OVMF_CODE_4M.fd (Debian package ovmf)"
ldd "$(command -v busybox)" >/dev/null 2>&1 && skip "busybox is linked dynamically (Debian package busybox-static)"

# The kernel of the release this runs on, from its packages: only vmlinuz and
# efivarfs (a module on Debian 12), kept between runs (fresh roots share it).
arch=$(dpkg --print-architecture)
# The kernel image itself: testing's metapackage depends on linux-base-* too.
kernel_package=$(apt-cache depends "linux-image-$arch" 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }')
[ -n "$kernel_package" ] || skip "apt knows no linux-image-$arch (run apt-get update)"
kernel_version=$(apt-cache show --no-all-versions "$kernel_package" | sed -n 's/^Version: //p')
# Testing splits the kernel (linux-binary-*) and its modules (linux-modules-*) out of it.
mapfile -t kernel_packages < <(echo "$kernel_package" && apt-cache depends "$kernel_package" |
    awk '$1 == "Depends:" && $2 ~ /^linux-(binary|modules)-/ { print $2 }')
[ "$(id -u)" = 0 ] && cache=/var/cache/dunehopper || cache=${XDG_CACHE_HOME:-$HOME/.cache}/dunehopper
kernel=$cache/kernel/${kernel_package}_$kernel_version
if [ ! -f "$kernel/vmlinuz" ]; then
    mkdir -p "$cache/kernel" && rm -rf "$kernel.new" && mkdir "$kernel.new" || fail "cannot write $cache/kernel"
    (cd "$kernel.new" && apt-get download "${kernel_packages[@]/%/=$kernel_version}" >download.log 2>&1) ||
        skip "cannot download ${kernel_packages[*]}: $(tail -1 "$kernel.new/download.log")"
    for deb in "$kernel.new"/*.deb; do
        # By name, as tar fails on a pattern that a package has nothing for.
        dpkg-deb --fsys-tarfile "$deb" | tar -t |
            grep -E '^\./(boot/vmlinuz-|usr/lib/modules/[^/]+/vmlinuz$)|/kernel/fs/efivarfs/[^/]+$' >"$kernel.new/members"
        [ ! -s "$kernel.new/members" ] || dpkg-deb --fsys-tarfile "$deb" | tar -C "$kernel.new" -x -T "$kernel.new/members" ||
            fail "cannot unpack $deb"
    done
    image=$(find "$kernel.new/boot" "$kernel.new/usr" -type f -name 'vmlinuz*' 2>/dev/null)
    [ -n "$image" ] && [ "$(wc -l <<<"$image")" = 1 ] || fail "not one kernel image in ${kernel_packages[*]}: $image"
    mv "$image" "$kernel.new/vmlinuz" || fail "cannot keep $image"
    module=$(find "$kernel.new" -name 'efivarfs.ko*')
    case $module in  # built in (none), plain (Debian 12) or compressed (Debian 13); busybox's insmod takes it plain
    '') ;;
    *.ko) mv "$module" "$kernel.new/efivarfs.ko" ;;
    *.ko.xz) busybox xz -dc "$module" >"$kernel.new/efivarfs.ko" || fail "cannot unpack $module" ;;
    *) fail "no way to unpack $module" ;;
    esac
    rm -rf "$kernel.new"/*.deb "$kernel.new/members" "$kernel.new/boot" "$kernel.new/lib" "$kernel.new/usr" &&
        mv "$kernel.new" "$kernel"
fi

# The initramfs: busybox for the shell and the small tools, the real base64,
# openssl and chattr with their libraries, the sample build with its key and
# message, and the keys of the attribute-word sweep. The deployer's build
# comes later, in a second archive appended to this one.
bring() {  # ROOT FILE...: each file and the libraries it loads, at their own paths
    local root=$1 file
    shift
    for file in "$@" $(ldd "$@" | awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// && $2 ~ /^\(/ { print $1 }'); do
        mkdir -p "$root$(dirname "$file")" && cp -L "$file" "$root$file"
    done
}
archive() { (cd "$1" && find . | busybox cpio -o -H newc 2>/dev/null); }
root=$work/root
mkdir -p "$root"/{bin,dev,proc,sys,sweep,usr/games} "$root/root/sample" && cp "$(command -v busybox)" "$root/bin/" &&
    ln -s busybox "$root/bin/sh" || fail "cannot lay out the initramfs"
bring "$root" "$(command -v base64)" "$(command -v openssl)" "$(command -v chattr)" "$(command -v lsattr)"
[ ! -f "$kernel/efivarfs.ko" ] || cp "$kernel/efivarfs.ko" "$root/"
cp "$src/tests/banner.txt" "$root/root/" && bring "$work/lib" "$build/dunehopper" && cp -r "$work/lib/." "$root/" &&
    cp "$build/dunehopper" "$root/root/sample/" && cp "$src/examples/key.efivar" "$root/root/sample/my-key.efivar" &&
    cp "$src/examples/message.txt" "$root/root/sample/my-message.txt" || fail "cannot copy the sample build"
# Every low byte with 16 bytes of data, and words with high bits; the shell's
# own printf writes them inside, since a fork per word costs more there than
# the firmware does.
data=($(head -c $((258 * 16)) /dev/urandom | od -An -v -tu1))
for word in $(seq 0 255) $((0x107)) $((0x80000007)); do
    printf -v name 0x%08x "$word"
    printf -v bytes '\\%03o' $((word & 255)) $((word >> 8 & 255)) $((word >> 16 & 255)) $((word >> 24)) \
        "${data[@]:0:16}"
    data=("${data[@]:16}")
    printf "$bytes" >"$root/sweep/$name"
    echo "try $name '$bytes'"
done >"$root/sweep.sh"
cat >"$root/init" <<'INIT'
#!/bin/sh
export PATH=/usr/bin:/bin HOME=/root TERM=linux
echo  # past the firmware's last words on the console
/bin/busybox --install -s /bin
mount -t proc proc /proc && mount -t sysfs sysfs /sys && mount -t devtmpfs dev /dev
[ ! -f /efivarfs.ko ] || insmod /efivarfs.ko
mount -t efivarfs efivarfs /sys/firmware/efi/efivars || echo "FAIL: no efivarfs"
set -- $(cat /proc/cmdline)
for word; do case $word in dunehopper.set=*) set=${word#*=} ;; dunehopper.boot=*) boot=${word#*=} ;; esac; done
. /steps.sh
echo "== $set boot $boot done"
poweroff -f
INIT
chmod +x "$root/init"
# Inside, the guide's own steps, boot after boot on one variable store, for
# the sample build or the deployer's; each failed check prints a FAIL line.
cat >"$root/steps.sh" <<'STEPS'
key=/sys/firmware/efi/efivars/Tavrel-6295c686-85e2-49db-8650-6f38a25fa7a3
fail() { echo "FAIL: $set boot $boot: $*"; }
cd /root/$set && ln -s /root/$set/dunehopper /usr/games/dunehopper
reveals() {  # [FILE]: the program prints the banner and then exactly FILE
    /usr/games/dunehopper </dev/null >out 2>err || fail "exit status $?"
    cat /root/banner.txt "$@" | cmp -s - out || fail "not the banner${1:+ and $1}: $(cat err)"
}
case $boot in
1)
    [ ! -e $key ] || fail "a key before the first write"
    reveals
    cat my-key.efivar >$key || fail "the firmware refused my-key.efivar"
    cmp my-key.efivar $key || fail "the firmware gives back other bytes"
    set -- $(lsattr $key)
    case $1 in *i*) ;; *) fail "the key is not immutable: $1" ;; esac
    reveals my-message.txt
    # The words the firmware keeps, each tried on a variable of its own
    # (once: it is the firmware's, not the build's): a refused write leaves no
    # file or an empty one.
    try() {
        var=/sys/firmware/efi/efivars/Sweep$1-6295c686-85e2-49db-8650-6f38a25fa7a3
        printf "$2" >$var 2>/dev/null
        if [ ! -s $var ]; then
            echo "word $1 refused"
        elif cmp -s /sweep/$1 $var; then
            echo "word $1 stored"
        else
            echo "word $1 changed to $(od -An -tx1 -N4 $var)"
        fi
        [ ! -s $var ] || { chattr -i $var && rm $var; } || fail "cannot remove $var"
    }
    [ $set = own ] || . /sweep.sh ;;
2)
    cmp my-key.efivar $key || fail "the key did not survive the reboot"
    reveals my-message.txt
    cp $key copied.efivar && echo "copied $(base64 -w0 copied.efivar)"
    chattr -i $key && rm $key || fail "cannot remove the key"
    [ ! -e $key ] || fail "rm left the key"
    reveals ;;
3)
    [ ! -e $key ] || fail "the key is back after a reboot"
    reveals ;;
esac
STEPS
archive "$root" >sample.cpio || fail "cannot pack the initramfs"

# chain SET INITRD BOOTS: boots 1 to BOOTS on a variable store of SET's own.
chain() {
    local set=$1 boot status
    cp $ovmf/OVMF_VARS_4M.fd "vars.$set"
    for boot in $(seq "$3"); do
        timeout 300 qemu-system-x86_64 -accel tcg -machine q35 -m 256 -nodefaults -display none -no-reboot \
            -drive if=pflash,format=raw,readonly=on,file=$ovmf/OVMF_CODE_4M.fd \
            -drive "if=pflash,format=raw,file=vars.$set" -kernel "$kernel/vmlinuz" -initrd "$2" \
            -append "console=ttyS0 quiet panic=-1 no_timer_check dunehopper.set=$set dunehopper.boot=$boot" \
            -serial "file:console.$set.$boot" 2>"qemu.$set"
        status=$?
        [ $status = 0 ] || [ -s "console.$set.$boot" ] || skip "qemu-system-x86_64 cannot run here: $(tail -1 "qemu.$set")"
        tr -d '\r' <"console.$set.$boot" >"$set.$boot"
        grep '^FAIL' "$set.$boot" && fail "the firmware's $set boot $boot found the faults above"
        grep -qx "== $set boot $boot done" "$set.$boot" ||
            fail "$set boot $boot ended early (status $status): $(tail -5 "$set.$boot")"
    done
}
cleanup() { wait; rm -rf "$work"; }  # the boots still running write into $work
start=$SECONDS
chain sample sample.cpio 3 &
sample_chain=$!

# A build with a new key and message (a direct one: the payload given to CMake), while the sample boots.
mp=$src/tools/make-payload
own=$work/own/root/own
mkdir -p "$own" && printf 'The oasis is two dunes east.\n' >"$own/my-message.txt"
DUNEHOPPER_PAYLOAD=$(sh "$mp" --new-key "$own/my-key.efivar" "$own/my-message.txt") ||
    fail "make-payload --new-key refused"
cmake -S "$src" -B build-own -DDUNEHOPPER_TESTS=OFF -DDUNEHOPPER_PAYLOAD="$DUNEHOPPER_PAYLOAD" >log 2>&1 &&
    cmake --build build-own --target dunehopper >>log 2>&1 && cp build-own/dunehopper "$own/" ||
    fail "build with the new payload: $(tail log)"
{ cat sample.cpio && archive "$work/own"; } >own.cpio || fail "cannot pack the deployer's initramfs"
# Two boots: the sample's third shows that a key removed stays away.
chain own own.cpio 2 &
own_chain=$!

# make-payload's verdict on each word of the sweep, while both boot.
printf 'sixteen bytes..\n' >m16
for file in "$root"/sweep/*; do
    sh "$mp" "$file" m16 >/dev/null 2>&1 && echo "word ${file##*/} stored" || echo "word ${file##*/} refused"
done >verdicts

wait $sample_chain || exit $?
wait $own_chain || exit $?
echo "firmware boots: $((SECONDS - start)) s"
grep -q '^word 0x00000007 stored' sample.1 || fail "the firmware did not store the attribute word 0x00000007"
echo "the firmware stores and gives back unchanged: $(awk '$3 == "stored" { print $2 }' sample.1)"
grep '^word .* changed' sample.1
grep '^word' sample.1 | sed 's/ changed to .*/ refused/' | diff - verdicts ||
    fail "make-payload's verdicts (+) differ from the firmware's (-)"
base64 -d <<<"$(sed -n 's/^copied //p' sample.2)" >copied.efivar && sh "$mp" copied.efivar m16 >/dev/null ||
    fail "make-payload refuses a key copied back from the firmware"
echo "PASS [$case_name]"
