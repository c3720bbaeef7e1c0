# What the command-line tests share, sourced by each once the paths it was
# given are absolute: a work folder of its own (cleaned up with every
# background job), failures counted, images, and ways to wait on lines and to
# talk to the simulators without ever waiting on the clock.
work=$(mktemp -d)
trap 'jobs -p | xargs -r kill 2>/dev/null; rm -rf "$work"' EXIT
cd "$work" || exit 1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Random images that start as an 8051 program does, with a jump: a file that
# starts with '$' would be read as boot records.
random_image() {  # random_image SIZE
  printf '\x02'
  head -c $(($1 - 1)) /dev/urandom
}

# holds_image FLASH-FILE IMAGE-FILE: the image, then 0xFF to the end of its page.
holds_image() {
  local size
  size=$(stat -c %s "$2")
  cmp -s -n "$size" "$1" "$2" && [ -z "$(tail -c +$((size + 1)) "$1" | head -c $(((512 - size % 512) % 512)) | tr -d '\377')" ]
}

# Reads FILE from line FROM on until COUNT lines match PATTERN, and says at
# which line; 30 s without them fails, however many other lines come (a
# bench logs its looks at the bus all the while). The file is followed by
# name, so one that a process started in the background has yet to create
# is waited for.
wait_line() {  # wait_line FILE FROM COUNT PATTERN
  local file=$1 from=$2 count=$3 pattern=$4 matched=0 at=$(($2 - 1)) line deadline=$((SECONDS + 30))
  while ((SECONDS < deadline)) && IFS= read -r -t $((deadline - SECONDS)) line; do
    at=$((at + 1))
    if [[ $line =~ $pattern ]] && ((++matched >= count)); then
      echo "$at"
      return 0
    fi
  done < <(tail -n "+$from" -F --pid=$$ "$file" 2> /dev/null)
  return 1
}

# Tells a FIFO's listener something; fails rather than hangs when it is gone.
send_to() {  # send_to FIFO LINE
  timeout 30 bash -c 'echo "$2" > "$1"' send "$1" "$2" || fail "nobody heard '$2'"
}

# start_boards [UART-SIM OPTIONS]: fresh boards of uart_sim ($sim) at
# ./ttySIM1..N, their events in $uart_log and their orders read from
# $uart_fifo; board N's flash goes to flash (board 1) or flash.N when they stop.
uart_log=log uart_fifo=control
start_boards() {
  : > "$uart_log"
  : > sim.out
  rm -f flash flash.*
  "$sim" --links "$work" --log "$uart_log" --control "$uart_fifo" --flash-out flash "$@" > sim.out &
  sim_pid=$!
  wait_line sim.out 1 1 '^ready$' > /dev/null || fail "uart_sim $* did not start"
}
stop_boards() {
  send_to "$uart_fifo" quit
  wait "$sim_pid"
}

# expect_on_junk STATUS ARGS...: runs $cli against a fresh simulated USB board
# (the demo build of the hidapi stand-in in $demo_dir) whose flash starts as
# ./junk, or $KESTRANE_SIM_FLASH_IN, with standard input from $stdin or
# nothing; stdout in out, stderr in err, its flash in flash and its lock,
# signature and mode in flash.state.
expect_on_junk() {
  local want=$1 got
  shift
  : > log
  rm -f flash flash.state
  env LD_LIBRARY_PATH="$demo_dir" KESTRANE_SIM_LOG="$work/log" KESTRANE_SIM_FLASH_OUT="$work/flash" \
    KESTRANE_SIM_FLASH_IN="${KESTRANE_SIM_FLASH_IN:-$work/junk}" "$cli" "$@" < "${stdin:-/dev/null}" > out 2> err
  got=$?
  [ "$got" -eq "$want" ] || fail "kestrane-cli $* exited $got, not $want: $(cat err)"
}
untouched() {  # untouched WHAT: the board of expect_on_junk was neither opened nor written
  grep -q '^open' log && fail "$1: a board was opened"
  [ ! -e flash ] || cmp -s flash junk || fail "$1: the flash changed"
}

# final_verify IMAGE-FILE: the record that verifies a flash of the image, in
# hex as the simulators keep the frames a board got: '$', 7, 0x34, from
# 0x0000 to the end of the image's last 512-byte page, and the CRC-16
# (XModem) of the image followed by 0xFF to there.
final_verify() {
  perl -e 'local $/; open my $in, "<", $ARGV[0] or die; binmode $in; my $data = <$in>;
    my $end = int((length($data) + 511) / 512) * 512 - 1;
    $data .= "\xFF" x ($end + 1 - length $data);
    my $crc = 0;
    for my $byte (unpack "C*", $data) {
      $crc ^= $byte << 8;
      $crc = $crc & 0x8000 ? (($crc << 1) ^ 0x1021) & 0xFFFF : ($crc << 1) & 0xFFFF for 1 .. 8;
    }
    printf "2407340000%04X%04X", $end, $crc' "$1"
}
# verified FRAMES-FILE IMAGE-FILE: the board got the image's final verify
# once, after its last erase and write.
verified() {
  local record at last
  record=$(final_verify "$2")
  [ "$(grep -c "^$record\$" "$1")" -eq 1 ] || return 1
  at=$(grep -n "^$record\$" "$1" | cut -d: -f1)
  last=$(grep -n '^24..3[23]' "$1" | tail -n 1 | cut -d: -f1)
  [ "$at" -gt "${last:-0}" ]
}

# start_pg PG-SERVER: a PostgreSQL server of the test's own (pg_server.sh):
# $pg its folder, $db its socket URI, $port_number its TCP port. It goes
# when the test ends, with the work folder (copied to $KEEP first, if set).
start_pg() {
  pg_server=$(realpath "$1")
  pg=$(mktemp -d /tmp/kestrane-pg.XXXXXX)
  trap 'jobs -p | xargs -r kill 2>/dev/null; "$pg_server" clean "$pg"; [ -z "${KEEP:-}" ] || cp -r "$work" "$KEEP"; rm -rf "$work"' EXIT
  "$pg_server" start "$pg" > /dev/null || { echo "FAIL: the test's PostgreSQL server did not start"; exit 1; }
  db=$(cat "$pg/uri") port_number=$(cat "$pg/port")
}

# A TCP port on 127.0.0.1 that nothing listens on now.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# http_get URL: the body, or a failure (an HTTP error status included).
http_get() {
  python3 -c 'import sys, urllib.request; sys.stdout.write(urllib.request.urlopen(sys.argv[1]).read().decode())' "$1"
}

# one_json EXPR [FILE]: the one JSON value on standard input (or in FILE)
# holds the jq expression EXPR. No value, or more than one, fails: jq -e
# alone exits 0 on no input at all, and judges only the last of several.
one_json() {
  jq -es "length == 1 and (.[0] | $1)" "${@:2}" > /dev/null
}
