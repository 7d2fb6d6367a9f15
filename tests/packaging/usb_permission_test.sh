#!/usr/bin/env bash
# A module on USB that the user may not open (no udev rule): the console shows
# what it shows for no module, and the debug log says why and names the udev
# rule to install. The module is simulated on the emulated USB bus; its device
# node is made inaccessible, and updater runs without the capabilities that
# let root open it anyway.
#
# usb_permission_test.sh MODULESIM UPDATER   (exit 77: cannot run here)
set -euo pipefail
modulesim=$1 updater=$2

command -v setpriv >/dev/null || { echo "setpriv missing"; exit 77; }
work=$(mktemp -d "${TMPDIR:-/tmp}/qw-usb-permission.XXXXXX")
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0

run() { # $1: node mode
  timeout 60 "$modulesim" --usb 40F5849A -- sh -c \
    'chmod '"$1"' "$UMOCKDEV_DIR"/dev/bus/usb/*/* &&
     exec setpriv --bounding-set=-dac_override,-dac_read_search "$0" -X 1 -D -i "$1"' \
    "$updater" "$work/store" >"$work/out" 2>"$work/err" || true
}

run 0666
grep -q "40F5849A" "$work/out" || { echo "FAIL: the accessible module was not discovered: $(cat "$work/out" "$work/err")"; exit 1; }
if grep -q "permission denied" "$work/err"; then
  echo "FAIL: permission reported for an accessible module: $(cat "$work/err")"
  exit 1
fi

run 0
failures=0
grep -q "No devices found." "$work/out" || { echo "FAIL: console: $(cat "$work/out")"; failures=1; }
if ! grep -q "^USB: permission denied opening the module on bus [0-9]\{3\} device [0-9]\{3\}\. Install the udev rule 70-quillwork.rules" "$work/err"; then
  echo "FAIL: debug log: $(cat "$work/err")"
  failures=1
fi
if grep -q "permission" "$work/out"; then
  echo "FAIL: the console mentions the permission: $(cat "$work/out")"
  failures=1
fi
exit $failures
