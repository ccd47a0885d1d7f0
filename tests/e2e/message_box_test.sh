#!/usr/bin/env bash
# The failure message box of the real VeltoMarnLauncher.exe, on a private X display (Xvfb).
#
# Usage: message_box_test.sh <path of VeltoMarnLauncher.exe>
# Needs: wine, Xvfb, xdotool; WINEPREFIX (and WINEDEBUG=-all) as the Wine tests get them.
#
# 1. Normal mode (no argument): the box titled "VELTO MARN Launcher" appears; at that moment its
#    failure line is already complete on standard error and the bootstrap is still running; once
#    the box is dismissed with Return the bootstrap exits with 1 and has written nothing more.
# 2. "--verify-only" on the same display: it exits with 1 and its failure line, and no box with
#    that title is seen at any poll while it runs.
#
# Prints PASS or FAIL with the reason; exits 0 only on success. Leaves no Xvfb, no bootstrap and
# no temporary files behind.
set -uo pipefail
export LC_ALL=C

readonly kTitle="VELTO MARN Launcher"
readonly kTitlePattern="^VELTO MARN Launcher\$"
readonly kLinePattern=$'^SECURITY_CHECK_FAILED: [A-Z_]+\n$'
readonly kBoxSeconds=60    # the first Wine start on a display can be slow
readonly kExitSeconds=30
readonly kPollSeconds=0.2

source_exe=${1:-}
work=""
xvfb_pid=""
run_pid=""
run_status=""
err_at_box=""
err_at_end=""
verify_err=""

display=""
prefix_path=""

# The Wine desktop processes ("explorer.exe /desktop") of this prefix; with an argument, only
# those on that X display. A wineserver session has one desktop, bound to the display (or to no
# display) of the program that made it, and it outlives that program by a few seconds.
desktop_pids() {
    local pid environment prefix
    for pid in $(pgrep -u "$(id -u)" -f 'explorer\.exe /desktop'); do
        environment=$(tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null) || continue
        prefix=$(sed -n 's/^WINEPREFIX=//p' <<<"$environment")
        if [ -z "$prefix" ] || [ "$(realpath -m -- "$prefix")" != "$prefix_path" ]; then continue; fi
        if [ $# -gt 0 ] && ! grep -qx "DISPLAY=$1" <<<"$environment"; then continue; fi
        echo "$pid"
    done
}

# shellcheck disable=SC2317  # called by the EXIT trap
cleanup() {
    local deadline pid
    if [ -n "$run_pid" ]; then
        kill -KILL "$run_pid" 2>/dev/null
        wait "$run_pid" 2>/dev/null
    fi
    if [ -n "$xvfb_pid" ]; then
        kill -TERM "$xvfb_pid" 2>/dev/null
        wait "$xvfb_pid" 2>/dev/null
    fi
    # The desktop that our run made on our display ends when the display goes; make sure of it.
    if [ -n "$display" ]; then
        deadline=$((SECONDS + 10))
        while [ -n "$(desktop_pids "$display")" ] && [ "$SECONDS" -lt "$deadline" ]; do
            sleep "$kPollSeconds"
        done
        for pid in $(desktop_pids "$display"); do kill -KILL "$pid" 2>/dev/null; done
    fi
    if [ -n "$work" ]; then rm -rf -- "$work"; fi
}
trap cleanup EXIT
trap 'echo "FAIL: interrupted"; exit 1' INT TERM HUP

fail() {
    echo "FAIL: $*"
    exit 1
}

# True while the process exists and is not a zombie.
running() {
    local state
    state=$(ps -o stat= -p "$1" 2>/dev/null) || return 1
    [ -n "$state" ] && [ "${state:0:1}" != "Z" ]
}

# read_file <variable> <file>: the whole content of the file, trailing line feeds included.
read_file() {
    local -n into=$1
    into=$(cat -- "$2" 2>/dev/null; printf x)
    into=${into%x}
}

# The content of a file, quoted with its control characters visible.
shown() {
    local text
    read_file text "$1"
    printf '%q' "$text"
}

boxes() {
    xdotool search --name "$kTitlePattern" 2>/dev/null
}

# Waits for the background run to end and stores its exit code in run_status.
finish_run() {
    local deadline=$((SECONDS + kExitSeconds))
    while running "$run_pid"; do
        if [ "$SECONDS" -ge "$deadline" ]; then fail "$1: still running ${kExitSeconds} s later"; fi
        sleep "$kPollSeconds"
    done
    wait "$run_pid"
    run_status=$?
    run_pid=""
}

# --- Set-up ----------------------------------------------------------------------------------

[ -n "$source_exe" ] || fail "usage: $0 <path of VeltoMarnLauncher.exe>"
[ -f "$source_exe" ] || fail "no executable at $source_exe"
[ -n "${WINEPREFIX:-}" ] || fail "WINEPREFIX is not set"
prefix_path=$(realpath -m -- "$WINEPREFIX")
for tool in wine Xvfb xdotool ps pgrep realpath; do
    command -v "$tool" >/dev/null || fail "$tool is not installed"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/veltomarn-message-box.XXXXXX") || fail "no temporary directory"
exe="$work/VeltoMarnLauncher.exe"
cp -- "$source_exe" "$exe" || fail "cannot copy $source_exe"

for number in 91 92 93 94 95 96 97 98 99; do
    if [ -e "/tmp/.X${number}-lock" ] || [ -e "/tmp/.X11-unix/X${number}" ]; then continue; fi
    Xvfb ":$number" -nolisten tcp -screen 0 1024x768x24 >"$work/xvfb.log" 2>&1 &
    xvfb_pid=$!
    deadline=$((SECONDS + 15))
    while running "$xvfb_pid" && [ "$SECONDS" -lt "$deadline" ]; do
        if DISPLAY=":$number" xdotool getdisplaygeometry >/dev/null 2>&1; then
            display=":$number"
            break 2
        fi
        sleep "$kPollSeconds"
    done
    # Taken by someone else in the meantime, or not answering: try the next number.
    kill -TERM "$xvfb_pid" 2>/dev/null
    wait "$xvfb_pid" 2>/dev/null
    xvfb_pid=""
done
[ -n "$display" ] || fail "no Xvfb could be started on :91 to :99"
export DISPLAY="$display"
echo "Xvfb on $DISPLAY"

# --- 1. Normal mode: line first, then the box; exit 1 after the box is dismissed --------------

[ -z "$(boxes)" ] || fail "a window titled \"$kTitle\" exists before the bootstrap was started"

# A desktop left by an earlier program without a display would take our run too, and its box
# would fail at once: wait until it has ended.
deadline=$((SECONDS + kExitSeconds))
while [ -n "$(desktop_pids)" ]; do
    [ "$SECONDS" -lt "$deadline" ] ||
        fail "a Wine desktop of this prefix is still running after ${kExitSeconds} s: $(desktop_pids)"
    sleep "$kPollSeconds"
done

started=$SECONDS
wine "$exe" </dev/null >"$work/normal.out" 2>"$work/normal.err" &
run_pid=$!

ids=""
deadline=$((SECONDS + kBoxSeconds))
while [ -z "$ids" ]; do
    ids=$(boxes)
    [ -n "$ids" ] && break
    if ! running "$run_pid"; then
        wait "$run_pid"
        status=$?
        run_pid=""
        fail "normal mode ended (exit code $status) without showing the box; stderr $(shown "$work/normal.err")"
    fi
    [ "$SECONDS" -lt "$deadline" ] || fail "no window titled \"$kTitle\" within ${kBoxSeconds} s"
    sleep "$kPollSeconds"
done
# Taken while the box is up, before anything else happens.
read_file err_at_box "$work/normal.err"
running "$run_pid" || fail "the box is shown but the bootstrap is no longer running"
echo "box up after $((SECONDS - started)) s: window ${ids//$'\n'/ }"

[[ $err_at_box =~ $kLinePattern ]] ||
    fail "when the box appeared, stderr held $(printf '%q' "$err_at_box"), not one failure line"

for id in $ids; do xdotool key --window "$id" Return 2>/dev/null; done
deadline=$((SECONDS + 10))
while running "$run_pid" && [ "$SECONDS" -lt "$deadline" ]; do sleep "$kPollSeconds"; done
if running "$run_pid"; then
    # Events sent to one window were not taken: focus the box and type on the keyboard instead.
    echo "the box did not take Return sent to its window; focusing it and typing Return"
    for id in $(boxes); do
        xdotool windowfocus --sync "$id" 2>/dev/null
        xdotool key Return 2>/dev/null
    done
fi
finish_run "normal mode after the box was dismissed"

[ "$run_status" -eq 1 ] || fail "normal mode exited with $run_status, not 1"
read_file err_at_end "$work/normal.err"
[ "$err_at_end" == "$err_at_box" ] ||
    fail "stderr changed after the box: $(shown "$work/normal.err")"
[ ! -s "$work/normal.out" ] || fail "normal mode wrote to stdout: $(shown "$work/normal.out")"
[ -z "$(boxes)" ] || fail "a window titled \"$kTitle\" is still there after the bootstrap ended"
echo "normal mode: line $(printf '%q' "$err_at_box") before the box, exit code 1 after it"

# --- 2. --verify-only on the same display: never a box -----------------------------------------

# A box would hold the run until dismissed, so it would be seen by a poll however short the run.
wine "$exe" --verify-only </dev/null >"$work/verify.out" 2>"$work/verify.err" &
run_pid=$!
polls=0
deadline=$((SECONDS + kExitSeconds))
while running "$run_pid"; do
    [ -z "$(boxes)" ] || fail "--verify-only showed a window titled \"$kTitle\""
    polls=$((polls + 1))
    [ "$SECONDS" -lt "$deadline" ] || fail "--verify-only still running ${kExitSeconds} s later"
    sleep "$kPollSeconds"
done
finish_run "--verify-only"

[ "$run_status" -eq 1 ] || fail "--verify-only exited with $run_status, not 1"
read_file verify_err "$work/verify.err"
[[ $verify_err =~ $kLinePattern ]] ||
    fail "--verify-only stderr is $(printf '%q' "$verify_err"), not one failure line"
[ ! -s "$work/verify.out" ] || fail "--verify-only wrote to stdout: $(shown "$work/verify.out")"
echo "--verify-only: line $(printf '%q' "$verify_err"), exit code 1, no box in $polls polls"

echo "PASS: the box follows the failure line in the normal mode and never shows with --verify-only"
exit 0
