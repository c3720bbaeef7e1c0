#!/bin/bash
# Soak: kestrane-cli watch over BOARDS simulated boards arriving one after
# another on PORTS serial ports (uart_sim, a process of its own, so that what
# grows is the tool's): each board, once flashed, starts its application and
# leaves, and is put back into its bootloader as the next board. Every board
# is recorded and numbered. The tool's resident memory and open descriptors
# are sampled every 50 boards. Target: flat, under 1 MB of RSS growth and no
# descriptor growth from the first sample on (the first 50 boards warm the
# allocator's arenas and SQLite's page cache).
# A small run (CI: soak.sh CLI SIM 12 2 4) checks that the soak runs to its
# end with every board flashed; the target holds only over a full run.
# Usage: soak.sh KESTRANE-CLI UART-SIM [BOARDS] [PORTS] [EVERY]
set -euo pipefail
cli=$(realpath "$1") sim=$(realpath "$2") boards=${3:-500} ports=${4:-4} every=${5:-50}
if ((boards < 2 * every)); then echo "soak.sh: BOARDS must be at least twice EVERY" >&2; exit 2; fi
work=$(mktemp -d)
trap 'jobs -p | xargs -r kill 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
export XDG_STATE_HOME=$work/state

{ printf '\x02'; head -c 7999 /dev/urandom; } > fw.bin
mkfifo control
: > sim.out  # made first, so that tail below never looks before it is there
"$sim" --links "$work" --boards "$ports" --control control > sim.out &
sim_pid=$!
while IFS= read -r line && [ "$line" != ready ]; do :; done < <(tail -n +1 -f --pid=$sim_pid sim.out)
"$cli" serial init soak --first 1 --db soak.sqlite > /dev/null
port_options=()
for ((n = 1; n <= ports; n++)); do port_options+=(--port "$work/ttySIM$n"); done
: > out
: > err
# No --count: the last sample is taken while it still runs, and Ctrl-C ends it.
"$cli" watch --db soak.sqlite --counter soak --serial le32@0x3F00 "${port_options[@]}" fw.bin \
  > out 2> err &
watcher=$!

# Each board that left comes back as the next one. (watch says
# "TIME  PORT  the board left".)
(tail -n +1 -f --pid=$watcher err | while IFS= read -r line; do
  if [[ $line =~ /ttySIM([0-9]+)\ +the\ board\ left$ ]]; then echo "return ${BASH_REMATCH[1]}" > control; fi
done) &

# A port is open only while it is asked or flashed; the descriptors kept
# are the others.
sample() {  # sample BOARDS: one row of the table
  local rss targets open kept
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$watcher/status")
  targets=$(find "/proc/$watcher/fd" -mindepth 1 -maxdepth 1 -printf '%l\n' 2> /dev/null || true)  # a port may close meanwhile
  open=$(grep -c . <<< "$targets")
  kept=$(grep -vc '^/dev/pts/' <<< "$targets")
  printf '%6d  %8d  %4d  %4d\n' "$1" "$rss" "$open" "$kept"
  echo "$1 $rss $kept" >> samples
}
echo "boards  RSS (kB)  open  kept (descriptors; kept: other than ports)"
start=$EPOCHREALTIME
done_boards=0
while IFS= read -r line; do
  done_boards=$((done_boards + 1))
  if ((done_boards == 1 || done_boards % every == 0)); then sample "$done_boards"; fi
  if ((done_boards == boards)); then break; fi
done < <(tail -n +1 -f --pid=$watcher out)
kill -INT "$watcher"
wait "$watcher" || echo "watch exited $? (failed boards: $(grep -c 'failed (exit' out))"
elapsed=$(awk -v from="$start" -v to="$EPOCHREALTIME" 'BEGIN { print to - from }')
echo "quit" > control

tail -n 1 out
read -r _ start_rss _ < <(head -n 1 samples)
read -r _ first_rss first_fds < <(sed -n 2p samples)
read -r _ last_rss last_fds < <(tail -n 1 samples)
rss_growth=$((last_rss - first_rss)) fd_growth=$((last_fds - first_fds))
printf 'warming up, boards 1 to %d: RSS %+d kB\n' "$every" "$((first_rss - start_rss))"
printf 'growth from board %d to %d: RSS %+d kB, descriptors %+d; %d boards in %.0f s\n' \
  "$every" "$boards" "$rss_growth" "$fd_growth" "$boards" "$elapsed"
failed=$(grep -c 'failed (exit' out || true)
if ((failed > 0)); then echo "FAILED: $failed boards"; exit 1; fi
if ((rss_growth < 1024 && fd_growth <= 0)); then
  echo "flat: within the target"
elif ((boards >= 500)); then
  echo "GROWS: over the target"
  exit 1
else
  echo "grows, but $boards boards are too few to hold it to the target"
fi
