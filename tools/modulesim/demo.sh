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
echo "== a firmware build on the update server for module 40F5849A (birdtool pack)"
mkdir -p "$work/content/devices/40F5849A"
cat > "$work/build.txt" <<DESC
info build=1400 version=2.17.0 serial=40F5849A model=QW-Hub8
loader 0x20000000 @random:2048:1
firmware 0x00010000 @random:49152:2
firmware 0x00040000 @random:16384:3 marker
DESC
"$build/tools/birdtool/birdtool" pack "$work/build.txt" -o "$work/content/devices/40F5849A/1400.bird"
"$build/tools/birdtool/birdtool" info "$work/content/devices/40F5849A/1400.bird" | head -12

echo
echo "== modulesim --usb 40F5849A (the emulated USB bus): updater -D, -B, -G, -U"
# In a private namespace too: should USB not find a module, the updater
# would look on TCP/IP with a multicast request.
timeout 300 "$sim" --netns --no-discovery --usb 40F5849A,model=2,name=USB-Hub,version=2.16.1,build=1300 \
  -- bash -c '
    server=$1 content=$2 updater=$3 store=$4
    "$server" -d "$content" -p 0 > "$store/server-usb.out" 2>&1 &
    pid=$!
    for i in $(seq 50); do grep -q "^listening on" "$store/server-usb.out" && break; sleep 0.1; done
    url=$(sed -n "s/^listening on //p" "$store/server-usb.out")
    echo "update server: $url"
    "$updater" -D -i "$store"
    echo "== updater -B -d 40F5849A (the builds the server offers)"
    "$updater" -B -d 40F5849A -i "$store" -u "$url"
    echo "== updater -G -U -d 40F5849A (download the current build, then update the module)"
    "$updater" -G -U -d 40F5849A -i "$store" -u "$url"
    echo "== updater -L -d 40F5849A (stored builds) and -D again (the module runs the new build)"
    "$updater" -L -d 40F5849A -i "$store"
    "$updater" -D -i "$store"
    kill $pid; wait $pid 2>/dev/null
    exit 0' _ "$server" "$work/content" "$updater" "$work/store"
exit 0
