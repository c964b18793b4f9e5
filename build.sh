#!/usr/bin/env bash
# Quick start: `./build.sh play` builds and runs the game, `./build.sh test`
# builds and runs every test, `./build.sh bench` measures what the game costs
# (bench/run.sh). Missing Debian packages are installed when run as root;
# otherwise the exact apt line is printed.
set -euo pipefail
cd "$(dirname "$0")"

packages=(g++ cmake make libncurses-dev libgtest-dev tmux openssl coreutils util-linux)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing packages. Install them with:" >&2
        echo "  sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

build() {  # [TARGET]
    cmake -S . -B build >/dev/null
    cmake --build build --parallel "$(nproc)" ${1:+--target "$1"}
}

case "${1:-}" in
play)
    build dunehopper
    exec ./build/dunehopper ;;
test)
    build
    ctest --test-dir build --output-on-failure ;;
bench)
    exec bench/run.sh ;;
*)
    echo "usage: $0 play|test|bench" >&2
    exit 2 ;;
esac
