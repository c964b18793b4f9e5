#!/usr/bin/env bash
# Measures what the game costs while the demonstration plays, and prints the
# figures as a Markdown table: CPU per frame (time and instructions), system
# calls per frame, bytes sent per changed cell, heap allocations in steady
# play, whole-process CPU and peak memory next to moon-buggy, and the start-up
# time with the firmware key present. Takes over four minutes: the timed runs alone
# last 240 s (strace 3 x 20 s, whole processes 3 x 6 x 10 s). Run it as
# `./build.sh bench`, which first installs strace and moon-buggy, the game it
# compares with.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build-bench -DDUNEHOPPER_BENCH=ON >/dev/null
cmake --build build-bench --parallel "$(nproc)" >/dev/null
bin=build-bench/bench
game=build-bench/dunehopper
moon=/usr/games/moon-buggy
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sizes=("24 80" "60 200" "150 500")
median() { sort -g | sed -n 2p; }  # of three

echo "Machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs), $(nproc) cores," \
    "Linux $(uname -r), Debian $(cat /etc/debian_version)," \
    "ncurses $(dpkg-query -W -f='${Version}' libncursesw6), load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo

# 1. CPU per frame: time (Google Benchmark, median of 3 repetitions) and
#    instructions (callgrind, 200 passes after 100 of warm-up).
"$bin/frame_bench" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
    --benchmark_format=csv 2>/dev/null | grep '_median' >"$work/gbench"
for size in "${sizes[@]}"; do
    set -- $size
    valgrind --tool=callgrind --callgrind-out-file="$work/callgrind" \
        --toggle-collect='DunehopperProbe::measuredPasses*' "$bin/frame_bench" --passes "$1" "$2" 200 \
        >/dev/null 2>&1
    ir=$(grep -m1 '^totals:' "$work/callgrind" | awk '{print $2}')
    echo "$1x$2 $((ir / 200))" >>"$work/instructions"
done

# 2. and 3. Terminal traffic and heap allocations in steady play.
"$bin/frame_bench" --traffic | tail -n +2 >"$work/traffic"

# 3b. System calls per frame: the real binary under strace for 20 s; the
#     calls of seconds 2 to 18 per key wait (a poll with the 60 ms time-out).
#     The demonstration's stretches differ, so a short window would flatter.
for size in "${sizes[@]}"; do
    set -- $size
    "$bin/process_bench" play "$1" "$2" 20 - strace -ttt -o "$work/strace.$1x$2" "$game" >/dev/null
    awk -v size="$1x$2" 'NR == 1 { start = $1 }
        $1 >= start + 2 && $1 < start + 18 && $2 ~ /^[a-z_0-9]+\(/ { calls++; if ($0 ~ /poll\(.*\], 1, 60\)/) frames++ }
        END { printf "%s %.2f\n", size, frames ? calls / frames : -1 }' "$work/strace.$1x$2" >>"$work/syscalls"
done

# 4. Whole process, 10 s, median of 3 runs, moon-buggy in play beside it, and
#    the least a loop with the game's pace and blank rewrite can cost.
for run in 1 2 3; do
    "$bin/process_bench" play 24 80 10 y "$moon" >>"$work/moon"
    "$bin/process_bench" play 24 80 10 - "$bin/loop_floor" idle >>"$work/floor.idle"
    "$bin/process_bench" play 24 80 10 - "$bin/loop_floor" >>"$work/floor.rewrite"
    for size in "${sizes[@]}"; do
        set -- $size
        "$bin/process_bench" play "$1" "$2" 10 - "$game" >>"$work/game.$1x$2"
    done
done

# 5. Start-up with the key present: exec to the banner's last line, median of 21.
startup=$(timeout 120 "$bin/process_bench" startup examples/key.efivar 21 "$game")  # a banner that never comes must not hang the bench

moonCpu=$(cut -d' ' -f1 "$work/moon" | median)
printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' size "µs/frame (CPU)" "instructions/frame" \
    "system calls/frame" "bytes/frame" "changed cells/frame" "bytes/changed cell" "allocations/frame" \
    "CPU % (10 s, median of 3)" "peak RSS KiB (max of 3)"
echo "|---|---|---|---|---|---|---|---|---|---|"
for size in "${sizes[@]}"; do
    set -- $size
    name="$1x$2"
    us=$(grep "rows:$1/cols:$2_median" "$work/gbench" | cut -d, -f4 | xargs printf '%.1f')
    ir=$(grep "^$name " "$work/instructions" | cut -d' ' -f2)
    read -r _ _ _ bytes changed perCell _ allocs < <(grep "^ *$1x$2 " "$work/traffic" | tr -s ' ' | sed 's/^ //; s/x/ /')
    cpu=$(cut -d' ' -f1 "$work/game.$name" | median)
    rss=$(cut -d' ' -f2 "$work/game.$name" | sort -g | tail -1)  # the largest of three
    calls=$(grep "^$name " "$work/syscalls" | cut -d' ' -f2)
    printf '| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n' "$name" "$us" "$ir" "$calls" "$bytes" "$changed" \
        "$perCell" "$allocs" "$cpu" "$rss"
done
echo
echo "moon-buggy in play at 24x80: CPU $moonCpu % (median of 3), peak RSS $(cut -d' ' -f2 "$work/moon" | median) KiB;" \
    "dunehopper/moon-buggy CPU ratio at 24x80: $(awk -v a="$(cut -d' ' -f1 "$work/game.24x80" | median)" \
    -v b="$moonCpu" 'BEGIN { printf "%.2f", a / b }')"
echo "The same pace with nothing drawn at 24x80 (bench/loop_floor): key reads alone" \
    "$(cut -d' ' -f1 "$work/floor.idle" | median) %, with the blank rewrite and refresh" \
    "$(cut -d' ' -f1 "$work/floor.rewrite" | median) % (medians of 3)"
echo "Every run (CPU %, peak RSS KiB, bytes/s after the first second):"
for name in moon floor.idle floor.rewrite game.24x80 game.60x200 game.150x500; do
    echo "  $name: $(cut -d' ' -f1-3 "$work/$name" | paste -sd'/' | sed 's/\// | /g')"
done
echo "Start-up, exec to banner with the key present: $startup ms (median of 21)"
