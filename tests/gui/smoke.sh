#!/bin/bash
# Starts the real kestrane binary against the simulated device, waits for its
# window, closes it as a window manager would, and expects a clean exit.
# Usage: smoke.sh KESTRANE DEMO-LIBRARY-DIR WM-CLOSE
set -eu
kestrane=$1 demo_dir=$2 wm_close=$3

LD_LIBRARY_PATH=$demo_dir "$kestrane" &
pid=$!
trap 'kill $pid 2>/dev/null || true' EXIT

window=$(timeout 30 xdotool search --sync --onlyvisible --name '^Kestrane$' | head -n 1)
[ -n "$window" ] || { echo "no Kestrane window appeared"; exit 1; }
"$wm_close" "$window"
status=0
timeout 30 tail --pid=$pid -f /dev/null || { echo "kestrane did not exit"; exit 1; }
wait $pid || status=$?
echo "kestrane exited with $status"
exit $status
