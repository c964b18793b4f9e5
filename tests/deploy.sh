#!/usr/bin/env bash
# The deployer's path: the payload setting, tools/make-payload, and the Debian package.
# Usage: deploy.sh CASE BUILD_DIR. Exit 77 means SKIPPED.
set -u
case_name=$1
build=$(realpath "$2")
src=$(cd "$(dirname "$0")/.." && pwd)
source "$src/tests/firmware.sh"

# reveals KEY BINARY FILE...: the binary, holding KEY, prints exactly these files.
reveals() {
    local key=$1 bin=$2
    shift 2
    need_namespace "all before the reveal passed"
    in_firmware "$key" "$bin" </dev/null >out 2>err || fail "$bin exited with $?"
    cat "$@" | cmp - out || fail "$bin with $key does not print exactly $*"
}
sample=$(sed -n 's/^set(DUNEHOPPER_PAYLOAD "\([^"]*\)".*/\1/p' "$src/CMakeLists.txt")
[ ${#sample} = 64 ] || fail "cannot read the sample payload from CMakeLists.txt"

case $case_name in
payload-setting)  # each bad value stops configuration and says what is wrong
    while IFS='|' read -r value expected; do
        printf -v value '%b' "$value"
        cmake -S "$src" -B cfg -DDUNEHOPPER_TESTS=OFF "-DDUNEHOPPER_PAYLOAD=$value" >log 2>&1 &&
            fail "configured with payload '$value'"
        tr -s ' \n' ' ' <log | grep -qF "$expected" || fail "payload '$value': no '$expected' in: $(cat log)"
        [ -e cfg/Makefile ] && fail "payload '$value': a build system was written"
        rm -rf cfg
    done <<EOF
|is 0 characters; it must be exactly 64
U2FsdGVkX1|is 10 characters
${sample%??}==|"=" padding
${sample%?}-|outside the base64 alphabet
${sample%?}\\n|outside the base64 alphabet
${sample:0:10}A${sample:11}|does not decode to "Salted__"
EOF
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

    # The deployer's flow: a new key, then a program built with the payload.
    sh "$mp" --new-key new.efivar m31 >payload || fail "make-payload --new-key refused"
    [ "$(head -c 4 new.efivar | od -An -tx1 | tr -d ' ')" = 07000000 ] || fail "key attributes are not 7"
    [ "$(wc -c <new.efivar)" = 20 ] || fail "the new key is not 4 + 16 bytes"
    sh "$mp" --new-key other.efivar m31 >/dev/null && ! cmp -s new.efivar other.efivar || fail "two new keys alike"
    cmake -S "$src" -B own -DDUNEHOPPER_TESTS=OFF -DDUNEHOPPER_PAYLOAD="$(cat payload)" >log 2>&1 &&
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
package)  # dpkg-buildpackage: lintian, hardening, layout, the same bytes twice, own payloads, the reveal
    for tool in dpkg-buildpackage dh lintian hardening-check man; do
        command -v $tool >/dev/null || skip "$tool is not installed"
    done
    # The tracked files (outside a git checkout: the tree less its build directories).
    copy_source() {  # DIR
        mkdir -p "$1"
        if git -C "$src" ls-files --error-unmatch debian/rules >/dev/null 2>&1; then
            git -C "$src" ls-files -z | tar -C "$src" --null -T - -cf -
        else
            tar -C "$src" --exclude=./build --exclude='./build-*' --exclude='./obj-*' -cf - .
        fi | tar -C "$1" -xf -
    }
    # In DIR, with nothing from the caller's environment that would change the package; DIR.log.
    in_source() {  # DIR [NAME=VALUE...] COMMAND...
        local dir=$1
        shift
        (cd "$dir" && env -u DUNEHOPPER_PAYLOAD -u DEB_BUILD_OPTIONS -u SOURCE_DATE_EPOCH -u CXX -u CXXFLAGS "$@") >"$dir.log" 2>&1
    }
    version=$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version)
    arch=$(dpkg --print-architecture)
    copy_source one/dunehopper
    in_source one/dunehopper dpkg-buildpackage -us -uc || fail "dpkg-buildpackage: $(tail -20 one/dunehopper.log)"
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
    # What the as-installed test and piuparts take (the next builds here replace the .changes).
    rm -rf "$build/package" && mkdir "$build/package" && dcmd cp "one/dunehopper_${version}_$arch.changes" "$build/package/" ||
        fail "cannot keep the package for the tests that install it"

    [ "$(dpkg-deb -f "$deb" Section)" = games ] || fail "section is not games"
    depends=$(dpkg-deb -f "$deb" Depends)
    [[ $depends == *'libncursesw6 '* && $depends == *openssl* ]] || fail "Depends lacks ncursesw or openssl: $depends"
    [ "$(dpkg-deb -f "$dbgsym" Depends)" = "dunehopper (= $version)" ] || fail "the debug symbols fit another version"
    dpkg-deb -c "$deb" | awk '!/^d/ { print $6 }' >layout.txt
    diff - layout.txt <<'EOF' || fail "the package holds other files than these (-)"
./usr/games/dunehopper
./usr/share/doc/dunehopper/changelog.gz
./usr/share/doc/dunehopper/copyright
./usr/share/lintian/overrides/dunehopper
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
    for feature in 'Position Independent Executable' 'Stack protected' 'Read-only relocations' 'Immediate binding'; do
        grep -qx " $feature: yes" hardening.txt || fail "$feature is not yes"
    done
    # hardening-check sees fortification only in a __*_chk call, which none of the program's calls
    # needs (every bound is known when compiled); so the compiler's own command line must show it.
    grep -qE ' -O2 .*-D_FORTIFY_SOURCE=2 .* -c [^ ]*/dunehopper\.cpp$' one/dunehopper.log ||
        fail "dunehopper.cpp not compiled with -O2 and _FORTIFY_SOURCE=2: $(grep -F dunehopper.cpp one/dunehopper.log)"

    # Another path, and later: the same bytes.
    copy_source elsewhere/two/src
    in_source elsewhere/two/src dpkg-buildpackage -b -us -uc || fail "second build: $(tail -20 elsewhere/two/src.log)"
    for file in "$deb" "$dbgsym"; do
        cmp "$file" "elsewhere/two/${file#one/}" || fail "two builds differ"
        echo "reproducible: $(sha256sum "$file")"
    done

    # A deployer's payload names its own version; a bad one stops the build and says why.
    own=${sample:0:11}${sample:12}${sample:11:1}
    in_source one/dunehopper DUNEHOPPER_PAYLOAD="$own" dpkg-buildpackage -b -us -uc ||
        fail "build with another payload: $(tail -20 one/dunehopper.log)"
    own_version=$version+p$(printf %s "$own" | sha256sum | cut -c1-8)
    for package in dunehopper dunehopper-dbgsym; do
        [ "$(dpkg-deb -f "one/${package}_${own_version}_$arch.deb" Version)" = "$own_version" ] ||
            fail "no $package $own_version in: $(ls one)"
    done
    dpkg -x "one/dunehopper_${own_version}_$arch.deb" own && grep -qF "$own" own/usr/games/dunehopper ||
        fail "$own_version does not hold its payload"
    in_source one/dunehopper DUNEHOPPER_PAYLOAD=U2FsdGVkX1 dpkg-buildpackage -b -us -uc &&
        fail "built with a payload of 10 characters"
    grep -q 'DUNEHOPPER_PAYLOAD is 10 characters' one/dunehopper.log || fail "bad payload: $(cat one/dunehopper.log)"

    reveals "$src/examples/key.efivar" root/usr/games/dunehopper "$src/tests/banner.txt" "$src/examples/message.txt"
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
