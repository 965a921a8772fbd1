#!/usr/bin/env bash
# The main job: the real Windows updater, under Wine, updates the simulated instrument.
#
#   bash scripts/demo.sh [SCREENSHOT_DIR]
#
# Installs what is missing, builds the native tools (linux preset) and the Windows
# program (windows preset), starts klvsim on a pseudo-terminal with the demo package,
# links Wine's COM5 to it and lists it in Wine's registry as the instrument's USB serial
# device, then runs FWUpdate_KLV_R20P.exe.
#
# With a display (DISPLAY set) the window opens there and you click YES yourself; the
# demo ends when you close the program. Without one it runs on a virtual X display
# inside a Wine desktop, answers YES itself and saves a picture of every screen it
# passed in SCREENSHOT_DIR (default ./screenshots). Either way it ends with klvsim's
# verdict on what it received; the exit status is klvsim's (0: both images arrived
# intact and no rule of the protocol was broken).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
shots=$(realpath -m "${1:-screenshots}")
title="KLV-Series FW Updater"

bash scripts/setup.sh
echo "demo: building the native tools and the Windows program"
cmake --preset linux >/dev/null
cmake --build --preset linux --target klvsim klvpkg -j "$(nproc)" >/dev/null
cmake --preset windows >/dev/null
cmake --build --preset windows --target FWUpdate_KLV_R20P klvdrive -j "$(nproc)" >/dev/null

klvsim=$root/build/linux/bin/klvsim
exe=$root/build/windows/bin/FWUpdate_KLV_R20P.exe
drive_exe=$root/build/windows/bin/klvdrive.exe
package=$root/build/windows/res/demo/demo.klvpkg

work=$(mktemp -d /tmp/klv-demo.XXXXXX)
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
sim_pid=
app_pid=
xvfb_pid=
cleanup() {
    local status=$?
    [[ -n "$sim_pid" ]] && kill "$sim_pid" 2>/dev/null
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    [[ -n "$xvfb_pid" ]] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
    rm -rf "$work"
    exit "$status"
}
trap cleanup EXIT INT TERM

headless=0
if [[ -z "${DISPLAY:-}" ]]; then
    headless=1
    for n in 70 71 72 73 74 75 76 77 78 79; do
        [[ -e /tmp/.X$n-lock ]] && continue
        Xvfb ":$n" -nolisten tcp -screen 0 800x600x24 >"$work/xvfb.log" 2>&1 &
        xvfb_pid=$!
        # The display is ours once its lock names our server.
        for _ in $(seq 50); do
            [[ "$(cat /tmp/.X$n-lock 2>/dev/null | tr -d ' ')" == "$xvfb_pid" ]] && break
            sleep 0.1
        done
        if kill -0 "$xvfb_pid" 2>/dev/null && [[ "$(cat /tmp/.X$n-lock 2>/dev/null | tr -d ' ')" == "$xvfb_pid" ]]; then
            export DISPLAY=:$n
            break
        fi
        xvfb_pid=
    done
    [[ -n "${DISPLAY:-}" ]] || { echo "demo: no free X display"; exit 1; }
    echo "demo: no display; running on the virtual display $DISPLAY"
fi

echo "demo: making a Wine prefix"
wineboot -i >/dev/null 2>&1

drive() { wine "$drive_exe" "$@" 2>/dev/null | tr -d '\r'; }

# The picture of the Wine desktop, cut down to the window (the desktop around it is
# one plain colour).
shot() {
    sleep 0.5
    mkdir -p "$shots"
    import -display "$DISPLAY" -window root "$work/full.png"
    convert "$work/full.png" -trim +repage -strip "PNG8:$shots/$1.png"
    echo "demo: screenshot $shots/$1.png"
}

wait_message() {
    drive wait-text 1002 "$1" "$2" >/dev/null || { echo "demo: the window did not show $1"; exit 1; }
}

if ((headless)); then
    # Every program of the prefix, the driver too, runs inside one Wine desktop, which
    # draws the window's frame and caption.
    cat >"$work/desktop.reg" <<'EOF'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]
"Default"="800x600"
EOF
    wine reg import "$work/desktop.reg" >/dev/null 2>&1
    # The desktop is chosen when Wine's session starts.
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
fi
echo "demo: starting FWUpdate_KLV_R20P.exe"
wine "$exe" >"$work/trace.txt" 2>/dev/null &
app_pid=$!
drive wait-window "$title" 60000 >/dev/null || { echo "demo: the window did not open"; exit 1; }
wait_message '\r\nWAITING...' 10000
((headless)) && shot 1-waiting

echo "demo: plugging in the simulated instrument (klvsim on COM5, USB 0ABC:1234)"
"$klvsim" --package "$package" --link "$WINEPREFIX/dosdevices/com5" --timeout 600 \
    >"$work/klvsim.out" 2>"$work/klvsim.err" &
sim_pid=$!
for _ in $(seq 50); do
    [[ -L "$WINEPREFIX/dosdevices/com5" ]] && break
    sleep 0.1
done
key='HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\USB\VID_0ABC&PID_1234\KLVSIM0'
cat >"$work/device.reg" <<EOF
REGEDIT4

[$key]
"ClassGUID"="{4D36E978-E325-11CE-BFC1-08002BE10318}"
"DeviceDesc"="Simulated instrument"
"FriendlyName"="Simulated instrument (COM5)"

[$key\\Device Parameters]
"PortName"="COM5"
EOF
wine reg import "$work/device.reg" >/dev/null 2>&1
# Wine does not announce devices; the system would send this notification.
drive devicechange >/dev/null

if ((headless)); then
    wait_message 'PROGRAM UPDATE' 30000
    shot 2-question
    echo "demo: answering YES"
    drive click 1000 >/dev/null
    wait_message '\r\nNOW LOADING' 10000
    shot 3-loading
    wait_message 'Please disconnect the\r\ncable after the LED\r\nflashing ends.' 120000
    shot 4-done
    drive click 1004 >/dev/null
else
    echo "demo: the updater's window is open: click YES, then OK at the end"
fi
wait "$app_pid" || true
app_pid=

# klvsim ends by itself once the finish command has been acknowledged.
if kill -0 "$sim_pid" 2>/dev/null; then
    kill "$sim_pid" 2>/dev/null || true
fi
sim_status=0
wait "$sim_pid" || sim_status=$?
sim_pid=
echo "demo: the program traced $(grep -c '^Send' "$work/trace.txt") writes and $(grep -c '^Recv' "$work/trace.txt") reads"
echo "demo: what the simulated instrument received:"
tail -n +2 "$work/klvsim.out" | sed 's/^/  /'
exit "$sim_status"
