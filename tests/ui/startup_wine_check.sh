#!/usr/bin/env bash
# Runs the start-up check in a Wine prefix of its own, made on this X display: a shared
# prefix whose wine server was started without a display cannot create the window.
set -u
work=$(mktemp -d /tmp/klv-startup-check.XXXXXX)
export WINEPREFIX=$work/prefix WINEDEBUG=-all
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
wineboot -i >/dev/null 2>&1 || { echo "wineboot failed"; exit 1; }
"$(dirname "$0")/../../cmake/wine-run.sh" "$1"
