#!/usr/bin/env bash
# Two programs use one simulated module at once: qw-link-server shares it,
# two qw-link-query clients find it by multicast and send their requests at
# the same time. Multicast discovery stays inside a private network
# namespace (modulesim --netns, as root).
#   tools/link-server/demo.sh BUILD_DIR WORK_DIR
set -uo pipefail
build=${1:?build directory}
work=${2:?work directory}
mkdir -p "$work"
echo "== modulesim: module 40F5849A on TCP/IP; qw-link-server shares it; two qw-link-query clients at once"
timeout 120 "$build/tools/modulesim/modulesim" --netns --no-discovery --ready-file "$work/link-ready" \
  --tcp 40F5849A,model=1,name=Shared-Hub \
  -- bash -c '
    tools=$1 ready=$2 out=$3
    for i in $(seq 50); do [ -s "$ready" ] && break; sleep 0.1; done
    address=$(sed -n "s/.* tcp \([0-9.]*:[0-9]*\).*/\1/p" "$ready" | head -1)
    "$tools/qw-link-server" --tcp "$address" > "$out" 2>&1 &
    server=$!
    for i in $(seq 100); do grep -q "^Serving" "$out" && break; sleep 0.1; done
    cat "$out"
    "$tools/qw-link-query" -d 40F5849A -n 300 & a=$!
    "$tools/qw-link-query" -d 40F5849A -n 300 & b=$!
    wait $a; sa=$?; wait $b; sb=$?
    kill -INT $server; wait $server; ss=$?
    echo "clients: status $sa and $sb; qw-link-server stopped with status $ss"
    exit 0' _ "$build/tools/link-server" "$work/link-ready" "$work/link-server.out"
exit 0
