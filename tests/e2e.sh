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
keypath=/sys/firmware/efi/efivars/Tavrel-6295c686-85e2-49db-8650-6f38a25fa7a3
work=$(mktemp -d)
sock=dunehopper-e2e-$$
trap 'tmux -L "$sock" kill-server 2>/dev/null; rm -rf "$work"' EXIT
cd "$work" || exit 1

fail() { echo "FAIL [$case_name]: $*" >&2; exit 1; }
skip() { echo "SKIPPED [$case_name]: $*"; exit 77; }

# in_firmware KEY CMD...: CMD sees KEY at the variable path ("none": nothing
# there, "dir": a directory, otherwise a file to copy).
unshare_cmd=(unshare --mount)
[ "$(id -u)" = 0 ] || unshare_cmd=(unshare --user --map-root-user --mount)
in_firmware() {
    "${unshare_cmd[@]}" sh -c '
        mount -t tmpfs firmware /sys/firmware && mkdir -p /sys/firmware/efi/efivars || exit 97
        case $1 in none) ;; dir) mkdir "$0" ;; *) cp "$1" "$0" ;; esac
        shift; exec "$@"' "$keypath" "$@"
}
in_firmware none true 2>/dev/null || skip "cannot make a private mount namespace (${unshare_cmd[*]})"

# tmux on its own socket; poll the screen until a pattern shows or 10 s pass.
tm() { tmux -L "$sock" -f /dev/null "$@"; }
need_tmux() { command -v tmux >/dev/null || skip "tmux is not installed"; }
screen() { tm capture-pane -p -J -t game; }
wait_for() {  # the matching screen stays in ./shown
    local deadline=$((SECONDS + 10))
    until screen >shown 2>/dev/null && grep -q -- "$1" shown; do
        [ $SECONDS -lt $deadline ] || { cat shown; fail "timed out waiting for: $1"; }
        sleep 0.1
    done
}
# pane LINE: runs LINE (bash, with in_firmware at hand) in an 80x24 pane,
# then records its exit status and the terminal's modes.
pane() {
    need_tmux
    { declare -p unshare_cmd keypath; declare -f in_firmware
      printf 'export LANG=C.UTF-8\n%s\necho $? >status; stty -a >modes && echo DONE && exec sleep 60\n' "$1"
    } >pane.sh
    # A session that outlives "game": killing the last session makes the
    # server exit while the next new-session may already be talking to it.
    tm has-session -t keep 2>/dev/null || tm new-session -d -s keep 'sleep 600'
    tm new-session -d -s game -x 80 -y 24 "bash $work/pane.sh"
}
# play KEY [REDIRECTS] [BEFORE]: the game, its pid in ./pid, until the prompt shows.
play() {
    printf '#!/bin/sh\necho $$ >%s/pid\nexec "%s"\n' "$work" "$bin" >launch && chmod +x launch
    pane "${3:-} in_firmware $1 $work/launch ${2:-}"
    wait_for "Press SPACE to start"
}
terminal_restored() {
    wait_for DONE
    grep -qx 0 status || fail "exit status: $(cat status)"
    grep -qw -- '-echo' modes && fail "echo left off"
    grep -qw -- '-icanon' modes && fail "canonical input left off"
    [ "$(tm display -p -t game '#{alternate_on}#{cursor_flag}')" = 01 ] || fail "screen or cursor not restored"
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
    tm send-keys -t game Space
    wait_for 'Score: 0000 x 0000000[1-9]'  # early in the run: the bush is still far
    grep -q 'Press SPACE' shown && fail "the prompt stays during a run"
    tm send-keys -t game ']'
    terminal_restored
    screen | grep -q -- '__   __.   _______ .______' || fail "no banner after the game" ;;
reveal)  # the sample key: no game, banner and message byte for byte
    no_game_run "$examples/key.efivar" "$bin"
    expect_output "$here/banner.txt" "$examples/message.txt"
    [ -s err ] && fail "stderr: $(cat err)" ;;
other-keys)  # a wrong, empty or unreadable-as-file key: still no game, banner first, exit 0
    head -c 20 /dev/urandom >wrong; : >empty
    for key in wrong empty dir; do
        no_game_run "$key" "$bin"
        head -c 1113 out | cmp - "$here/banner.txt" || fail "$key: banner is not the first output"
        grep -qx 0 status || fail "$key: exit status $(cat status)"
        grep -q 'skipping the game' err && fail "$key: the game was tried"
    done ;;
pipe-error)  # no descriptors left for the pipe: "error" after the banner
    printf 'error\n' >error.txt
    cat >fewfds <<'EOF'
for fd in $(ls /proc/$$/fd); do [ "$fd" -gt 2 ] && eval "exec $fd>&-"; done 2>/dev/null
ulimit -n 4  # room for the key file, none for the pipe
exec "$@"
EOF
    no_game_run "$examples/key.efivar" bash fewfds "$bin"
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
    grep -q 'skipping the game' err || fail "no notice without a terminal"
    expect_output "$here/banner.txt"
    need_tmux
    for term in unset no-such-terminal; do
        [ "$term" = unset ] && env=(env -u TERM) || env=(env TERM=$term)
        pane "in_firmware none ${env[*]} '$bin' 2>err"
        wait_for DONE
        grep -q 'skipping the game' err || fail "TERM $term: no notice"
        grep -qx 0 status || fail "TERM $term: exit status $(cat status)"
        grep -q -- '__   __.   _______ .______' shown || fail "TERM $term: no banner"
        tm kill-session -t game
    done ;;
redirected)  # the game plays on the terminal; a file given stdout gets only the banner
    for redirect in '>out' '>out </dev/null' '</dev/null'; do
        play none "$redirect"
        tm send-keys -t game ']'
        terminal_restored
        [ "$redirect" = '</dev/null' ] || expect_output "$here/banner.txt"
        tm kill-session -t game
    done ;;
hangup)  # the terminal goes away while SIGHUP is ignored: the game ends on its own
    play none ">out 2>/dev/null" "trap '' HUP;"
    tm kill-server
    deadline=$((SECONDS + 5))
    until [ -s status ]; do
        [ $SECONDS -lt $deadline ] || { kill -9 "$(cat pid)"; fail "still running after the hang-up"; }
        sleep 0.1
    done
    expect_output "$here/banner.txt" ;;
signals)  # Ctrl-C or SIGTERM in the game leave the terminal as it was
    for signal in INT TERM; do
        play none
        [ $signal = INT ] && tm send-keys -t game C-c || kill -TERM "$(cat pid)"
        wait_for DONE
        grep -qw -- '-echo' modes && fail "$signal: echo left off"
        [ "$(tm display -p -t game '#{alternate_on}#{cursor_flag}')" = 01 ] || fail "$signal: screen not restored"
        tm kill-session -t game
    done ;;
*) fail "no such case" ;;
esac
echo "PASS [$case_name]"
