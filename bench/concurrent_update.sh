#!/usr/bin/env bash
# Many updates at once: N = 1, 2, 4, 8 `updater -U` processes, each updating
# its own simulated module with a 64 KiB firmware build, over TCP/IP and over
# the emulated USB bus. Prints, per transport and N, the median wall time of
# the round, the successes, the CPU seconds of the updaters (user + system,
# median) and the wall time next to that of one update alone (the targets:
# every update succeeds, 8 at once take at most 1.5 times as long as one).
#   bench/concurrent_update.sh BUILD_DIR [ROUNDS]
# TRANSPORTS="tcp usb" (the default) chooses the transports; MODE="-m 0"
# runs the updates in packet mode instead of the default byte-array mode;
# VERBOSE=1 prints every round.
# Runs as root: TCP/IP discovery is a multicast request, so everything runs in
# a private network namespace (modulesim --netns).
set -uo pipefail
build=$(cd "${1:?build directory}" && pwd)
rounds=${2:-3}
transports=${TRANSPORTS:-tcp usb}
mode=${MODE:-}
sim=$build/tools/modulesim/modulesim
updater=$build/src/updater
birdtool=$build/tools/birdtool/birdtool
work=$(mktemp -d /tmp/qwbench.XXXXXX)
trap 'rm -rf "$work"' EXIT

serial() { printf '5E%06X' "$1"; }

# One build per module (the file names the module's serial number).
for i in 1 2 3 4 5 6 7 8; do
  s=$(serial "$i")
  cat > "$work/$s.txt" <<DESC
info build=3100 version=2.18.0 serial=$s model=QW-Hub4
loader 0x20000000 @random:1024:1
firmware 0x00010000 @random:65536:$i marker
DESC
  "$birdtool" pack "$work/$s.txt" -o "$work/$s.bird" > /dev/null || exit 1
done

# Inside the simulator's namespace: ROUNDS rounds of N updates at once; one
# line per round: wall seconds, successes, CPU seconds of the updaters.
round_script='
  updater=$1 work=$2 n=$3 rounds=$4 tcp=$5 mode=$6
  if [ "$tcp" = 1 ]; then
    ip link add qwbenchbr0 type bridge && ip addr add 10.98.9.1/24 brd + dev qwbenchbr0 && ip link set qwbenchbr0 up
  fi
  for r in $(seq "$rounds"); do
    TIMEFORMAT="%R %U %S"
    { time {
        pids=()
        for i in $(seq "$n"); do
          s=$(printf "5E%06X" "$i")
          "$updater" -i "$work/store$i" -U -d "$s" -f "$work/$s.bird" $mode > "$work/out.$n.$r.$i" 2>&1 &
          pids+=($!)
        done
        ok=0
        for p in "${pids[@]}"; do wait "$p" && ok=$((ok + 1)); done
        echo "$ok" > "$work/ok"
      }; } 2> "$work/time"
    read -r wall user sys < "$work/time"
    echo "$wall $(cat "$work/ok") $(echo "$user + $sys" | bc)"
  done'

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

for transport in $transports; do
  one=""
  for n in 1 2 4 8; do
    specs=()
    for i in $(seq "$n"); do specs+=("--$transport" "$(serial "$i"),model=1,down-ms=100"); done
    extra=()
    [ "$transport" = usb ] && extra=(--no-discovery)
    timeout 600 "$sim" --netns "${extra[@]}" "${specs[@]}" -- bash -c "$round_script" _ "$updater" "$work" "$n" \
      "$rounds" "$([ "$transport" = tcp ] && echo 1 || echo 0)" "$mode" 2> /dev/null | grep -v '^module ' > "$work/rounds"
    [ -n "${VERBOSE:-}" ] && sed "s/^/$transport N=$n round (wall successes CPU): /" "$work/rounds" >&2
    wall=$(awk '{ print $1 }' "$work/rounds" | median)
    ok=$(awk '{ s += $2 } END { print s + 0 }' "$work/rounds")
    cpu=$(awk '{ print $3 }' "$work/rounds" | median)
    [ -z "$one" ] && one=$wall
    printf '%-4s N=%d  wall %6.3f s (median of %d)  successes %3d/%-3d  CPU %6.3f s  wall/one %.2f\n' \
      "$transport" "$n" "$wall" "$rounds" "$ok" $((n * rounds)) "$cpu" "$(echo "$wall / $one" | bc -l)"
  done
done
