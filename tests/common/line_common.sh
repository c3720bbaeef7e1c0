# What the production line's tests share, sourced after cli_common.sh with
# $cli, $demo_dir and $sim set: a station database, images, simulated USB
# boards run for each command, and what the record says of a counter.
export XDG_STATE_HOME=$work/state

db=$work/line.sqlite
random_image 5000 > fw.bin
random_image 3000 > fw2.bin
head -c 16384 /dev/urandom > junk
mkfifo control uart_control
port=$work/ttySIM1

# USB: fresh simulated boards for each run; stdout in out, stderr in err,
# the bus's log in log, board N's flash in flash (1) or flash.N.
usb_env=(LD_LIBRARY_PATH="$demo_dir" KESTRANE_SIM_LOG="$work/log" KESTRANE_SIM_FLASH_OUT="$work/flash"
         KESTRANE_SIM_CONTROL="$work/control")
prepare() {
  : > log
  : > err
  rm -f flash flash.*
}
usb() {  # usb STATUS ARGS...: runs and checks the exit status
  local want=$1 got
  shift
  prepare
  env "${usb_env[@]}" "$cli" "$@" > out 2> err
  got=$?
  [ "$got" -eq "$want" ] || fail "kestrane-cli $* exited $got, not $want: $(cat err)"
}
start_usb() {  # in the background, the tool's process id in $!
  prepare
  env "${usb_env[@]}" "$cli" "$@" > out 2> err &
}

# UART boards (start_boards) keep their events in ulog and read orders from
# uart_control, beside the USB bus's log and control.
uart_log=ulog uart_fifo=uart_control

encode() {  # encode FORMAT NUMBER: the number's bytes in hex, as the format lays them out
  perl -e 'my ($format, $n) = @ARGV;
    my %binary = (le16 => "v", le32 => "V", le64 => "Q<", be16 => "n", be32 => "N", be64 => "Q>");
    my ($kind, $digits) = $format =~ /^(dec|hex)(\d+)$/;
    my $bytes = $binary{$format} ? pack($binary{$format}, $n) : sprintf($kind eq "dec" ? "%0${digits}d" : "%0${digits}X", $n);
    print unpack "H*", $bytes' "$1" "$2"
}
# number_on FLASH-FILE FORMAT@ADDRESS NUMBER: the board holds fw.bin with the
# number at its place, 0xFF between.
number_on() {
  local format=${2%@*} address=$((${2#*@}))
  perl -e 'local $/; open my $in, "<", "fw.bin"; binmode $in; my $image = <$in>;
    my ($at, $bytes) = ($ARGV[0], pack "H*", $ARGV[1]);
    $image .= "\xFF" x ($at - length $image);
    binmode STDOUT; print $image . $bytes' "$address" "$(encode "$format" "$3")" > expected
  holds_image "$1" expected
}
counter_next() {  # counter_next NAME
  "$cli" serial show "$1" --db "$db" --json | jq .next
}

# numbers_check COUNTER ATTEMPTS: the record holds ATTEMPTS attempts of the
# counter, each finished with its result and a number of its own: the
# numbers run from the counter's first to the one before its next without a
# gap, each used once, and a void one (its board failed) never again.
numbers_check() {
  local first next
  first=$("$cli" serial show "$1" --db "$db" --json | jq .first)
  next=$(counter_next "$1")
  "$cli" history --db "$db" --json | jq -es --arg counter "$1" --argjson attempts "$2" --argjson first "$first" \
    --argjson next "$next" 'map(select(.counter == $counter)) as $mine
    | ($mine | length) == $attempts
      and all($mine[]; .result != "unfinished" and .exit_code != null and .serial != null
                       and .void == (.exit_code != 0))
      and ($mine | map(.serial) | sort) == [range($first; $next)]' > /dev/null
}
# as_recorded COUNTER: each board's line of --json in out is its attempt as
# the record keeps it: the same number, path, result and tries, and no
# attempt of the counter without its line.
as_recorded() {
  "$cli" history --db "$db" --json > history.json
  jq -n --arg counter "$1" --slurpfile lines out --slurpfile attempts history.json '
    ($attempts | map(select(.counter == $counter))) as $mine | [$lines[] | select(.path)] as $boards
    | ($boards | length) == ($mine | length)
      and all($boards[]; . as $board | any($mine[]; .serial == $board.serial and .path == $board.path
                                                    and .result == $board.result and .tries == $board.tries))' \
    > /dev/null
}
