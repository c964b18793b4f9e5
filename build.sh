#!/usr/bin/env bash
# Quick start: `./build.sh play` builds and runs the game, `./build.sh test`
# builds and runs every test, `./build.sh test-on SUITE` runs that in a fresh
# root of another Debian release (tests/fresh-root.sh), `./build.sh bench`
# measures what the game costs (bench/run.sh), `./build.sh pictures` takes the
# README's pictures of the game (tools/make-pictures). Each installs the
# Debian packages it needs that are missing when run as root; otherwise it
# prints the apt line to run as root. `./build.sh test-arch ARCH` cross-builds
# for arm64 or riscv64 and runs there what depends on the architecture.
set -euo pipefail
cd "$(dirname "$0")"

# What each command needs. Every Debian system has the shell and base64
# (coreutils) that the reveal runs besides openssl. Nothing the packages
# merely recommend is needed: the lists name all that is used.
#
# play: the compiler, CMake and make, ncurses' headers, and openssl for the
# reveal (69 packages on a minimal Debian 12 instead of 110).
play_packages=(g++ cmake make libncurses-dev openssl)
# test: GoogleTest (the benchmarks are built with the tests too, so that they
# cannot rot unseen); tmux and util-linux (unshare,
# setpriv) for the end-to-end runs; build-essential, dpkg-dev and debhelper
# build the Debian package, and lintian, devscripts (hardening-check) and
# man-db check it and its manual page; valgrind, clang-tidy and clang-format
# check the program itself; qemu-system-x86, ovmf (the UEFI firmware) and
# busybox-static (the shell of the test's initramfs) boot the key's steps on
# real firmware, with chattr from e2fsprogs, and apt fetches the kernel;
# autopkgtest (with uidmap for its unshare test bed) and piuparts install the
# package into fresh roots, which mmdebstrap makes; reprepro, with keys that
# gpg and its agent make, publishes a deployer's messages in a signed apt
# repository for such a root to upgrade from, and dch (devscripts) versions them.
test_packages=(g++ cmake make libncurses-dev libgtest-dev tmux openssl coreutils util-linux
    build-essential dpkg-dev debhelper devscripts lintian man-db valgrind clang-tidy clang-format
    qemu-system-x86 ovmf busybox-static e2fsprogs apt autopkgtest piuparts mmdebstrap uidmap
    reprepro gpg gpg-agent)
# bench: bench/run.sh counts instructions with callgrind and system calls
# with strace, and compares with moon-buggy.
bench_packages=("${play_packages[@]}" valgrind strace moon-buggy)
# test-arch ARCH: the cross compiler, the architecture's libraries to build and
# link against, qemu-user for its frame tests, the package's tools and the apt
# test's as for test, and its QEMU and EDK II firmware, whose busybox, openssl
# and chattr mmdebstrap unpacks. By architecture: its QEMU system package, its
# firmware package, and the first Debian release that has it.
cross_table='arm64 qemu-system-arm qemu-efi-aarch64 8
riscv64 qemu-system-riscv qemu-efi-riscv64 13'
test_arch_packages=(g++ cmake make libncurses-dev openssl coreutils util-linux qemu-user busybox-static e2fsprogs apt
    build-essential dpkg-dev debhelper devscripts lintian man-db mmdebstrap reprepro gpg gpg-agent)
# test-on: tests/fresh-root.sh makes the fresh root with mmdebstrap.
test_on_packages=(mmdebstrap)
# pictures: tools/make-pictures shows the game in xterm, on a virtual X
# display, with a font that has the block elements, through tmux, and takes
# the window with ImageMagick.
pictures_packages=("${play_packages[@]}" tmux xvfb xterm fonts-dejavu-core imagemagick)

# ensure_packages COMMAND WHY: installs what COMMAND's list holds and the
# system lacks, showing apt's progress. Not as root, it says what to run as
# root and stops: a fresh Debian has no sudo, and its package lists stay
# empty until the first `apt-get update`.
ensure_packages() {
    local command=$1 why=$2 missing=() package
    local -n packages=${command//-/_}_packages
    for package in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    if [ "$(id -u)" -ne 0 ]; then
        local install="apt-get update && apt-get install -y --no-install-recommends ${missing[*]}"
        {
            echo "./build.sh $command needs Debian packages that are not installed: ${missing[*]}"
            echo "Install them as root (su -), then run ./build.sh $command again:"
            echo "  $install"
            if command -v sudo >/dev/null; then
                echo "or with sudo:"
                echo "  sudo sh -c '$install'"
            fi
        } >&2
        exit 1
    fi
    echo "== installing ${missing[*]} ($why); apt's progress follows"
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}"
}

# autopkgtest's unshare test bed runs as root in a user namespace that maps
# root's subordinate ids, which a fresh system has given nobody yet.
ensure_subordinate_ids() {
    [ "$(id -u)" = 0 ] || return 0
    grep -q '^root:' /etc/subuid 2>/dev/null && grep -q '^root:' /etc/subgid 2>/dev/null && return 0
    echo "== giving root the subordinate ids 100000-165535 (/etc/subuid, /etc/subgid) for autopkgtest"
    usermod --add-subuids 100000-165535 --add-subgids 100000-165535 root
}

build() {  # DIR TARGET|"" [CMAKE-OPTION...]
    local dir=$1 target=$2
    shift 2
    cmake -S . -B "$dir" "$@" >/dev/null
    cmake --build "$dir" --parallel "$(nproc)" ${target:+--target "$target"}
}

# ctest_in DIR: every test in DIR, with the output of those that fail; a
# JUnit report beside CTest's own LastTest.log keeps each test's status for
# the summary.
ctest_in() {
    rm -f "$1/Testing/Temporary/junit.xml" "$1/Testing/Temporary/LastTest.log"  # no stale results
    ctest --test-dir "$1" --output-on-failure --no-tests=error --output-junit "$PWD/$1/Testing/Temporary/junit.xml"
}

# markdown_files: the tracked Markdown files, NUL-separated; outside a git
# checkout (a fresh root holds a copy of the tree), all but the builds'.
markdown_files() {
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git ls-files -z '*.md'
    else
        find . \( -path ./build -o -path './build-*' -o -name .git \) -prune -o -name '*.md' -print0
    fi
}

# links: every relative link and image of the Markdown files names a file or
# directory of the tree; code blocks hold none. A path that starts with / is
# taken from the top of the tree, as a forge takes it.
links() {
    local file target status=0
    [ -n "$(markdown_files | head -c 1)" ] || { echo "links: no Markdown files found"; return 1; }
    while IFS=$'\t' read -r file target; do
        case $target in
        /*) [ -e ".$target" ] ;;
        *) [ -e "$(dirname "$file")/$target" ] ;;
        esac || { echo "links: $file: no such file: $target"; status=1; }
    done < <(markdown_files | xargs -0r awk '
        FNR == 1 { fence = 0 }
        /^ *(```|~~~)/ { fence = !fence; next }
        fence { next }
        {
            line = $0
            if (match(line, /^ *\[[^]]+\]: */)) line = "](" substr(line, RLENGTH + 1) ")"
            while (match(line, /\]\([^)]*\)/)) {
                target = substr(line, RSTART + 2, RLENGTH - 3)
                line = substr(line, RSTART + RLENGTH)
                sub(/^</, "", target); sub(/>$/, "", target)
                sub(/[ \t].*/, "", target)  # a title
                sub(/#.*/, "", target)
                if (target != "" && target !~ /^[A-Za-z][A-Za-z0-9+.-]*:/) print FILENAME "\t" target
            }
        }')
    return $status
}

# The sources as clang-format and clang-tidy (.clang-format, .clang-tidy)
# want them, and the Markdown's links.
lint() {
    local sources=(dunehopper.cpp tests/frame_test.cpp bench/*.cpp) status=0
    clang-format --dry-run --Werror "${sources[@]}" dunehopper.h tests/heap_counter.h tests/own_terminal.h || status=1
    clang-tidy --quiet -p build "${sources[@]}" 2> >(grep -v 'warnings generated' >&2) || status=1
    links || status=1
    return $status
}

# summary DIR...: the closing lines of the CTest runs in DIR...: the counts
# (the line CI reads, in that exact shape) and a line for each test that
# failed or was skipped, with the reason a skipped test printed (a shell
# test's "SKIPPED [case]: ..." line, GoogleTest's message after "Skipped").
# The JUnit report gives each test's status; LastTest.log, which calls a
# skipped test passed, gives the output. Returns 0 when every test passed,
# 2 when some were skipped and none failed, 1 when one failed or none ran.
summary() {
    local dir
    for dir in "$@"; do
        if [ ! -s "$dir/Testing/Temporary/junit.xml" ] || [ ! -s "$dir/Testing/Temporary/LastTest.log" ]; then
            echo "tests: no results in $dir"
            return 1
        fi
    done
    for dir in "$@"; do
        awk -v build="$dir" '
            function attribute(key) {
                return match($0, " " key "=\"[^\"]*\"") ? substr($0, RSTART + length(key) + 3, RLENGTH - length(key) - 4) : ""
            }
            FNR == NR {
                if (match($0, /^[0-9]+\/[0-9]+ Test: /)) { name = substr($0, RLENGTH + 1); output = 0; next }
                if ($0 == "Output:") { output = 1; next }
                if ($0 == "<end of output>") { output = 0; next }
                if (!output || name in reason) next
                if (gtestSkip) { gtestSkip = 0; if ($0 !~ /^\[  SKIPPED \]/) reason[name] = $0; next }
                if (sub(/^SKIPPED \[[^]]*\]: /, "")) reason[name] = $0
                else if (/: Skipped$/) gtestSkip = 1
                next
            }
            /^\t<testcase / { name = attribute("name"); status = attribute("status") }
            /^\t\t<skipped / { status = attribute("message") ~ /^SKIP_/ ? "skipped" : "not run: " attribute("message") }
            /^\t<\/testcase>/ { printf "%s\t%s\t%s\t%s\n", status, name, build, reason[name] }
            ' "$dir/Testing/Temporary/LastTest.log" "$dir/Testing/Temporary/junit.xml"
    done | awk -F'\t' '
        $1 == "run" { passed++; next }
        $1 == "skipped" { skipped[++skips] = $2 " (" $3 "): " ($4 == "" ? "no reason printed" : $4); next }
        { failed[++failures] = $2 " (" $3 "): " $1 }
        END {
            printf "tests: %d passed, %d failed, %d skipped\n", passed, failures, skips
            for (i = 1; i <= failures; i++) print "failed: " failed[i]
            for (i = 1; i <= skips; i++) print "skipped: " skipped[i]
            exit failures > 0 || passed + skips == 0 ? 1 : skips > 0 ? 2 : 0
        }'
}

# verdict STATUS TESTS-STATUS [ARCH]: the last closing line, and the command's status.
verdict() {
    local status=$1
    if [ "$2" = 1 ]; then
        status=1
    elif [ "$2" = 2 ] && [ "${CI:-}" = true ]; then
        # A runner that cannot run a case must not pass for one that ran it.
        echo "tests: under CI (CI=true) a skipped test is a failure"
        status=1
    elif [ "$2" = 0 ] && [ "$status" = 0 ]; then
        echo "== all passed${3:+ on $3}"
    fi
    exit "$status"
}

case "${1:-}" in
play)
    ensure_packages play "to build and run the game"
    # build/ is test's too. The tests and benchmarks are off here, so that
    # GoogleTest and Google Benchmark need not be installed; test turns them
    # on again each time, and its ctest refuses to find no tests.
    build build dunehopper -DDUNEHOPPER_TESTS=OFF -DDUNEHOPPER_BENCH=OFF
    exec ./build/dunehopper ;;
test)
    ensure_packages test "to build and run every test"
    ensure_subordinate_ids
    status=0
    echo "== normal build"
    build build "" -DDUNEHOPPER_TESTS=ON -DDUNEHOPPER_BENCH=ON
    ctest_in build || status=1
    echo "== AddressSanitizer and UndefinedBehaviorSanitizer build"
    build build-sanitize "" -DDUNEHOPPER_TESTS=ON -DDUNEHOPPER_SANITIZE=ON
    ctest_in build-sanitize || status=1
    echo "== clang-format and clang-tidy"
    lint_status=0 tests_status=0
    lint || lint_status=1
    # The closing lines: a failure anywhere above still fails the command.
    echo "== summary of both builds"
    summary build build-sanitize || tests_status=$?
    if [ $lint_status != 0 ]; then
        echo "lint: clang-format or clang-tidy found the faults shown above"
        status=1
    fi
    verdict $status $tests_status ;;
test-arch)
    arch=${2:-}
    read -r _ qemu_package firmware_package since < <(awk -v arch="$arch" '$1 == arch' <<<"$cross_table") ||
        { echo "usage: $0 test-arch ARCH, one of: $(cut -d' ' -f1 <<<"$cross_table" | xargs)" >&2; exit 2; }
    release=$(. /etc/os-release && echo "${VERSION_ID:-}")  # testing and unstable have none: the newest
    if [ -n "$release" ] && [ "${release%%.*}" -lt "$since" ]; then
        echo "test-arch: Debian $release has no $arch; Debian $since is the first release with it" >&2
        exit 1
    fi
    if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
        if [ "$(id -u)" != 0 ]; then
            echo "./build.sh test-arch $arch needs $arch's packages: as root, run dpkg --add-architecture $arch first" >&2
            exit 1
        fi
        echo "== dpkg --add-architecture $arch, for its libraries and its kernel"
        dpkg --add-architecture "$arch"
    fi
    test_arch_packages+=("crossbuild-essential-$arch" "libncurses-dev:$arch" "libgtest-dev:$arch" "libstdc++6:$arch"
        "$qemu_package" "$firmware_package")
    ensure_packages test-arch "to cross-build for $arch and test it"
    echo "== $arch build: the frame tests under qemu-user, the package, the apt repository, the firmware"
    status=0 tests_status=0
    build "build-$arch" "" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/$arch.cmake" -DDUNEHOPPER_TESTS=ON
    ctest_in "build-$arch" || status=1
    echo "== what the $arch package, its apt repository and its firmware showed"
    grep -E '^(lintian -I|reproducible from|apt on|firmware|the firmware stores)' "build-$arch/Testing/Temporary/LastTest.log" || :
    echo "== summary of the $arch build"
    summary "build-$arch" || tests_status=$?
    verdict $status $tests_status "$arch" ;;
test-on)  # SUITE [COMMAND [ARGUMENT...]]: test, or another command, in a fresh root of SUITE
    [ $# -ge 2 ] || { echo "usage: $0 test-on SUITE (bookworm, trixie, testing...) [test-arch ARCH]" >&2; exit 2; }
    ensure_packages test-on "to make a fresh Debian root"
    suite=$2
    shift 2
    exec tests/fresh-root.sh "$suite" "${@:-test}" ;;
bench)
    ensure_packages bench "to build the benchmarks and compare with moon-buggy"
    exec bench/run.sh ;;
pictures)
    ensure_packages pictures "to take the README's pictures of the game"
    build build dunehopper -DDUNEHOPPER_TESTS=OFF -DDUNEHOPPER_BENCH=OFF
    exec tools/make-pictures build/dunehopper docs ;;
*)
    echo "usage: $0 play|test|test-arch ARCH|test-on SUITE [COMMAND...]|bench|pictures" >&2
    exit 2 ;;
esac
