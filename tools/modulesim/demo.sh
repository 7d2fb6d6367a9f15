#!/usr/bin/env bash
# The simulated part of the main job: simulated modules and the reference
# update server, and the updater discovering the modules.
#   tools/modulesim/demo.sh BUILD_DIR WORK_DIR
# TCP/IP discovery uses UDP multicast, so that part runs inside a private
# network namespace (modulesim --netns, as root); nothing leaves the machine.
set -uo pipefail
build=${1:?build directory}
work=${2:?work directory}
sim=$build/tools/modulesim/modulesim
server=$build/tools/update-server/qw-update-server
updater=$build/src/updater
mkdir -p "$work/content/devices" "$work/store"

echo "== modulesim: modules 40F5849A and 0A0B0C0D on TCP/IP, 0A0B0C0D routing 11111111 and 22222222 on its I2C network"
echo "== with the reference update server; updater -D -t TCPIP (in a private network namespace)"
timeout 120 "$sim" --netns \
  --tcp 40F5849A,model=1,name=Demo-Hub,version=2.15.0,build=1200 \
  --tcp 0A0B0C0D,model=3,name=Demo-Router,version=2.16.1,build=1301,members=11111111:22222222 \
  -- bash -c '
    server=$1 content=$2 updater=$3 store=$4
    # The updater sends its discovery request through non-loopback interfaces:
    # give the namespace one.
    ip link add simbr0 type bridge && ip addr add 10.98.0.1/24 brd + dev simbr0 && ip link set simbr0 up
    "$server" -d "$content" -p 0 > "$store/server.out" 2>&1 &
    pid=$!
    for i in $(seq 50); do grep -q "^listening on" "$store/server.out" && break; sleep 0.1; done
    url=$(sed -n "s/^listening on //p" "$store/server.out")
    echo "update server: $url"
    "$updater" -D -t TCPIP -i "$store" -u "$url"
    echo "== updater -D -r 0A0B0C0D -t TCPIP (the router'"'"'s I2C network)"
    "$updater" -D -r 0A0B0C0D -t TCPIP -i "$store" -u "$url"
    kill $pid; wait $pid 2>/dev/null
    exit 0' _ "$server" "$work/content" "$updater" "$work/store"

echo
echo "== modulesim --usb 40F5849A: updater -D (the emulated USB bus)"
timeout 120 "$sim" --usb 40F5849A,model=2,name=USB-Hub,version=2.16.1,build=1300 -- "$updater" -D -i "$work/store"
exit 0
