#!/usr/bin/env bash
# End-to-end runs of the real binary: a real terminal (tmux on a private
# socket), the real /bin/sh, base64 and openssl, and a private mount
# namespace with a tmpfs over /sys/firmware standing in for the firmware.
# Usage: e2e.sh CASE BINARY. Exit 77 means SKIPPED.
set -u
case_name=$1
bin=$(realpath "$2")
here=$(cd "$(dirname "$0")" && pwd)
examples=$here/../examples
source "$here/firmware.sh"
cleanup() { tmux -S "$work/tmux" kill-server 2>/dev/null; rm -rf "$work" ${playerdir:+"$playerdir"}; }
need_namespace
# The sanitizer build's report of the suppressions used would land on the screens read here.
[ -z "${LSAN_OPTIONS:-}" ] || export LSAN_OPTIONS=$LSAN_OPTIONS:print_suppressions=0

# tmux on its own socket, without a status line so that the pane is the
# whole window, and kept running between sessions (a server on its way out
# makes the next session fail); poll until a condition holds or a deadline
# (default 10 s) passes.
printf 'set -g status off\nset -g exit-empty off\n' >tmux.conf
tm() { tmux -S "$work/tmux" -f "$work/tmux.conf" "$@"; }
need_tmux() { command -v tmux >/dev/null || skip "tmux is not installed"; }
screen() { tm capture-pane -p -J -t game; }
line() { screen | sed -n "$1{s/ *\$//;p}"; }  # N: the screen's line N, without trailing blanks
shows() { screen >shown 2>/dev/null && grep -q -- "$1" shown; }  # the screen stays in ./shown
within() {  # SECONDS WHAT CMD...
    local deadline=$((SECONDS + $1)) what=$2
    shift 2
    until "$@"; do
        [ $SECONDS -lt $deadline ] || { screen; fail "timed out waiting for: $what"; }
        sleep 0.1
    done
}
wait_for() { within "${2:-10}" "$1" shows "$1"; }
server_gone() { ! tm list-sessions >/dev/null 2>&1; }
pane_is() { [ "$(tm display -p -t game '#{pane_width}x#{pane_height}')" = "$1" ]; }
in_game() { [ "$(tm display -p -t game '#{alternate_on}#{cursor_flag}')" = 10 ]; }  # the cursor hidden
# need_player WHAT WHAT-PASSED: sets player, the setpriv command that runs a
# command as a user without privileges, and pbin, a copy of the binary that
# user can reach: a clone under a directory of mode 0700, such as /root, is
# out of its reach, and so are the leak suppressions there, which the
# sanitizer build reads once it finds a leak.
need_player() {
    [ "$(id -u)" = 0 ] || skip "needs root to $1 ($2)"
    local id=$((40000 + $$ % 20000))
    player=(setpriv --reuid=$id --regid=$id --clear-groups)
    # In /tmp itself, whatever TMPDIR says, and with modes set whatever the umask.
    playerdir=$(mktemp -d /tmp/dunehopper-player.XXXXXX) && chmod 755 "$playerdir" &&
        install -m 755 "$bin" "$playerdir/" && install -m 644 "$here/lsan.supp" "$playerdir/" ||
        fail "cannot copy the binary for the player"
    pbin=$playerdir/$(basename "$bin")
    [ -z "${LSAN_OPTIONS:-}" ] || export LSAN_OPTIONS=$LSAN_OPTIONS:suppressions=$playerdir/lsan.supp  # the last wins
    "${player[@]}" test -x "$pbin" || skip "$pbin is out of an unprivileged user's reach ($2)"
}
# pane LINE: runs LINE (bash, with in_firmware at hand) in a pane of $cols x
# $rows, then records its exit status and the terminal's modes, as they were
# before it too.
cols=80 rows=24
pane() {
    need_tmux
    rm -f status modes finished before
    { declare -p unshare_cmd keypath; declare -f in_firmware
      printf 'export LANG=C.UTF-8\nstty -a >before\n%s\necho $? >status; stty -a >modes; echo DONE; : >finished\nstty -a >/dev/null 2>&1 && exec sleep 60  # not once the terminal is gone\n' "$1"
    } >pane.sh
    tm new-session -d -s game -x "$cols" -y "$rows" "bash $work/pane.sh"
}
# play KEY [REDIRECTS] [BEFORE]: the game (run by $wrap, if set), its pid in
# ./pid, until the prompt shows.
play() {
    printf '#!/bin/sh\necho $$ >%s/pid\nexec %s "%s"\n' "$work" "${wrap:-}" "$bin" >launch && chmod +x launch
    pane "${3:-} in_firmware $1 $work/launch ${2:-}"
    wait_for "Press SPACE to start" "${patience:-10}"
}
modes_restored() {  # WHEN MODES-FILE: every mode as before the game, unless $set_meanwhile
    grep -qw -- '-echo' "$2" && fail "$1: echo left off"
    grep -qw -- '-icanon' "$2" && fail "$1: canonical input left off"
    [ -n "${set_meanwhile:-}" ] || diff <(sed 1d before) <(sed 1d "$2") >changed ||  # line 1: speed and size
        fail "$1: modes changed: $(grep '^>' changed)"
    within 5 "$1: normal screen and cursor" normal_screen
}
# The normal screen, the cursor shown, and the cursor keys and keypad sending their normal codes.
normal_screen() { [ "$(tm display -p -t game '#{alternate_on}#{cursor_flag}#{keypad_cursor_flag}#{keypad_flag}')" = 0100 ]; }
terminal_restored() {  # waits for the pane's end: on a tiny screen DONE may not show
    within "${patience:-10}" "the end of the pane's command" test -e finished
    grep -qx 0 status || fail "exit status: $(cat status)"
    modes_restored "after the game" modes
}
# storm SEED: a reproducible burst of every byte but `]` and the three that
# the terminal turns into signals (^C ^\ ^Z: the signals case), mixed with the
# keys that arrive as escape sequences. A ^S in it stops the output until the
# ^Q at the end; the x's complete any escape sequence left half-sent.
storm() {
    local special=(Up Down Left Right Home End PPage NPage IC DC BTab F1 F2 F5 F10 F12 Space Escape)
    local batch bytes byte
    RANDOM=$1
    for batch in {1..120}; do  # about two seconds
        bytes=()
        for byte in {1..24}; do
            byte=$((RANDOM % 256))
            case $byte in 3 | 26 | 28 | 93) continue ;; esac
            bytes+=("$(printf %02x $byte)")
        done
        tm send-keys -t game -H "${bytes[@]}" || fail "cannot send ${bytes[*]}"
        tm send-keys -t game "${special[RANDOM % ${#special[@]}]}" "${special[RANDOM % ${#special[@]}]}" || fail "keys"
    done
    tm send-keys -t game xxxxxxxx C-q
}
running() { shows 'Score: 0000 x ' && ! grep -q 'Press SPACE' shown; }  # a run, however many frames in
start_run() {  # SPACE, again only after a second without a run: one more in a run would jump
    running && return
    tm send-keys -t game Space
    local look
    for look in {1..10}; do running && return; sleep 0.1; done
    return 1
}
within_80x24() {  # the dino too: the rows a smaller size cut off are drawn again
    [[ "$(line 24)" == "████ "* ]] && [ -z "$(screen | sed -n '25,$p' | tr -d ' ')" ] && screen | grep -q '▟█▙' &&
        [ "$(screen | sed 's/ *$//' | LC_ALL=C.UTF-8 wc -L)" -le 80 ]
}
no_game_run() {  # KEY CMD...: a run without any terminal; stdout, stderr, status
    in_firmware "$1" setsid -w "${@:2}" </dev/null >out 2>err
    echo $? >status
}
expect_output() {  # FILE...: stdout must be exactly these files' bytes
    cat "$@" >expected
    cmp out expected || fail "standard output differs from $*"
    grep -qx 0 status || fail "exit status $(cat status)"
}

case $case_name in
demonstration)  # plays itself, SPACE starts a run, `]` leaves and the terminal is whole
    play none
    screen | grep -q 'WelCome to Tavrel!' || fail "no greeting"
    in_game || fail "not on the alternate screen with the cursor hidden"
    tm send-keys -t game Space
    within 10 "a run, without the prompt" running
    tm send-keys -t game ']'
    terminal_restored
    screen | grep -q -- '__   __.   _______ .______' || fail "no banner after the game" ;;
reveal)  # the sample key: no game, banner and message byte for byte
    no_game_run "$examples/key.efivar" "$bin"
    expect_output "$here/banner.txt" "$examples/message.txt"
    [ -s err ] && fail "stderr: $(cat err)" ;;
other-keys)  # any key that opens means no game, banner first, exit 0; one that does not, the game
    head -c 20 /dev/urandom >wrong; : >empty; printf '\7\0\0\0a\0b\0' >zeros
    head -c 1M /dev/urandom >large  # its base64 is many lines, so many words after -k
    for key in wrong empty dir zeros large; do
        no_game_run "$key" "$bin"
        head -c 1113 out | cmp - "$here/banner.txt" || fail "$key: banner is not the first output"
        grep -qx 0 status || fail "$key: exit status $(cat status)"
        grep -q 'skipping the game' err && fail "$key: the game was tried"
        [ $key != large ] || cmp out "$here/banner.txt" || fail "large: the pipeline should have failed"
    done
    # Present but unreadable to the user playing: the game starts.
    need_player "play as another user" "the other keys passed"
    cp wrong locked && chmod 000 locked
    pane "in_firmware $work/locked ${player[*]} '$pbin' >out"
    wait_for "Press SPACE to start"
    tm send-keys -t game ']'
    terminal_restored
    expect_output "$here/banner.txt" ;;
pipe-error)  # no descriptors left for the pipe: "error" after the banner
    printf 'error\n' >error.txt
    cat >fewfds <<'EOF'
for fd in $(ls /proc/$$/fd); do [ "$fd" -gt 2 ] && eval "exec $fd>&-"; done 2>/dev/null
ulimit -n 4  # room for the key file, none for the pipe
exec "$@"
EOF
    # Given as a string: a script file would be read through one of the descriptors it closes.
    no_game_run "$examples/key.efivar" bash -c "$(cat fewfds)" fewfds "$bin"
    expect_output "$here/banner.txt" error.txt ;;
zero-bytes)  # what the pipeline prints reaches stdout untouched: zero bytes, long lines
    mkdir fake
    printf '#!/bin/sh\ncat >/dev/null\nprintf "a\\000b\\n"; head -c 1000 /dev/zero | tr "\\0" x; printf "\\000\\n"\n' >fake/openssl
    chmod +x fake/openssl
    PATH=$work/fake:$PATH fake/openssl </dev/null >pipeline.txt
    no_game_run "$examples/key.efivar" env PATH="$work/fake:$PATH" "$bin"
    expect_output "$here/banner.txt" pipeline.txt ;;
no-terminal)  # no terminal at all, or one curses cannot use: notice, banner, exit 0
    no_game_run none "$bin"
    # The notice, whole, before what the reveal's tools say without a key.
    [ "$(head -n 1 err)" = "dunehopper: no terminal to play on, skipping the game" ] || fail "notice: $(cat err)"
    expect_output "$here/banner.txt"
    need_tmux
    for term in unset no-such-terminal dumb; do
        [ "$term" = unset ] && env=(env -u TERM) || env=(env TERM=$term)
        pane "in_firmware none ${env[*]} '$bin' 2>err"
        wait_for DONE
        [ "$(head -n 1 err)" = "dunehopper: cannot use terminal type '${term#unset}', skipping the game" ] ||
            fail "TERM $term: notice $(cat err)"
        grep -qx 0 status || fail "TERM $term: exit status $(cat status)"
        grep -q -- '__   __.   _______ .______' shown || fail "TERM $term: no banner"
        tm kill-session -t game
    done ;;
redirected)  # the screen stays on the terminal, a file given stdout gets only the banner;
    # keys come from stdin: SPACE fed in starts a run, a `]` leaves at once (the input kept
    # open behind it, or the rest of a file left unread), and so does an input that ends
    held="exec sleep 30"  # only a played `]` ends the game in time
    for row in '@ >out:plays' '@ >out </dev/null:ends' '@ </dev/null:ends' "@ < <(printf ']'; $held):ends" \
        "@ >out < <(printf '   '; until [ -e $work/go ]; do sleep 0.1; done; printf ']'; $held):runs" \
        '@ <&- >out:ends' '{ @ >out && cat >rest; } <keys:ends' '@ 0>/dev/tty >out:ends'; do
        line=${row%:*} game="in_firmware none '$bin' 2>>err"
        rm -f out rest go err
        printf 'ab ]left' >keys
        pane "${line//@/$game}"
        case ${row##*:} in
        plays) wait_for "Press SPACE to start" && tm send-keys -t game ']' ;;
        runs) within 10 "a run from the spaces fed in" running && : >go ;;
        esac
        patience=5 terminal_restored
        grep '^dunehopper:' err && fail "$line: a notice, such as of a terminal it did not find"
        case $line in
        *rest*) expect_output "$here/banner.txt"
            [ "$(cat rest)" = left ] || fail "keys from a file: the game did not stop reading at \`]\`" ;;
        *'>out'*) expect_output "$here/banner.txt" ;;
        *) wait_for '__   __.   _______ .______' 1 ;;
        esac
        tm kill-session -t game
    done ;;
hangup)  # the terminal goes away while SIGHUP is ignored: the game ends on its own,
    # also when its keys come from a pipe that stays open (which outlives the pane's shell),
    # silent or never pausing. Where SIGHUP reaches the game, as an interactive shell
    # passes it on to its jobs once the terminal has gone, the game ends at once without
    # the reveal; stopped meanwhile so that the signal comes before the game sees the
    # terminal gone, and the pane's shell ignoring it still, to tell the status.
    for row in ":0" "< <(sleep 20):0" "< <(yes):0" ":129"; do
        keys=${row%:*} status=${row##*:}
        wrap=$([ "$status" = 129 ] && echo "env --default-signal=HUP")
        play none ">out 2>/dev/null $keys" "trap '' HUP;"
        if [ "$status" = 0 ]; then
            tm kill-server
        else
            kill -STOP "$(cat pid)" && tm kill-server && within 5 "the terminal gone" server_gone &&
                kill -HUP "$(cat pid)" && kill -CONT "$(cat pid)"
        fi
        deadline=$((SECONDS + 5))
        while kill -0 "$(cat pid)" 2>/dev/null; do
            [ $SECONDS -lt $deadline ] || { kill -9 "$(cat pid)"; fail "still running after the hang-up ($row)"; }
            sleep 0.1
        done
        if [ "$status" = 0 ]; then
            cmp out "$here/banner.txt" || fail "after the hang-up ($row): not the banner alone"
        else
            [ -s out ] && fail "after the hang-up ($row): the reveal ran"
        fi
        within 5 "the pane's shell after the hang-up ($row)" test -e finished
        grep -qx "$status" status || fail "after the hang-up ($row): exit status $(cat status)"
    done ;;
signals)  # Ctrl-C, Ctrl-\, SIGTERM or SIGHUP leave the terminal as it was; after Ctrl-Z and fg the
    # game goes on; in the reveal a signal takes its usual course again
    # A slow reveal that notes the terminal's modes as the game left them (a
    # shell that resumed the game puts its own back once the game has ended).
    mkdir slow
    # It finishes once the test has had its say (go-on), or after 30 s.
    printf '#!/bin/sh\ncat >/dev/null\nstty -a </dev/tty >%s/revealing\ni=0\nuntil [ -e %s/go-on ] || [ $i = 300 ]; do sleep 0.1; i=$((i + 1)); done\necho late\n' \
        "$work" "$work" >slow/openssl
    chmod +x slow/openssl
    for row in INT:1 TERM:1 QUIT:131 HUP:129; do
        signal=${row%:*}
        play none ">out" "ulimit -c 0;"
        case $signal in
        INT) tm send-keys -t game C-c ;;
        QUIT) tm send-keys -t game 'C-\' ;;
        *) kill -$signal "$(cat pid)" ;;  # the terminal stays: only the game gets it
        esac
        wait_for DONE
        modes_restored "$signal" modes
        [ -s out ] && fail "$signal: the reveal ran after the signal"
        grep -qx "${row#*:}" status || fail "$signal: exit status $(cat status)"
        tm kill-session -t game
    done
    # Job control, as in an interactive shell, but without one that would
    # mend the terminal modes itself when the job stops. Stopped twice (not
    # in a loop: a job that stops breaks the shell out of it); a setting
    # changed while it was stopped is the one `]` goes back to.
    stop="stty -a >stopped; echo STOPPED" resume="do sleep 0.1; done; fg"
    play none "; $stop 1; stty werase ^X; until [ -e go1 ]; $resume; $stop 2; until [ -e go2 ]; $resume" \
        "set -m; export PATH=$work/slow:\$PATH;"
    for n in 1 2; do
        tm send-keys -t game C-z
        wait_for "STOPPED $n"
        modes_restored "stopped ($n)" stopped
        set_meanwhile=1  # the setting below
        touch go$n
        within 10 "the game back after fg ($n)" in_game
        wait_for "Press SPACE to start"
        wait_for "██████████████▀█████▀██▙▁"  # the whole screen, not only what moved since
    done
    tm send-keys -t game Space
    within 10 "a run after fg" running
    touch go-on
    tm send-keys -t game ']'
    terminal_restored
    grep -q 'werase = ^X;' revealing || fail "the setting made while the game was stopped was undone at \`]\`"
    # Ctrl-C during the reveal, here for the program alone, ends it as it ends any program.
    rm revealing go-on
    tm kill-session -t game
    play none ">out" "export PATH=$work/slow:\$PATH;"
    tm send-keys -t game ']'
    within 10 "the reveal under way" test -e revealing
    kill -INT "$(cat pid)"
    touch go-on  # had the interrupt been ignored, the rest of the message would come now
    wait_for DONE
    grep -q late out && fail "the reveal went on after the interrupt"
    grep -qx 130 status || fail "interrupt during the reveal: exit status $(cat status)" ;;
sizes)  # from a single cell to a wall of a screen: a key storm, then `]` leaves cleanly
    for size in 1x1 3x2 20x10 30x24 80x24 200x60 500x150; do
        cols=${size%x*} rows=${size#*x}
        # What the shell reads after the game is what the game left unread:
        # only the line feed sent after `]`, once the game has played the
        # whole backlog the ^S held up.
        pane "in_firmware none '$bin' >out 2>err; s=\$?; read -r left; echo \"\$left\" >left; (exit \$s)"
        within 10 "the game at $size" in_game
        pane_is "$size" || fail "the pane is not $size"
        storm "$cols$rows"
        tm send-keys -t game ']' C-j
        patience=60 terminal_restored
        [ -z "$(cat left)" ] || fail "$size: the game ended before the storm's end and its \`]\`"
        expect_output "$here/banner.txt"
        tm kill-session -t game
    done ;;
terminals)  # the same layout everywhere, in colour where there is colour (unknown and dumb: no-terminal)
    for term in xterm-256color screen-256color tmux-256color linux vt100; do
        pane "export TERM=$term; in_firmware none '$bin' >out"
        wait_for "Press SPACE to start"
        [ "$(line 3)" = " WelCome to Tavrel!" ] || fail "$term: greeting not at (2, 1)"
        [ "$(line 13)" = "$(printf '%30s' '')Press SPACE to start" ] || fail "$term: prompt not at (12, 30)"
        colours=$(tm capture-pane -p -e -t game | grep -c $'\e\\[[0-9;]*3[0-9]m')
        case $term in
        vt100)
            [ "$colours" = 0 ] || fail "$term: colour on a terminal without colour"
            # It cannot hide the cursor, which then rests after the prompt rather than wander.
            for look in 1 2 3 4 5; do
                cursor=$(tm display -p -t game '#{cursor_x},#{cursor_y}')
                [ "$cursor" = 50,12 ] || fail "$term: the cursor at $cursor, not after the prompt"
                sleep 0.1
            done ;;
        *) [ "$colours" -gt 0 ] || fail "$term: no colour" ;;
        esac
        tm send-keys -t game ']'
        terminal_restored
        expect_output "$here/banner.txt"
        tm kill-session -t game
    done ;;
locale)  # no UTF-8 in the environment (as in containers and bare ssh): the sprites still draw
    for environment in "unset LANG LC_ALL LC_CTYPE" "unset LC_ALL LC_CTYPE; export LANG=C" "export LC_ALL=POSIX"; do
        play none "" "$environment;"
        wait_for "██████████████▀█████▀██▙▁"
        tm send-keys -t game ']'
        terminal_restored
        tm kill-session -t game
    done ;;
resize)  # the game keeps the size it started with, and leaves nothing behind after `]`
    # Not among these: leaving while the window is larger than at the start.
    # tmux 3.3 then brings rows of a coloured alternate screen back into the
    # normal one, whichever curses program drew them.
    for sizes in "120x40 80x24" "40x12" "40x12 120x40 80x24"; do
        play none
        for size in $sizes; do
            tm resize-window -t game -x "${size%x*}" -y "${size#*x}"
            within 10 "the pane at $size" pane_is "$size"
            [ "$size" = "${sizes%% *}" ] || continue
            # A frame drawn after the resize: the first of a run. SPACE is
            # repeated because the resize itself counts as a key and defers it.
            within 10 "a run started at $size" start_run
            [ $size = 120x40 ] || continue
            # A resize makes curses repaint the whole screen: judge the screen once painted.
            within 5 "the ground on the first size's bottom row, nothing below or right of it" within_80x24
        done
        tm send-keys -t game ']'
        terminal_restored
        shows "█" && fail "the game left on the screen after $sizes"
        tm capture-pane -p -J -S - -t game | grep -q -- '__   __.   _______ .______' || fail "no banner after $sizes"
        tm kill-session -t game
    done
    # A resize while the reveal is still at work: nothing it prints is lost.
    mkdir slow
    printf '#!/bin/sh\ncat >/dev/null\n: >%s/revealing\nsleep 1.5\necho "late, and whole"\n' "$work" >slow/openssl
    chmod +x slow/openssl
    echo "late, and whole" >late.txt
    play none ">out" "export PATH=$work/slow:\$PATH;"
    tm send-keys -t game ']'
    within 10 "the reveal under way" test -e revealing
    tm resize-window -t game -x 100 -y 30
    terminal_restored
    expect_output "$here/banner.txt" late.txt ;;
platform)  # missing tools, no processes, standard output closed, full or gone: exit 0
    for tool in openssl base64; do  # their shell's complaint on stderr, nothing on stdout
        mkdir "no-$tool"
        for other in openssl base64; do
            [ $other = $tool ] || ln -s "$(command -v $other)" "no-$tool/"
        done
        no_game_run "$examples/key.efivar" env PATH="$work/no-$tool" "$bin"
        expect_output "$here/banner.txt"
        grep -q "$tool: not found" err || fail "no complaint about the missing $tool: $(cat err)"
    done
    printf 'error\n' >error.txt
    for redirect in '>&-' '>/dev/full'; do
        in_firmware "$examples/key.efivar" sh -c "exec '$bin' $redirect" </dev/null 2>err
        status=$?
        [ $status = 0 ] || fail "stdout $redirect, no game: exit status $status $(cat err)"
        play none "$redirect"
        tm send-keys -t game ']'
        terminal_restored
        tm kill-session -t game
    done
    # A reader that leaves early: a megabyte of message after it has gone.
    # The tools in the pipeline keep the SIGPIPE disposition the program was
    # started with (SIGPIPE, 13, is bit 12 of SigIgn).
    mkdir fake
    printf '#!/bin/sh\ncat >/dev/null\ngrep SigIgn /proc/$$/status >%s/sigign\nhead -c 1M /dev/zero\n' "$work" >fake/openssl
    chmod +x fake/openssl
    for disposition in default ignored; do
        [ $disposition = ignored ] && trap '' PIPE
        in_firmware "$examples/key.efivar" env PATH="$work/fake:$PATH" "$bin" </dev/null 2>err | head -c 10 >out
        status=${PIPESTATUS[0]}
        trap - PIPE
        [ "$status" = 0 ] || fail "closed pipe, SIGPIPE $disposition: exit status $status $(cat err)"
        head -c 10 "$here/banner.txt" | cmp - out || fail "closed pipe: not the banner's start"
        ignored=$(( (0x$(cut -f2 sigign) >> 12) & 1 ))
        [ $ignored = $([ $disposition = ignored ] && echo 1 || echo 0) ] || fail "SIGPIPE $disposition, in the pipeline: $(cat sigign)"
    done
    # No processes left for popen: a user without privileges at its process limit.
    need_player "run as a user at its process limit" "the rest passed"
    # The sanitizer's leak check needs a thread at exit, which the limit forbids too.
    no_game_run "$examples/key.efivar" prlimit --nproc=1 env ASAN_OPTIONS=detect_leaks=0 "${player[@]}" "$pbin"
    expect_output "$here/banner.txt" error.txt ;;
valgrind)  # one whole game under memcheck: no errors, nothing definitely lost
    command -v valgrind >/dev/null || skip "valgrind is not installed"
    # ncurses keeps memory reachable to the end by design; only real leaks count.
    wrap="valgrind --log-file=$work/memcheck --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite"
    wrap+=" --suppressions=$here/memcheck.supp"  # one leak of ncurses' own, explained there
    patience=60 play none
    tm send-keys -t game Space
    within 30 "a run" running
    tm send-keys -t game ']'
    patience=60 terminal_restored
    grep -q 'ERROR SUMMARY: 0 errors' memcheck || fail "memcheck: $(cat memcheck)"
    grep -E 'definitely lost|still reachable|ERROR SUMMARY|total heap usage' memcheck | cut -d' ' -f2-
    shows '__   __.   _______ .______' || fail "no banner" ;;
*) fail "no such case" ;;
esac
echo "PASS [$case_name]"
