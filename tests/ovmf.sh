#!/usr/bin/env bash
# The deployer's steps on real UEFI firmware: EDK II's firmware for virtual
# machines in QEMU (OVMF on amd64, AAVMF on arm64, RISCV_VIRT on riscv64),
# booting this release's own Debian kernel for the binary's architecture into
# a small initramfs that holds busybox, the program, base64, openssl and
# chattr. A tmpfs takes any bytes; only firmware says which keys it keeps.
# Usage: ovmf.sh BUILD_DIR [ARCH]: the architecture is the binary's; ARCH (by
# default this system's) is the one the build was made for. Exit 77 means SKIPPED.
set -u
case_name=ovmf
build=$(realpath "$1")
src=$(cd "$(dirname "$0")/.." && pwd)
source "$src/tests/firmware.sh"

# What differs per architecture, by the binary's ELF machine: Debian's name for it,
# QEMU, its machine and processor, the firmware's code and variable store (and their package),
# the serial console, the kernel image's name in its package, and the dynamic
# loader that lists a foreign binary's libraries under qemu-user.
machine_of_binary=$(od -An -tu2 -j18 -N2 "$build/dunehopper" | tr -d ' ')
while read -r elf arch qemu machine cpu code vars firmware_package console image loader; do
    [ "$elf" = "$machine_of_binary" ] && break
done <<'TABLE'
62 amd64 qemu-system-x86_64 q35 - /usr/share/OVMF/OVMF_CODE_4M.fd /usr/share/OVMF/OVMF_VARS_4M.fd ovmf ttyS0 vmlinuz -
183 arm64 qemu-system-aarch64 virt cortex-a57 /usr/share/AAVMF/AAVMF_CODE.fd /usr/share/AAVMF/AAVMF_VARS.fd qemu-efi-aarch64 ttyAMA0 vmlinuz /lib/ld-linux-aarch64.so.1
243 riscv64 qemu-system-riscv64 virt - /usr/share/qemu-efi-riscv64/RISCV_VIRT_CODE.fd /usr/share/qemu-efi-riscv64/RISCV_VIRT_VARS.fd qemu-efi-riscv64 ttyS0 vmlinux /lib/ld-linux-riscv64-lp64d.so.1
TABLE
[ "$cpu" != - ] || cpu=  # QEMU's default for the machine
[ "$elf" = "$machine_of_binary" ] || fail "$build/dunehopper is for ELF machine '$machine_of_binary', which no row names"
expected=${2:-$(dpkg --print-architecture)}
[ "$expected" = "$(dpkg --print-architecture)" ] || case_name=$expected
[ "$arch" = "$expected" ] || fail "$build/dunehopper is built for $arch, not $expected"
command -v "$qemu" >/dev/null || skip "$qemu is not installed (Debian's QEMU system package for $arch)"
needs=(busybox:busybox-static chattr:e2fsprogs apt-get:apt)
[ "$loader" = - ] || needs+=("${qemu/-system/}:qemu-user" mmdebstrap:mmdebstrap)
for need in "${needs[@]}"; do
    command -v "${need%:*}" >/dev/null || skip "${need%:*} is not installed (Debian package ${need#*:})"
done
[ -r "$code" ] && [ -r "$vars" ] || skip "no $code (Debian package $firmware_package)"
ldd "$(command -v busybox)" >/dev/null 2>&1 && skip "busybox is linked dynamically (Debian package busybox-static)"

# The kernel of the release this runs on, from its packages: only the image and
# efivarfs (a module on Debian 12), kept between runs (fresh roots share it).
# The kernel image itself: testing's metapackage depends on linux-base-* too.
kernel_package=$(apt-cache depends "linux-image-$arch:$arch" 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }')
[ -n "$kernel_package" ] || skip "apt knows no linux-image-$arch:$arch (dpkg --add-architecture $arch; apt-get update)"
kernel_version=$(apt-cache show --no-all-versions "$kernel_package" | sed -n 's/^Version: //p')
# Testing splits the kernel (linux-binary-*) and its modules (linux-modules-*) out of it.
mapfile -t kernel_packages < <(echo "$kernel_package" && apt-cache depends "$kernel_package" |
    awk '$1 == "Depends:" && $2 ~ /^linux-(binary|modules)-/ { print $2 }')
[ "$(id -u)" = 0 ] && cache=/var/cache/dunehopper || cache=${XDG_CACHE_HOME:-$HOME/.cache}/dunehopper
kernel=$cache/kernel/${kernel_package}_$kernel_version
if [ ! -f "$kernel/$image" ]; then
    mkdir -p "$cache/kernel" && rm -rf "$kernel.new" && mkdir "$kernel.new" || fail "cannot write $cache/kernel"
    (cd "$kernel.new" && apt-get download "${kernel_packages[@]/%/=$kernel_version}" >download.log 2>&1) ||
        skip "cannot download ${kernel_packages[*]}: $(tail -1 "$kernel.new/download.log")"
    for deb in "$kernel.new"/*.deb; do
        # By name, as tar fails on a pattern that a package has nothing for.
        dpkg-deb --fsys-tarfile "$deb" | tar -t |
            grep -E "^\./(boot/$image-|usr/lib/modules/[^/]+/$image\$)|"'/kernel/fs/efivarfs/[^/]+$' >"$kernel.new/members"
        [ ! -s "$kernel.new/members" ] || dpkg-deb --fsys-tarfile "$deb" | tar -C "$kernel.new" -x -T "$kernel.new/members" ||
            fail "cannot unpack $deb"
    done
    found=$(find "$kernel.new/boot" "$kernel.new/usr" -type f -name "$image*" 2>/dev/null)
    [ -n "$found" ] && [ "$(wc -l <<<"$found")" = 1 ] || fail "not one $image in ${kernel_packages[*]}: $found"
    mv "$found" "$kernel.new/$image" || fail "cannot keep $found"
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
# Another architecture's are those of its own packages, unpacked (not installed)
# into a root of their own that is kept for a week, whose loader lists what a
# binary loads under qemu-user, as ldd cannot.
userland=
if [ "$loader" != - ]; then
    release=$(. /etc/os-release && echo "${VERSION_CODENAME:?}")
    userland=$cache/userland/$release-$arch
    if [ ! -d "$userland" ] || [ -n "$(find "$userland" -maxdepth 0 -mtime +6)" ]; then
        rm -rf "$userland" "$userland.new" && mkdir -p "$cache/userland" || fail "cannot write $cache/userland"
        # With /lib in /usr, as the binaries' loader path wants, also where the
        # packages still ship files in /lib (Debian 12).
        mmdebstrap --variant=extract --architectures="$arch" --include=busybox-static,coreutils,openssl,e2fsprogs,libncursesw6,libstdc++6 \
            --setup-hook='for dir in bin sbin lib; do mkdir -p "$1/usr/$dir" && ln -s "usr/$dir" "$1/$dir"; done' \
            --aptopt='Acquire::Check-Valid-Until "false";' "$release" "$userland.new" >userland.log 2>&1 ||
            skip "cannot unpack $arch's packages of $release: $(tail -1 userland.log)"
        mv "$userland.new" "$userland"
    fi
fi
tool() { local dir; for dir in /usr/bin /bin /usr/sbin /sbin; do [ -x "$userland$dir/$1" ] && echo "$dir/$1" && return; done; }
libraries() {  # FILE...: the libraries they load
    local file
    for file; do
        if [ -z "$userland" ]; then ldd "$file"; else "${qemu/-system/}" -L "$userland" "$userland$loader" --list "$file"; fi
    done | awk -v userland="$userland" 'userland != "" { gsub(userland "/", "/") }
        $2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// && $2 ~ /^\(/ { print $1 }'
}
bring() {  # ROOT FILE...: each file of the architecture's system, at its own path
    local root=$1 file
    shift
    for file; do mkdir -p "$root$(dirname "$file")" && cp -L "$userland$file" "$root$file" || return 1; done
}
archive() { (cd "$1" && find . | busybox cpio -o -H newc 2>/dev/null); }
root=$work/root
mkdir -p "$root"/{bin,dev,proc,sys,sweep,usr/games} "$root/root/sample" && cp "$userland$(tool busybox)" "$root/bin/" &&
    ln -s busybox "$root/bin/sh" || fail "cannot lay out the initramfs"
tools=("$(tool base64)" "$(tool openssl)" "$(tool chattr)" "$(tool lsattr)")
libraries=$(libraries "${tools[@]/#/$userland}" "$build/dunehopper") && [ -n "$libraries" ] ||
    fail "cannot list the libraries of ${tools[*]} and $build/dunehopper"
bring "$root" "${tools[@]}" $libraries || fail "cannot copy ${tools[*]} and their libraries"
[ ! -f "$kernel/efivarfs.ko" ] || cp "$kernel/efivarfs.ko" "$root/"
cp "$src/tests/banner.txt" "$root/root/" &&
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
echo "== machine $(uname -m) on $(cat /sys/class/tty/console/active)"
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
ok() { echo "ok: $set boot $boot: $*"; }
cd /root/$set && ln -s /root/$set/dunehopper /usr/games/dunehopper
reveals() {  # [FILE]: the program prints the banner and then exactly FILE
    /usr/games/dunehopper </dev/null >out 2>err || fail "exit status $?"
    cat /root/banner.txt "$@" | cmp -s - out && ok "${1:+revealed }the banner${1:+ and $1}" ||
        fail "not the banner${1:+ and $1}: $(cat err)"
}
case $boot in
1)
    [ ! -e $key ] || fail "a key before the first write"
    reveals
    cat my-key.efivar >$key && ok "key written" || fail "the firmware refused my-key.efivar"
    cmp my-key.efivar $key && ok "key read back" || fail "the firmware gives back other bytes"
    set -- $(lsattr $key)
    case $1 in *i*) ok "key immutable" ;; *) fail "the key is not immutable: $1" ;; esac
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
    cmp my-key.efivar $key && ok "key kept over the reboot" || fail "the key did not survive the reboot"
    reveals my-message.txt
    cp $key copied.efivar && echo "copied $(base64 -w0 copied.efivar)"
    chattr -i $key && rm $key && ok "key removed" || fail "cannot remove the key"
    [ ! -e $key ] || fail "rm left the key"
    reveals ;;
3)
    [ ! -e $key ] && ok "key still gone after the reboot" || fail "the key is back after a reboot"
    reveals ;;
esac
STEPS
archive "$root" >sample.cpio || fail "cannot pack the initramfs"

# chain SET INITRD BOOTS: boots 1 to BOOTS on a variable store of SET's own.
chain() {
    local set=$1 boot status
    cp "$vars" "vars.$set"
    for boot in $(seq "$3"); do
        timeout 300 "$qemu" -accel tcg -machine "$machine" ${cpu:+-cpu $cpu} -m 512 -nodefaults -display none -no-reboot \
            -drive "if=pflash,unit=0,format=raw,readonly=on,file=$code" \
            -drive "if=pflash,unit=1,format=raw,file=vars.$set" -kernel "$kernel/$image" -initrd "$2" \
            -append "console=$console quiet panic=-1 no_timer_check dunehopper.set=$set dunehopper.boot=$boot" \
            -serial "file:console.$set.$boot" 2>"qemu.$set"
        status=$?
        [ $status = 0 ] || [ -s "console.$set.$boot" ] || skip "$qemu cannot run here: $(tail -1 "qemu.$set")"
        tr -d '\r' <"console.$set.$boot" >"$set.$boot"
        grep '^FAIL' "$set.$boot" && fail "the firmware's $set boot $boot found the faults above"
        # A console the kernel does not have falls back to the one the firmware names.
        grep -qx "== machine ${qemu#qemu-system-} on $console" "$set.$boot" ||
            fail "$set boot $boot: not ${qemu#qemu-system-} on $console: $(grep '^== machine' "$set.$boot")"
        sed -n 's/^ok: /firmware: /p' "$set.$boot"
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
toolchain=$(sed -n 's/^CMAKE_TOOLCHAIN_FILE:[A-Z]*=//p' "$build/CMakeCache.txt")  # the same architecture's
cmake -S "$src" -B build-own ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"} -DDUNEHOPPER_TESTS=OFF \
    -DDUNEHOPPER_PAYLOAD="$DUNEHOPPER_PAYLOAD" >log 2>&1 &&
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
