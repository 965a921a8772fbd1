#!/usr/bin/env bash
# Writes USB serial devices into Wine's registry, checks what the SetupDi enumerator lists
# (present, port names of 254 and 255 characters, absent after deletion) and removes them;
# then checks that the device-change watch sees a device appear.
# Uses $WINEPREFIX when the caller made one (and then removes only its own keys);
# otherwise makes a throw-away prefix and deletes it.
set -u
probe=$1
export WINEDEBUG=-all

own_prefix=""
if [ -z "${WINEPREFIX:-}" ]; then
  own_prefix=$(mktemp -d /tmp/klv-disc-wine.XXXXXX)
  export WINEPREFIX=$own_prefix/prefix
fi
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  wineboot -i >/dev/null 2>&1
fi

# Serial numbers unique to this run, so that a shared prefix keeps other devices.
tag="KLVT$$"
base='HKLM\System\CurrentControlSet\Enum\USB'
keys=("$base\\VID_0ABC&PID_1234\\${tag}A" "$base\\VID_0ABC&PID_1234\\${tag}B"
      "$base\\VID_0ABC&PID_1234\\${tag}C" "$base\\VID_0ABC&PID_1234\\${tag}D")
long254=$(printf 'L%.0s' $(seq 254))
long255=$(printf 'L%.0s' $(seq 255))

remove_keys() {
  for k in "${keys[@]}"; do
    wine reg delete "$k" /f >/dev/null 2>&1
  done
}
cleanup() {
  remove_keys
  if [ -n "$own_prefix" ]; then
    wineserver -k >/dev/null 2>&1
    rm -rf "$own_prefix"
  fi
}
trap cleanup EXIT

add_device() {  # key port-name
  local k=$1
  wine reg add "$k" /v ClassGUID /t REG_SZ /d '{4D36E978-E325-11CE-BFC1-08002BE10318}' /f >/dev/null &&
  wine reg add "$k" /v DeviceDesc /t REG_SZ /d 'Simulated instrument' /f >/dev/null &&
  wine reg add "$k" /v FriendlyName /t REG_SZ /d "Simulated instrument ($2)" /f >/dev/null &&
  wine reg add "$k\\Device Parameters" /v PortName /t REG_SZ /d "$2" /f >/dev/null
}

failures=0
expect_line() {  # what, instanceId|portName|description|friendlyName
  # Wine keeps no enumerator name for these devices, so the last field is not compared.
  if ! cut -d'|' -f1-4 <<<"$listing" | grep -qxF -- "$2"; then
    echo "FAIL: $1"
    echo "  wanted: $2"
    failures=$((failures + 1))
  fi
}
expect_no_tag() {
  if grep -q "$tag" <<<"$listing"; then
    echo "FAIL: $1"
    grep "$tag" <<<"$listing" | sed 's/^/  listed: /'
    failures=$((failures + 1))
  fi
}
run_probe() {
  listing=$(wine "$probe" | tr -d '\r')
}

add_device "${keys[0]}" COM7 || { echo "FAIL: could not write the registry"; exit 1; }
add_device "${keys[1]}" "$long254" || exit 1
add_device "${keys[2]}" "$long255" || exit 1
run_probe
expect_line "a present device is listed with its values" \
  "USB\\VID_0ABC&PID_1234\\${tag}A|COM7|Simulated instrument|Simulated instrument (COM7)"
expect_line "a port name of 254 characters is stored" \
  "USB\\VID_0ABC&PID_1234\\${tag}B|$long254|Simulated instrument|"
expect_line "a port name of 255 characters leaves the field empty" \
  "USB\\VID_0ABC&PID_1234\\${tag}C||Simulated instrument|"

remove_keys
run_probe
expect_no_tag "deleted devices are no longer listed"

# The device-change watch needs a window, which Wine gives a program only on an X display:
# klvflash's discovery cases under Wine (tests/klvflash) test it there.

[ "$failures" -eq 0 ] && echo "all registry checks passed"
exit "$failures"
