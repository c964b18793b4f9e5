#!/usr/bin/env bash
# Measures what the game costs while the demonstration plays, beside
# moon-buggy in play at the same size, and prints a Markdown table: per frame
# the instructions (callgrind), system calls (strace), bytes and changed
# cells (frame_bench --traffic) and heap allocations; per process the steady
# CPU (the median of three rounds that interleave the two programs) and the
# peak memory. Takes about five minutes. Run it as `./build.sh bench`, which
# first installs valgrind, strace and moon-buggy.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build-bench -DDUNEHOPPER_BENCH=ON -DDUNEHOPPER_TESTS=OFF >/dev/null
cmake --build build-bench --parallel "$(nproc)" >/dev/null
bin=build-bench/bench game=build-bench/dunehopper moon=/usr/games/moon-buggy
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sizes=("24 80" "60 200" "150 500")
median() { sort -g | sed -n 2p; }  # of three

echo "Machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs), $(nproc) cores," \
    "Linux $(uname -r), Debian $(cat /etc/debian_version)," \
    "ncurses $(dpkg-query -W -f='${Version}' libncursesw6), load average $(cut -d' ' -f1-3 /proc/loadavg)"
"$bin/frame_bench" --traffic | tail -n +2 >"$work/traffic"
for size in "${sizes[@]}"; do
    set -- $size
    # Instructions: 200 passes after 100 of warm-up.
    valgrind --tool=callgrind --callgrind-out-file="$work/callgrind" \
        --toggle-collect='DunehopperProbe::measuredPasses*' "$bin/frame_bench" --passes "$1" "$2" 200 >/dev/null 2>&1
    echo "$(awk '/^totals:/ { print int($2 / 200); exit }' "$work/callgrind")" >"$work/ir.$1"
    # System calls: the real binary for 20 s, the calls of seconds 2 to 18
    # per key wait (a poll with the 60 ms time-out); a shorter stretch of the
    # demonstration would flatter.
    "$bin/process_bench" "$1" "$2" 20 - strace -ttt -o "$work/strace" "$game" >/dev/null
    awk 'NR == 1 { start = $1 } $1 >= start + 2 && $1 < start + 18 && $2 ~ /^[a-z_0-9]+\(/ {
        calls++; if ($0 ~ /poll\(.*\], 1, 60\)/) frames++ } END { printf "%.2f\n", frames ? calls / frames : -1 }' \
        "$work/strace" >"$work/calls.$1"
done
for round in 1 2 3; do  # the two programs side by side, so that the machine's load weighs on both
    for size in "${sizes[@]}"; do
        set -- $size
        "$bin/process_bench" "$1" "$2" 10 - "$game" >>"$work/game.$1"
        "$bin/process_bench" "$1" "$2" 10 y "$moon" >>"$work/moon.$1"
    done
done

echo
echo "| size | instructions/frame | system calls/frame | bytes/frame | changed cells/frame | bytes/changed cell |" \
    "allocations/frame | CPU % | moon-buggy CPU % | CPU ratio | peak RSS KiB | moon-buggy peak RSS KiB |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|"
for size in "${sizes[@]}"; do
    set -- $size
    read -r _ bytes changed perCell _ allocs < <(grep "^$1x$2 " "$work/traffic")
    cpu=$(cut -d' ' -f1 "$work/game.$1" | median) moonCpu=$(cut -d' ' -f1 "$work/moon.$1" | median)
    printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "$1x$2" "$(cat "$work/ir.$1")" \
        "$(cat "$work/calls.$1")" "$bytes" "$changed" "$perCell" "$allocs" "$cpu" "$moonCpu" \
        "$(awk -v a="$cpu" -v b="$moonCpu" 'BEGIN { printf "%.2f", a / b }')" \
        "$(cut -d' ' -f2 "$work/game.$1" | sort -g | tail -1)" "$(cut -d' ' -f2 "$work/moon.$1" | sort -g | tail -1)"
done
echo
echo "Every round (CPU %, peak RSS KiB):"
for size in "${sizes[@]}"; do
    set -- $size
    echo "  $1x$2: game $(paste -sd'/' "$work/game.$1" | sed 's/\// | /g'); moon-buggy $(paste -sd'/' "$work/moon.$1" | sed 's/\// | /g')"
done
