#!/usr/bin/env bash
# Smoke test of FWUpdate_KLV_R20P.exe under Wine on a virtual X display: the window
# comes up with its title and the waiting text, another program's WM_APP+1 changes
# nothing, a second copy ends at once and brings the first to the front, and the Close
# command ends the program.
#
#   smoke_test.sh FWUpdate_KLV_R20P.exe klvdrive.exe
#
# Uses WINEPREFIX when it is exported, otherwise makes a throw-away one. Everything it
# starts is stopped on every path.
set -euo pipefail

exe=$1
drive=$2
display=:91
title="KLV-Series FW Updater"

work=$(mktemp -d)
xvfb_pid=
first_pid=
own_prefix=0
if [[ -z "${WINEPREFIX:-}" ]]; then
    export WINEPREFIX=$work/wp
    own_prefix=1
fi
export WINEDEBUG=-all DISPLAY=$display

cleanup() {
    local status=$?
    if [[ -n "$first_pid" ]] && kill -0 "$first_pid" 2>/dev/null; then
        kill "$first_pid" 2>/dev/null || true
    fi
    if (( own_prefix )); then
        wineserver -k 2>/dev/null || true
        wineserver -w 2>/dev/null || true
    fi
    if [[ -n "$xvfb_pid" ]]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
    exit $status
}
trap cleanup EXIT INT TERM

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

drive() { wine "$drive" "$@"; }

Xvfb $display -nolisten tcp -screen 0 800x600x24 >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 50); do
    [[ -e /tmp/.X11-unix/X${display#:} ]] && break
    sleep 0.1
done
kill -0 "$xvfb_pid" 2>/dev/null || fail "Xvfb did not start: $(cat "$work/xvfb.log")"

if (( own_prefix )); then
    wineboot -i >/dev/null 2>&1 || fail "wineboot"
fi

wine "$exe" >"$work/first.out" 2>&1 &
first_pid=$!
drive wait-window "$title" 30000 || fail "no window titled \"$title\""

[[ "$(drive text 1002 | tr -d '\r')" == '\r\nWAITING...' ]] || fail "message: $(drive text 1002)"
[[ "$(drive visible 1003 | tr -d '\r')" == 0 ]] || fail "version line visible"
for id in 1000 2 1004; do
    [[ "$(drive visible $id | tr -d '\r')" == 0 ]] || fail "button $id visible on the waiting screen"
done
state=$(drive closestate | tr -d '\r') || true
case "$state" in
    enabled) ;;
    unavailable) echo "note: the Close command's state cannot be read from another process here" ;;
    *) fail "Close command not enabled: $state" ;;
esac

# Another program's WM_APP+1 with made-up parameters, posted and sent: the program
# carries on unchanged (the message carries no work of its own to run).
drive app-message || fail "app-message"
sleep 0.5
kill -0 "$first_pid" 2>/dev/null || fail "a foreign WM_APP+1 ended the program"
drive send-devicechange || fail "the window no longer handles messages after a foreign WM_APP+1"
drive wait-window "$title" 1000 || fail "a foreign WM_APP+1 closed the window"
[[ "$(drive text 1002 | tr -d '\r')" == '\r\nWAITING...' ]] || fail "message after WM_APP+1: $(drive text 1002)"
for id in 1003 1000 2 1004; do
    [[ "$(drive visible $id | tr -d '\r')" == 0 ]] || fail "control $id shown after WM_APP+1"
done

# A second copy: ends at once, with the first one's window in front. Another window
# takes the front first, so that the second copy has something to change.
drive hold-foreground 60000 >"$work/hold.out" &
hold_pid=$!
for _ in $(seq 100); do
    [[ -s "$work/hold.out" ]] && break
    sleep 0.1
done
[[ "$(drive foreground | tr -d '\r')" == 0 ]] || fail "the updater was in front before the second copy"
timeout 30 wine "$exe" >"$work/second.out" 2>&1 || fail "second copy did not end by itself"
# Checked while the other window still exists: once it is gone the system may bring
# the updater forward by itself.
forward=0
for _ in $(seq 50); do
    [[ "$(drive foreground | tr -d '\r')" == 1 ]] && { forward=1; break; }
    sleep 0.1
done
kill "$hold_pid" 2>/dev/null || true
wait "$hold_pid" 2>/dev/null || true
(( forward )) || fail "second copy did not bring the first forward"
kill -0 "$first_pid" 2>/dev/null || fail "first copy ended"
[[ "$(drive text 1002 | tr -d '\r')" == '\r\nWAITING...' ]] || fail "first copy changed its screen"

# Enter does nothing; the Close command ends the program.
drive key enter
drive devicechange
drive send-devicechange || fail "a sent WM_DEVICECHANGE was not handled"
sleep 0.5
drive wait-window "$title" 1000 || fail "Enter or a device change closed the window"
drive close
drive wait-gone "$title" 20000 || fail "Close command did not end the program"
for _ in $(seq 100); do
    kill -0 "$first_pid" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$first_pid" 2>/dev/null && fail "process still running after its window closed"
wait "$first_pid" || fail "exit status $?"
first_pid=

echo "smoke test passed"
