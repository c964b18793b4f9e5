#!/usr/bin/env bash
# Quick start: `./build.sh play` builds and runs the game, `./build.sh test`
# builds and runs every test, `./build.sh bench` measures what the game costs
# (bench/run.sh). Missing Debian packages are installed when run as root;
# otherwise the exact apt line is printed.
set -euo pipefail
cd "$(dirname "$0")"

# dpkg-dev and debhelper build the Debian package; lintian, devscripts
# (hardening-check) and man-db check it and its manual page; valgrind,
# clang-tidy and clang-format check the program itself; the benchmark is built
# with the tests so that it cannot rot unseen.
packages=(g++ cmake make libncurses-dev libgtest-dev libbenchmark-dev tmux openssl coreutils util-linux dpkg-dev debhelper
    devscripts lintian man-db valgrind clang-tidy clang-format)

ensure_packages() {  # PACKAGE...
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages. Install them with:" >&2
        echo "  sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}
ensure_packages "${packages[@]}"

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
    build build dunehopper
    exec ./build/dunehopper ;;
test)
    echo "== normal build"
    build build "" -DDUNEHOPPER_BENCH=ON
    ctest --test-dir build --output-on-failure
    echo "== AddressSanitizer and UndefinedBehaviorSanitizer build"
    build build-sanitize "" -DDUNEHOPPER_SANITIZE=ON
    ctest --test-dir build-sanitize --output-on-failure
    echo "== clang-format and clang-tidy"
    lint
    echo "== all passed" ;;
bench)
    ensure_packages moon-buggy
    exec bench/run.sh ;;
*)
    echo "usage: $0 play|test|bench" >&2
    exit 2 ;;
esac
