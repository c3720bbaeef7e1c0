#!/bin/bash
# What hands-free entry adds to each board: identify over a simulated board
# behind a pseudo-terminal, run ROUNDS times with the default entry over RTS
# and DTR (through the modem-line stand-in) and as many times without, the
# board blank so that it answers either way. Prints the mean of each and the
# difference, against the 70 ms a board the entry may add. CI runs it with
# 2 rounds, to see that it runs; the figure wants the default 20.
# Usage: bench/entry.sh KESTRANE-CLI UART-SIM MODEM-SEAM [ROUNDS]
set -euo pipefail
cli=$(realpath "$1") sim=$(realpath "$2") seam=$(realpath "$3") rounds=${4:-20}
work=$(mktemp -d)
trap 'kill "$sim_pid" 2>/dev/null; rm -rf "$work"' EXIT
: > "$work/sim.out"  # made first, so that tail below never looks before it is there
"$sim" --links "$work" --wires "$work/wires" --reset-line rts --boot-line dtr > "$work/sim.out" &
sim_pid=$!
while IFS= read -r line && [ "$line" != ready ]; do :; done < <(tail -n +1 -f --pid=$sim_pid "$work/sim.out")
mean_ms() {  # mean_ms ENV... -- runs identify ROUNDS times, prints the mean in ms
  local total=0 start
  for ((i = 0; i < rounds; ++i)); do
    start=$(date +%s%N)
    env "$@" "$cli" identify --port "$work/ttySIM1" "${entry[@]}" > /dev/null
    total=$((total + $(date +%s%N) - start))
  done
  echo $((total / rounds / 1000000))
}
entry=()
without=$(mean_ms KESTRANE_SIM_WIRES="$work/wires")
entry=(--reset rts --boot dtr)
with=$(mean_ms LD_PRELOAD="$seam" KESTRANE_SIM_WIRES="$work/wires")
echo "identify without entry: $without ms, with the default entry over RTS and DTR: $with ms"
echo "entry adds $((with - without)) ms a board (target: at most 70 ms)"
