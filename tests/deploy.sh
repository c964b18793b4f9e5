#!/usr/bin/env bash
# The deployer's path: the payload file, tools/make-payload, the Debian package, and
# two messages shipped through a signed apt repository.
# Usage: deploy.sh CASE BUILD_DIR [ARCH]: package builds ARCH's package (by default
# this system's), apt publishes ARCH's beside this system's. Exit 77 means SKIPPED.
set -u
case_name=$1
build=$(realpath "$2")
src=$(cd "$(dirname "$0")/.." && pwd)
source "$src/tests/firmware.sh"

# The architecture whose package is built, and how this system builds and runs it.
native=$(dpkg --print-architecture) arch=${3:-$(dpkg --print-architecture)} cross=() emulator=()
if [ "$arch" != "$native" ]; then
    cross=(-a "$arch")
    emulator=("qemu-$(dpkg-architecture -a "$arch" -qDEB_HOST_GNU_CPU 2>/dev/null)")
fi
# reveals KEY BINARY FILE...: the binary, holding KEY, prints exactly these files.
reveals() {
    local key=$1 bin=$2
    shift 2
    need_namespace "all before the reveal passed"
    in_firmware "$key" "${emulator[@]}" "$bin" </dev/null >out 2>err || fail "$bin exited with $?"
    cat "$@" | cmp - out || fail "$bin with $key does not print exactly $*"
}
# copy_source DIR: the tracked files (outside a git checkout: the tree less its builds).
copy_source() {
    mkdir -p "$1"
    if git -C "$src" ls-files --error-unmatch debian/rules >/dev/null 2>&1; then
        git -C "$src" ls-files -z | tar -C "$src" --null -T - -cf -
    else
        tar -C "$src" --exclude=./build --exclude='./build-*' --exclude='./obj-*' -cf - .
    fi | tar -C "$1" -xf -
}
# in_source DIR [NAME=VALUE...] COMMAND...: in DIR, with nothing from the caller's
# environment that would change the package; the output in DIR.log.
in_source() {
    local dir=$1
    shift
    (cd "$dir" && env -u DUNEHOPPER_PAYLOAD -u DEB_BUILD_OPTIONS -u SOURCE_DATE_EPOCH -u CXX -u CXXFLAGS "$@") >"$dir.log" 2>&1
}
valid=$(tr -d '\r' <"$src/payload")
[ ${#valid} = 64 ] || fail "cannot read the payload from $src/payload"

case $case_name in
payload-setting)  # the file payload, or -DDUNEHOPPER_PAYLOAD over it: a bad one stops configuration and says why
    copy_source tree
    # configure FILE [OPTION]: with a payload file of FILE's bytes ("none": no file).
    configure() {
        rm -rf cfg tree/payload
        [ "$1" = none ] || printf %s "$1" >tree/payload
        cmake -S tree -B cfg -DDUNEHOPPER_TESTS=OFF ${2:+"$2"} >log 2>&1
    }
    built_with() { grep -qF "DUNEHOPPER_PAYLOAD=\\\"$1\\\"" cfg/CMakeFiles/dunehopper.dir/flags.make; }
    while IFS='|' read -r file option expected; do
        printf -v file '%b' "$file"
        what="payload file '$file'${option:+ and $option}"
        if [ "$expected" = built ]; then
            configure "$file" "$option" && built_with "$valid" || fail "$what: not built with $valid: $(cat log)"
            continue
        fi
        configure "$file" "$option" && fail "configured with $what"
        tr -s ' \n' ' ' <log | grep -qF "$expected" || fail "$what: no '$expected' in: $(cat log)"
        [ -e cfg/Makefile ] && fail "$what: a build system was written"
    done <<EOF
none||There is no file $work/tree/payload: write one with tools/make-payload KEY MESSAGE > payload
||The file $work/tree/payload is 0 characters; it must be exactly 64
U2FsdGVkX1\\n||payload is 10 characters
${valid}\\n\\n||payload is 65 characters
${valid%??}==\\n||"=" padding
${valid%?}-\\n||outside the base64 alphabet
${valid:0:32}\\n${valid:33}\\n||outside the base64 alphabet
${valid}\\r\\n||built
${valid:0:10}A${valid:11}\\n||does not decode to "Salted__"
${valid}\\n|-DDUNEHOPPER_PAYLOAD=|DUNEHOPPER_PAYLOAD is 0 characters
${valid}||built
U2FsdGVkX1\\n|-DDUNEHOPPER_PAYLOAD=$valid|built
EOF
    # A changed file is built in at the next build, also where a build directory from
    # before the file holds the payload as a cache entry of its own.
    own=${valid:0:11}${valid:12}${valid:11:1}
    configure "$valid" || fail "configure: $(cat log)"
    echo "$own" >tree/payload
    make -C cfg cmake_check_build_system >log 2>&1 && built_with "$own" || fail "a changed payload file is not built in"
    printf '%s\n' '//base64 payload that the reveal decrypts (tools/make-payload prints one)' \
        "DUNEHOPPER_PAYLOAD:STRING=$valid" >>cfg/CMakeCache.txt
    make -C cfg cmake_check_build_system >log 2>&1 && built_with "$own" ||
        fail "a build directory from before the payload file keeps the payload it had"
    ;;
make-payload)  # refusals, the edges it accepts, and a program built with its payload
    mp=$src/tools/make-payload
    head -c 15 /dev/zero | tr '\0' m >m15; head -c 16 /dev/zero | tr '\0' m >m16
    printf 'Meet me at the oasis at dawn.!\n' >m31; head -c 32 /dev/zero | tr '\0' m >m32
    printf 'sixteen\0 bytes..' >mzero
    # keyfile NAME ATTRIBUTES DATA-BYTES: a key with that attribute word and random data.
    keyfile() { { printf "$2" && head -c "$3" /dev/urandom; } >"$1"; }
    keyfile k4 '\7\0\0\0' 0; keyfile k20 '\7\0\0\0' 16; keyfile k57 '\7\0\0\0' 53; keyfile k58 '\7\0\0\0' 54
    keyfile khigh '\7\0\0\200' 16; keyfile knoruntime '\3\0\0\0' 16; keyfile k6 '\6\0\0\0' 16; keyfile k47 '\107\0\0\0' 16
    mkdir no-openssl no-base64
    ln -s /usr/bin/* no-openssl/ && rm no-openssl/openssl
    ln -s /usr/bin/* no-base64/ && rm no-base64/base64
    while IFS='|' read -r status args expected; do
        eval "sh \"\$mp\" $args" </dev/null >out 2>err
        rc=$?
        [ $rc = "$status" ] || fail "make-payload $args: status $rc, not $status ($(cat err))"
        grep -qF -- "$expected" err || fail "make-payload $args: no '$expected' in: $(cat err)"
        [ -s out ] && fail "make-payload $args printed a payload"
        [ -e new.efivar ] && fail "make-payload $args left a new key behind"
    done <<'EOF'
1|k57 m15|m15 is 15 bytes; the message must be 16 to 31 bytes
1|k57 m32|m32 is 32 bytes
1|k58 m16|k58 is 58 bytes; over 57 bytes its base64 text spans lines
1|k4 m16|at least 1 byte of data
1|missing m16|cannot read key file missing
1|m31 k20|m31 is not a key: its attribute word 0x7465654d has bits above 0xff set (the key comes first
1|khigh m16|attribute word 0x80000007 has bits above 0xff set
1|knoruntime m16|attribute word 0x00000003 lacks run-time access (0x4)
1|k6 m16|attribute word 0x00000006 lacks non-volatile (0x1); from a running system the firmware stores only 0x00000007
1|k47 m16|attribute word 0x00000047 asks for append write (0x40), which it stores as 0x00000007
1|k57 - <m15|the message on standard input is 15 bytes
1|--new-key new.efivar m15|must be 16 to 31 bytes
1|--new-key k4 m16|k4 exists; not overwriting a key
2|m16|usage:
EOF
    for tool in openssl base64; do
        PATH=$work/no-$tool sh "$mp" k57 m16 >out 2>err && fail "ran without $tool"
        grep -q "$tool is not on PATH" err || fail "without $tool: $(cat err)"
    done
    # An openssl whose defaults differ from the program's: the proof must refuse.
    mkdir odd && printf '#!/bin/sh\ncase " $* " in *" -e "*) set -- "$@" -iter 1000 ;; esac\nexec %s "$@"\n' \
        "$(command -v openssl)" >odd/openssl && chmod +x odd/openssl
    PATH=$work/odd:$PATH sh "$mp" k57 m16 >out 2>err && fail "printed a payload that does not decrypt: $(cat out)"
    grep -q 'the payload does not reveal m16' err || fail "odd openssl: $(cat err)"
    for edge in "k57 m16" "k57 m31" "k57 mzero" "k57 <(cat m16)" "k57 - <m16"; do
        eval "sh \"\$mp\" $edge" >payload || fail "make-payload $edge refused"
        grep -qxE '[A-Za-z0-9+/]{64}' payload || fail "make-payload $edge printed: $(cat payload)"
    done

    # The deployer's flow: a new key, then a program built with the payload file it writes.
    copy_source tree
    sh "$mp" --new-key new.efivar m31 >tree/payload || fail "make-payload --new-key refused"
    [ "$(head -c 4 new.efivar | od -An -tx1 | tr -d ' ')" = 07000000 ] || fail "key attributes are not 7"
    [ "$(wc -c <new.efivar)" = 20 ] || fail "the new key is not 4 + 16 bytes"
    sh "$mp" --new-key other.efivar m31 >/dev/null && ! cmp -s new.efivar other.efivar || fail "two new keys alike"
    cmake -S tree -B own -DDUNEHOPPER_TESTS=OFF >log 2>&1 &&
        cmake --build own --target dunehopper >>log 2>&1 || fail "build with the new payload: $(tail log)"
    reveals new.efivar own/dunehopper "$src/tests/banner.txt" m31
    # Another key: noise, not the message. Mostly 16 bytes and openssl's "bad
    # decrypt"; about one wrong key in 256 passes the padding check and gives
    # up to 31 bytes without a complaint, so the complaint cannot be required.
    in_firmware "$src/examples/key.efivar" own/dunehopper </dev/null >out 2>err
    head -c 1113 out | cmp -s - "$src/tests/banner.txt" || fail "another key: the banner is not first"
    grep -qF "$(head -c 8 m31)" out && fail "another key reveals the message"
    [ "$(wc -c <out)" -le $((1113 + 31)) ] || fail "another key: more than two blocks of noise: $(cat err)"
    ;;
package)  # dpkg-buildpackage: lintian, hardening, layout, the same bytes from the source package, refusals, the reveal
    for tool in dpkg-buildpackage dh lintian hardening-check man; do
        command -v $tool >/dev/null || skip "$tool is not installed"
    done
    version=$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version)
    copy_source one/dunehopper
    in_source one/dunehopper dpkg-buildpackage "${cross[@]}" -us -uc || fail "dpkg-buildpackage: $(tail -20 one/dunehopper.log)"
    deb=one/dunehopper_${version}_$arch.deb dbgsym=one/dunehopper-dbgsym_${version}_$arch.deb
    [ -f "$deb" ] && [ -f "$dbgsym" ] || fail "no package and debug symbols in: $(ls one)"

    # The .changes names the source package, both binary packages and the .buildinfo. Let pass
    # only the tags that judge what the package declares by the age of the lintian or the tools:
    # - an older release's lintian finds the declared Standards-Version, 4.7.2 (Debian 13's
    #   policy), newer than its own, testing's may find it older; only that version passes;
    # - testing's finds compat 13 old, but Debian 12's debhelper provides no debhelper-compat
    #   (= 14), so 13 is the newest level that builds on every release;
    # - testing's finds Priority: optional and Rules-Requires-Root: no redundant, as its dpkg
    #   takes them by default; Debian 12's dpkg does not, and its lintian asks for both.
    lintian -I --pedantic "one/dunehopper_${version}_$arch.changes" >lintian.txt 2>lintian.err
    case $? in  # 1 is lintian's own error, 2 an error tag (the tags are judged below)
    0 | 2) ;;
    *) fail "lintian could not check the package: $(cat lintian.err)" ;;
    esac
    passable=('(newer|out-of-date)-standards-version 4\.7\.2 \((released [0-9-]+\) \()?current is [0-9.]+\)'
        'package-uses-old-debhelper-compat-version 13'
        'redundant-(priority-optional|rules-requires-root-no)-field \[debian/control:[0-9]+\]')
    grep -vE "^[EWIP]: dunehopper source: ($(IFS='|' && echo "${passable[*]}"))\$" lintian.txt >lintian.left
    [ ! -s lintian.left ] || fail "lintian: $(cat lintian.left lintian.err)"
    sed 's/^/lintian, let pass: /' lintian.txt
    echo "lintian -I --pedantic on the $arch package: $(wc -l <lintian.txt) tags, none but those let pass"
    # What the as-installed test and piuparts take (the next builds here replace the .changes).
    rm -rf "$build/package" && mkdir "$build/package" && dcmd cp "one/dunehopper_${version}_$arch.changes" "$build/package/" ||
        fail "cannot keep the package for the tests that install it"

    [ "$(dpkg-deb -f "$deb" Section)" = games ] || fail "section is not games"
    [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "the package is for $(dpkg-deb -f "$deb" Architecture), not $arch"
    depends=$(dpkg-deb -f "$deb" Depends)
    [[ $depends == *'libncursesw6 '* && $depends == *openssl* ]] || fail "Depends lacks ncursesw or openssl: $depends"
    [ "$(dpkg-deb -f "$dbgsym" Depends)" = "dunehopper (= $version)" ] || fail "the debug symbols fit another version"
    dpkg-deb -c "$deb" | awk '!/^d/ { print $6 }' >layout.txt
    diff - layout.txt <<'EOF' || fail "the package holds other files than these (-)"
./usr/games/dunehopper
./usr/share/doc/dunehopper/changelog.gz
./usr/share/doc/dunehopper/copyright
./usr/share/man/man6/dunehopper.6.gz
EOF
    dpkg -x "$deb" root
    LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l root/usr/share/man/man6/dunehopper.6.gz >man.txt 2>err
    [ -s err ] && fail "man warns: $(cat err)"
    for section in NAME SYNOPSIS DESCRIPTION KEYS FILES ENVIRONMENT 'EXIT STATUS' SECURITY 'SEE ALSO'; do
        grep -qx "$section" man.txt || fail "the manual page has no $section"
    done

    hardening-check root/usr/games/dunehopper >hardening.txt 2>&1
    sed 's/^/hardening-check: /' hardening.txt
    for feature in 'Position Independent Executable' 'Stack protected' 'Fortify Source functions' \
        'Read-only relocations' 'Immediate binding'; do
        grep -qE "^ $feature: yes( |$)" hardening.txt || fail "$feature is not yes"
    done

    # The source package alone, unpacked elsewhere and built later: the same bytes.
    mkdir -p elsewhere/two && dpkg-source -x "one/dunehopper_$version.dsc" elsewhere/two/src >dsc.log 2>&1 ||
        fail "dpkg-source -x: $(cat dsc.log)"
    in_source elsewhere/two/src dpkg-buildpackage "${cross[@]}" -b -us -uc || fail "build from the .dsc: $(tail -20 elsewhere/two/src.log)"
    for file in "$deb" "$dbgsym"; do
        cmp "$file" "elsewhere/two/${file#one/}" || fail "the build from the .dsc differs"
        echo "reproducible from the .dsc: $(sha256sum "$file")"
    done

    # What would make a package its source cannot rebuild, a source package that no
    # longer builds, or one that gives the message away, stops the build before any
    # package is written, and says why.
    while IFS='|' read -r setting change expected; do
        rm -rf wrong && copy_source wrong && (cd wrong && eval "$change")
        in_source wrong $setting dpkg-buildpackage -us -uc && fail "built after: $setting $change"
        tr -s " \n" " " <wrong.log | grep -qF "$expected" || fail "after $setting $change: no '$expected' in: $(tail wrong.log)"
        ! ls dunehopper_* 2>/dev/null || fail "after $setting $change: a package, source or binary, was written"
    done <<EOF
|: >payload|wrong/payload is 0 characters; it must be exactly 64
|cp examples/key.efivar my-key.efivar|a key in the tree would ship in the source package: ./my-key.efivar
DUNEHOPPER_PAYLOAD=$valid|:|DUNEHOPPER_PAYLOAD is set in the environment, which the package ignores
EOF

    reveals "$src/examples/key.efivar" root/usr/games/dunehopper "$src/tests/banner.txt" "$src/examples/message.txt"
    ;;
apt)  # two messages from one key through a signed repository: install, a forged signature refused,
    # upgrade, back to the first message as a third version, purge; each build's versions agree,
    # and its source package rebuilds the same bytes
    [ "$(id -u)" = 0 ] || skip "$case_name needs root"
    for tool in dpkg-buildpackage dch reprepro gpg gpg-agent gpgconf mmdebstrap; do
        command -v $tool >/dev/null || skip "$tool is not installed"
    done
    need_namespace
    # A mixed fleet: ARCH's packages, cross-built, published beside this system's.
    beside=()
    [ "$arch" = "$native" ] || beside=("$arch")
    arch=$native
    release=$(. /etc/os-release && echo "${VERSION_CODENAME:?}")
    export GNUPGHOME=$work/gnupg DEBFULLNAME="Ann Deployer" DEBEMAIL=ann@example.org
    cleanup() { gpgconf --kill all; rm -rf "$work"; }
    mkdir -m 700 "$GNUPGHOME"
    for name in repository impostor; do
        gpg --batch --pinentry-mode loopback --passphrase '' --quick-gen-key "dunehopper test $name" default sign never \
            2>/dev/null || fail "cannot make the $name's signing key"
    done
    fingerprint() { gpg --with-colons --list-keys "dunehopper test $1" | awk -F: '/^fpr/ { print $10; exit }'; }

    # The deployer's tree, made theirs.
    copy_source tree
    sed -i "s/^Maintainer: .*/Maintainer: $DEBFULLNAME <$DEBEMAIL>/" tree/debian/control
    sample_version=$(dpkg-parsechangelog -l tree/debian/changelog -S Version)
    printf 'First: meet at the well.\n' >m1
    printf 'Second: the well ran dry.\n' >m2
    mkdir -p repo/conf
    printf '%s\n' 'Codename: fleet' "Architectures: $arch ${beside[*]} source" 'Components: main' \
        "SignWith: $(fingerprint repository)" 'AlsoAcceptFor: unstable' >repo/conf/distributions
    # build N: message N's payload (or the file payloadN, where there is one) and changelog
    # entry, the packages, the same bytes again from the source package alone, and the
    # packages in the repository.
    build() {
        local version
        if [ -e "payload$1" ]; then
            cp "payload$1" tree/payload
        else
            sh tree/tools/make-payload key.efivar "m$1" >tree/payload || fail "make-payload m$1"
        fi
        (cd tree && dch --local +msg "Message $1" && dch --release '') >dch.log 2>&1 || fail "dch: $(cat dch.log)"
        version=$(dpkg-parsechangelog -l tree/debian/changelog -S Version)
        [ "$version" = "$sample_version+msg$1" ] || fail "dch --local +msg gave $version"
        in_source tree dpkg-buildpackage -us -uc || fail "dpkg-buildpackage: $(tail -20 tree.log)"
        # The last version's builds for other architectures must not ride along.
        tar -tJf "dunehopper_$version.tar.xz" | grep -E '^[^/]+/(obj-[^/]*|build|build-[^/]*)/' &&
            fail "the source package of $version carries a build directory"
        for file in "dunehopper_$version.dsc" "dunehopper_${version}_$arch.changes" "dunehopper_${version}_$arch.buildinfo"; do
            grep -qx "Version: $version" "$file" || fail "$file: not version $version"
        done
        for package in dunehopper dunehopper-dbgsym; do
            [ "$(dpkg-deb -f "${package}_${version}_$arch.deb" Version)" = "$version" ] || fail "$package is not $version"
        done
        rm -rf rebuilt && mkdir rebuilt && dpkg-source -x "dunehopper_$version.dsc" rebuilt/src >dsc.log 2>&1 &&
            in_source rebuilt/src dpkg-buildpackage -b -us -uc || fail "build from the .dsc: $(tail -20 rebuilt/src.log)"
        cmp "dunehopper_${version}_$arch.deb" "rebuilt/dunehopper_${version}_$arch.deb" ||
            fail "the build from the .dsc of $version differs"
        reprepro -b repo include fleet "dunehopper_${version}_$arch.changes" >reprepro.log 2>&1 ||
            fail "reprepro: $(cat reprepro.log)"
        echo "built $version, the same bytes from its .dsc: $(sha256sum "dunehopper_${version}_$arch.deb")"
        for other in "${beside[@]}"; do
            in_source tree dpkg-buildpackage -a "$other" -B -us -uc || fail "dpkg-buildpackage -a $other: $(tail -20 tree.log)"
            reprepro -b repo include fleet "dunehopper_${version}_$other.changes" >reprepro.log 2>&1 ||
                fail "reprepro, $other: $(cat reprepro.log)"
        done
    }
    # picks VERSION: apt on each architecture of the fleet, reading the repository alone,
    # would install that architecture's own package of VERSION.
    picks() {
        local other
        for other in "$arch" "${beside[@]}"; do
            on_target "mkdir -p lists.$other/partial && apt=(apt-get -q -o APT::Architecture=$other
                -o APT::Architectures=$other -o Dir::Etc::SourceList=/etc/apt/sources.list.d/fleet.list
                -o Dir::Etc::SourceParts=/nonexistent -o Dir::State::Lists=/root/lists.$other
                -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=) && \"\${apt[@]}\" update &&
                \"\${apt[@]}\" download --print-uris dunehopper >uris" || fail "apt as $other: $(tail target.log)"
            read -r uri file _ <target/root/uris
            [ "$file" = "dunehopper_${1}_$other.deb" ] && [[ $uri == *"_$other.deb'" ]] ||
                fail "apt on $other would take: $(cat target/root/uris)"
            echo "apt on $other picks $file from $uri"
        done
    }
    sh tree/tools/make-payload --new-key key.efivar m1 >/dev/null || fail "make-payload --new-key"
    build 1
    v1=$(dpkg-parsechangelog -l tree/debian/changelog -S Version)
    cp -a rebuilt/src first-source

    # A target: a fresh root that trusts the repository's key alone, and holds the key in
    # its firmware for the reveals.
    tarball=$("$src/tests/fresh-root.sh" --tarball "$release") || fail "no $release root to test in"
    mkdir target && tar -C target -xf "$tarball" || fail "cannot unpack $tarball"
    cp -L /etc/resolv.conf target/etc/resolv.conf
    mkdir -p target/etc/apt/keyrings target/srv/repo target/srv/first
    gpg --quiet --export "$(fingerprint repository)" >target/etc/apt/keyrings/fleet.gpg
    echo 'deb [signed-by=/etc/apt/keyrings/fleet.gpg] file:/srv/repo fleet main' >target/etc/apt/sources.list.d/fleet.list
    cp key.efivar m1 m2 "$src/tests/banner.txt" target/root/
    # on_target SCRIPT: SCRIPT run by bash in the target, as root, with the repository at
    # /srv/repo and the first build's source package at /srv/first; its output in target.log.
    # The target is a mount point of its own, as the private mounts of the reveal want.
    on_target() {
        unshare --mount --fork sh -c 'mount --make-rprivate / && mount --bind "$0" "$0" &&
            for fs in proc sys dev; do mount --rbind "/$fs" "$0/$fs"; done &&
            mount --bind "$1" "$0/srv/repo" && mount --bind "$2" "$0/srv/first" && exec chroot "$0" bash -euc "$3"' \
            "$work/target" "$work/repo" "$work/first-source" \
            "$(declare -p keypath unshare_cmd; declare -f in_firmware); export DEBIAN_FRONTEND=noninteractive; cd /root; $1" \
            >target.log 2>&1
    }
    # reveals_message VERSION MESSAGE: VERSION is installed, and the key reveals MESSAGE.
    reveals_message() {
        on_target "dpkg-query -W -f='\${Version}' dunehopper >version
            in_firmware key.efivar /usr/games/dunehopper </dev/null >out 2>err || echo \$? >status" ||
            fail "the reveal of $1 did not run: $(tail target.log)"
        [ "$(cat target/root/version)" = "$1" ] || fail "installed: $(cat target/root/version), not $1"
        [ ! -e target/root/status ] || fail "$1 exited with $(cat target/root/status)"
        cat "$src/tests/banner.txt" "$2" | cmp - target/root/out || fail "$1 does not reveal $2"
        echo "$1 installed from the repository reveals $2"
    }
    # What the target held before, to compare with what the purge leaves.
    snapshot='find / -xdev \( -path /proc -o -path /sys -o -path /dev -o -path /run -o -path /tmp -o -path /root -o -path /srv \
        -o -path /var/lib/apt -o -path /var/lib/dpkg -o -path /var/cache -o -path /var/log \) -prune -o -print | sort'
    on_target "$snapshot >before && apt-get update -q --error-on=any && apt-get install -y -q dunehopper" ||
        fail "apt-get install: $(tail -20 target.log)"
    reveals_message "$v1" m1
    picks "$v1"
    # The package's own test holds for the deployer's payload too.
    on_target 'cd /srv/first && AUTOPKGTEST_TMP=$(mktemp -d) sh debian/tests/reveal' ||
        fail "debian/tests/reveal: $(cat target.log)"
    grep -x "the sample key reveals what it makes of this tree's own payload, and no more" target.log ||
        fail "debian/tests/reveal took the deployer's payload for the sample's: $(cat target.log)"

    # The second message, published under a signature by a key the target does not trust:
    # apt keeps to what it had. Then signed by the repository's key: an ordinary upgrade.
    build 2
    v2=$(dpkg-parsechangelog -l tree/debian/changelog -S Version)
    for signature in 'clearsign -o repo/dists/fleet/InRelease' 'detach-sign -a -o repo/dists/fleet/Release.gpg'; do
        gpg --batch --quiet --yes --local-user "$(fingerprint impostor)" --$signature repo/dists/fleet/Release ||
            fail "cannot forge the signature"
    done
    # The guide's update stops its block there; a plain one only warns.
    on_target 'apt-get update -q --error-on=any' && fail "apt-get update --error-on=any passed a forged signature"
    grep -E '^[WE]: .*file:/srv/repo fleet InRelease' target.log ||
        fail "apt took the forged signature without a word: $(tail -20 target.log)"
    on_target 'apt-get upgrade -y -q'
    reveals_message "$v1" m1
    reprepro -b repo export fleet >reprepro.log 2>&1 || fail "reprepro export: $(cat reprepro.log)"
    on_target 'apt-get update -q --error-on=any && apt-get upgrade -y -q' || fail "apt-get upgrade: $(tail -20 target.log)"
    reveals_message "$v2" m2
    picks "$v2"

    # Back to the first message: a new entry, above the second, carrying the payload the first
    # version shipped (from its source package), published as any other. The pool keeps only
    # the newest version; the target upgrades to it and reveals the first message again.
    cp first-source/payload payload3 && build 3
    v3=$(dpkg-parsechangelog -l tree/debian/changelog -S Version)
    ! ls repo/pool/main/d/dunehopper | grep -vF "_${v3}" || fail "the pool keeps more than $v3"
    on_target 'apt-get update -q --error-on=any && apt-get upgrade -y -q' || fail "apt-get upgrade: $(tail -20 target.log)"
    reveals_message "$v3" m1

    # Purged with what it alone pulled in: no trace in dpkg's database, and the target's
    # files as they were before the install.
    on_target "apt-get purge -y -q --autoremove dunehopper && $snapshot >after" || fail "apt-get purge: $(tail target.log)"
    diff target/root/before target/root/after || fail "the purge left the target changed (+)"
    on_target 'dpkg-query -W -f="\${db:Status-Abbrev}" dunehopper 2>/dev/null >status || :'
    ! grep -qv '^un' target/root/status || fail "dpkg still knows dunehopper: $(cat target/root/status)"
    echo "purged: the target's $(wc -l <target/root/after) files and directories as before the install"

    for pair in "$sample_version $v1" "$v1 $v2" "$sample_version $v2" "$v2 $v3"; do
        dpkg --compare-versions ${pair% *} lt ${pair#* } || fail "${pair% *} does not sort below ${pair#* }"
        echo "dpkg --compare-versions ${pair% *} lt ${pair#* }: true"
    done
    ;;
autopkgtest | piuparts)  # debian/tests in a fresh root of this release; install, remove, purge
    [ "$(id -u)" = 0 ] || skip "$case_name needs root"
    for tool in $case_name mmdebstrap; do
        command -v $tool >/dev/null || skip "$tool is not installed"
    done
    changes=$build/package/dunehopper_$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version)_$(dpkg --print-architecture).changes
    [ -f "$changes" ] || fail "no package from deploy.package in $build/package"
    release=$(. /etc/os-release && echo "${VERSION_CODENAME:?}")
    if [ $case_name = autopkgtest ]; then
        # The unshare test bed maps root's subordinate ids, and fills its root with apt-utils' help.
        grep -q '^root:' /etc/subuid && grep -q '^root:' /etc/subgid || skip "root has no subordinate ids in /etc/subuid"
        tarball=$("$src/tests/fresh-root.sh" --tarball "$release" apt-utils) || fail "no $release root to test in"
        autopkgtest -U "$changes" -- unshare --release "$release" --tarball "$tarball" >log 2>&1 ||
            fail "autopkgtest: $(tail -20 log)"
        grep -E '^reveal +PASS' log || fail "autopkgtest ran no test: $(tail -20 log)"
        grep -x 'the sample key reveals the sample message' log || fail "autopkgtest: not the sample's reveal"
    else
        # A plain root: one that holds apt-utils keeps debconf's files, which piuparts would blame on us.
        tarball=$("$src/tests/fresh-root.sh" --tarball "$release") || fail "no $release root to test in"
        piuparts -d "$release" -m http://deb.debian.org/debian --basetgz="$tarball" "$(dcmd --deb "$changes" | grep -v dbgsym)" \
            >log 2>&1 || fail "piuparts: $(grep -E 'ERROR|FAIL' log | tail -20)"
        grep 'PASS: All tests' log || fail "piuparts passed nothing: $(tail -5 log)"
    fi
    ;;
*) fail "no such case" ;;
esac
echo "PASS [$case_name]"
