#!/bin/bash
# End to end with the real binary and the real GTK file chooser, against the
# simulated device: load an image, press Flash, close the window, and compare
# the simulated flash written out at exit with the image. With "hex" the
# image is picked as an Intel HEX file written by SRecord's srec_cat.
# Usage: e2e_flash.sh KESTRANE DEMO-LIBRARY-DIR WM-CLOSE [bin|hex]
set -eu
kestrane=$1 demo_dir=$2 wm_close=$3 format=${4:-bin}
work=$(mktemp -d)
pid=""
trap '[ -z "$pid" ] || kill $pid 2>/dev/null || true; rm -rf "$work"' EXIT

fail() { echo "FAIL: $*"; exit 1; }

# Reads the device log from line FROM on until COUNT lines match PATTERN;
# fails when they have not come within 30 s, however many other lines came
# (the window looks for the board all the while).
wait_log() {
  local from=$1 count=$2 pattern=$3 matched=0 line deadline=$((SECONDS + 30))
  while ((SECONDS < deadline)) && IFS= read -r -t $((deadline - SECONDS)) line; do
    if [[ $line =~ $pattern ]] && ((++matched >= count)); then
      return 0
    fi
  done < <(tail -n "+$from" -f --pid="$pid" "$work/usb.log")
  return 1
}

log_lines() { wc -l < "$work/usb.log"; }

# An image starts with a jump (0x02) as 8051 code does; a random first byte
# could be '$', which makes the file boot records.
{ printf '\x02'; head -c 4999 /dev/urandom; } > "$work/firmware.bin"
picked=$work/firmware.bin
if [ "$format" = hex ]; then
  picked=$work/firmware.hex
  srec_cat "$work/firmware.bin" -binary -o "$picked" -intel
fi
: > "$work/usb.log"
KESTRANE_SIM_LOG=$work/usb.log KESTRANE_SIM_FLASH_OUT=$work/flash.out \
  LD_LIBRARY_PATH=$demo_dir "$kestrane" &
pid=$!

window=$(timeout 30 xdotool search --sync --onlyvisible --name '^Kestrane$' | head -n 1)
[ -n "$window" ] || fail "no Kestrane window"
eval "$(xdotool getwindowgeometry --shell "$window")"
# The panels share the height above the status bar 3 : 1.
panels=$((HEIGHT - 24))
upper=$((panels * 3 / 4))
click() { xdotool mousemove --window "$window" "$1" "$2" click 1; }

# Browse is centred in the right half, at the foot of the "Buffer Info" box.
click $((WIDTH * 3 / 4)) $((upper - 26))
chooser=$(timeout 30 xdotool search --sync --onlyvisible --name '^Select a firmware file$' | head -n 1)
[ -n "$chooser" ] || fail "the file chooser did not open"
xdotool windowfocus --sync "$chooser"
xdotool key --clearmodifiers ctrl+l
xdotool type --delay 5 "$picked"
seen=$(log_lines)
xdotool key Return
# The image loads as the chooser closes; the tick after that finds the device
# and enables Flash. A busy machine (a sanitizer build) may take the chooser
# a few ticks to close, so look again at each tick, for a minute at most.
for ((tick = 1; ; tick++)); do
  wait_log $((seen + 1)) 1 '^enumerate 1' || fail "polling stopped"
  seen=$(log_lines)
  xdotool search --onlyvisible --name '^Select a firmware file$' >/dev/null || break
  ((tick < 60)) || fail "the file chooser did not close"
done
wait_log $((seen + 1)) 1 '^enumerate 1' || fail "polling stopped"
seen=$(log_lines)
click $((WIDTH / 2)) $((upper + (panels - upper) / 2))
wait_log $((seen + 1)) 1 '^close' || fail "Flash did not run"
if xdotool search --onlyvisible --name '^Flash Failed code$' >/dev/null; then
  fail "the flash failed"
fi

"$wm_close" "$window"
wait $pid || fail "kestrane exited with $?"
pid=""

cmp -n 5000 "$work/firmware.bin" "$work/flash.out" || fail "the flash differs from the image"
rest=$(tail -c +5001 "$work/flash.out" | tr -d '\377' | wc -c)
[ "$rest" -eq 0 ] || fail "flash beyond the image is not erased"
echo "flashed 5000 bytes from a $format file through the window; the simulated flash equals the image"
