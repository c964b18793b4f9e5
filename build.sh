#!/usr/bin/env bash
# Quick start: `./build.sh play` builds and runs the game, `./build.sh test`
# builds and runs every test, `./build.sh bench` measures what the game costs
# (bench/run.sh). Each installs the Debian packages it needs that are missing
# when run as root; otherwise it prints the apt line to run as root.
set -euo pipefail
cd "$(dirname "$0")"

# What each command needs. Every Debian system has the shell and base64
# (coreutils) that the reveal runs besides openssl.
#
# play: the compiler, CMake and make, ncurses' headers, and openssl for the
# reveal. Nothing they merely recommend is needed (69 packages on a minimal
# Debian 12 instead of 110).
play_packages=(g++ cmake make libncurses-dev openssl)
play_apt_options=(--no-install-recommends)
# test: dpkg-dev and file let CPack find the .deb's library dependencies;
# lintian and man-db check the package and its manual page; valgrind,
# clang-tidy and clang-format check the program itself; the benchmark is built
# with the tests so that it cannot rot unseen.
test_packages=(g++ cmake make libncurses-dev libgtest-dev libbenchmark-dev tmux openssl coreutils util-linux dpkg-dev file
    lintian man-db valgrind clang-tidy clang-format)
test_apt_options=()
# bench: bench/run.sh builds the benchmarks beside the tests, counts
# instructions with callgrind, and compares with moon-buggy.
bench_packages=("${play_packages[@]}" libgtest-dev libbenchmark-dev valgrind moon-buggy)
bench_apt_options=()

# ensure_packages COMMAND WHY: installs what COMMAND's list holds and the
# system lacks, showing apt's progress. Not as root, it says what to run as
# root and stops: a fresh Debian has no sudo, and its package lists stay
# empty until the first `apt-get update`.
ensure_packages() {
    local command=$1 why=$2 missing=() package
    local -n packages=${command}_packages options=${command}_apt_options
    for package in "${packages[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    if [ "$(id -u)" -ne 0 ]; then
        local install="apt-get update && apt-get install -y ${options[*]}${options[*]:+ }${missing[*]}"
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
    DEBIAN_FRONTEND=noninteractive apt-get install -y -o DPkg::Lock::Timeout=600 "${options[@]}" "${missing[@]}"
}

build() {  # DIR TARGET|"" [CMAKE-OPTION...]
    local dir=$1 target=$2
    shift 2
    cmake -S . -B "$dir" "$@" >/dev/null
    cmake --build "$dir" --parallel "$(nproc)" ${target:+--target "$target"}
}

# The sources as clang-format and clang-tidy (.clang-format, .clang-tidy) want them.
lint() {
    local sources=(dunehopper.cpp tests/frame_test.cpp bench/*.cpp)
    clang-format --dry-run --Werror "${sources[@]}" dunehopper.h tests/heap_counter.h
    clang-tidy --quiet -p build "${sources[@]}" 2> >(grep -v 'warnings generated' >&2)
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
    echo "== normal build"
    build build "" -DDUNEHOPPER_TESTS=ON -DDUNEHOPPER_BENCH=ON
    ctest --test-dir build --output-on-failure --no-tests=error
    echo "== AddressSanitizer and UndefinedBehaviorSanitizer build"
    build build-sanitize "" -DDUNEHOPPER_TESTS=ON -DDUNEHOPPER_SANITIZE=ON
    ctest --test-dir build-sanitize --output-on-failure --no-tests=error
    echo "== clang-format and clang-tidy"
    lint
    echo "== all passed" ;;
bench)
    ensure_packages bench "to build the benchmarks and compare with moon-buggy"
    exec bench/run.sh ;;
*)
    echo "usage: $0 play|test|bench" >&2
    exit 2 ;;
esac
