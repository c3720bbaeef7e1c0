#!/bin/bash
# kestrane-cli's flags as a black box: a flag given twice with other values,
# numbers that are not plain decimal where a count or a rate is asked, and
# --wait with a space are refused before any board is opened, naming the
# flag; a flag given twice alike is taken. Then every flag of every command's
# table, as its help lists them, is in its usage lines, the man page's
# synopsis and the bash completion, and no other.
# Usage: cli_options_test.sh KESTRANE-CLI DEMO-LIBRARY-DIR BUILT-PACKAGING-DIR
set -u
cli=$(realpath "$1") demo_dir=$(realpath "$2") packaging=$(realpath "$3")
. "$(dirname "$0")/../common/cli_common.sh"

random_image 3000 > fw.bin
ln -s loop loop  # a port path that leads nowhere: a loop of links
simulation=(LD_LIBRARY_PATH="$demo_dir" KESTRANE_SIM_LOG="$work/log" KESTRANE_SIM_FLASH_OUT="$work/flash")
run() {  # run STATUS PATTERN ARGS...: the exit status, and PATTERN on standard error
  local want=$1 pattern=$2 got
  shift 2
  : > log
  rm -f flash flash.* x.efm8
  # A count read as more boards than there are would watch for ever.
  timeout 60 env "${simulation[@]}" "$cli" "$@" > out 2> err
  got=$?
  [ "$got" -eq "$want" ] || fail "kestrane-cli $* exited $got, not $want: $(cat err)"
  [ -z "$pattern" ] || grep -qF -- "$pattern" err || fail "kestrane-cli $*: no '$pattern' in: $(cat err)"
  if [ "$want" -eq 64 ] && grep -q '^open' log; then fail "kestrane-cli $* opened a board"; fi
}

# STATUS | what standard error names | the arguments
while IFS='|' read -r status pattern args; do
  [ -n "$status" ] && run "$status" "$pattern" $args
done <<'CASES'
64|--lock-pages is given twice|flash --lock-pages 4 --lock-pages 2 fw.bin
64|--format is given twice|convert fw.bin -o x.efm8 --format efm8 --format hex
64|--output is given twice|convert fw.bin -o a.hex --output b.hex
64|--write-size is given twice|flash --write-size 16 --write-size 32 fw.bin
64|--serial is given twice|flash --serial le16@0x3000 --serial le32@0x3000 --counter c fw.bin
64|--counter is given twice|flash --serial le16@0x3000 --counter a --counter b fw.bin
64|--serial is given twice|history --serial 1 --serial 2
64|--db is given twice|history --db a.sqlite --db b.sqlite
64|--wait is given twice|flash --wait=1 --wait fw.bin
64|--device sim:1 is given twice|flash --device sim:1 --device sim:1 fw.bin
64|--baud takes|flash --port /dev/null --baud 115200.0 fw.bin
64|--baud takes|flash --port /dev/null --baud 0x1C200 fw.bin
64|--baud takes|flash --port /dev/null --baud 1.152e5 fw.bin
64|--lock-pages takes|flash --lock-pages 0x04 fw.bin
64|--lock-pages takes|lock --lock-pages 4.0
64|--write-size takes|flash --write-size 0x20 fw.bin
64|--retries takes|flash --retries +1 fw.bin
64|--count takes|watch --count 0x10 fw.bin
64|--count takes a whole number of boards from 1 to 2147483647|watch --count 2147483648 fw.bin
64|--timeout takes|flash --port /dev/null --timeout 0x2 fw.bin
64|--wait=30|flash --wait 30 fw.bin
64|--no-verify takes no value|flash --no-verify=1 fw.bin
0||flash --write-size 16 --write-size 16 fw.bin
0||flash --no-run --no-run --wait=30 fw.bin
0||flash --lock-pages 04 fw.bin
66|missing.bin|watch --count 2147483647 missing.bin
69|loop: no such port|identify --port loop
69|loop: no such port|run --port loop
69|loop: no such port|verify --port loop fw.bin
69|loop: no such port|flash --no-record --port loop fw.bin
69|loop: no such port|lock --lock-pages 0 --port loop
69|fw.bin/x: no such port|flash --no-record --port fw.bin/x fw.bin
CASES
[ -e x.efm8 ] && fail "convert wrote a file with two formats asked"
run 64 "--port takes a path of at most 255 bytes" identify --port "./$(printf 'x%.0s' {1..300})"
run 64 "--device takes a path of at most 255 bytes" identify --device "$(printf 'x%.0s' {1..300})"

# --device once for each board, in the order given.
KESTRANE_SIM_BOARDS=3 run 0 "" flash --device sim:3 --device sim:1 fw.bin
holds_image flash.3 fw.bin && holds_image flash fw.bin && ! holds_image flash.2 fw.bin ||
  fail "--device twice did not flash those two boards alone"
[ "$(cut -d' ' -f1 out | tr '\n' ' ')" = "sim:3 sim:1 " ] || fail "not in the order given: $(cat out)"

# Every flag of each command's table, as its help lists it, and no other:
# in its usage lines, the man page's synopsis and the bash completion, all
# three written from the tables; and the man page's OPTIONS, written by hand,
# describe exactly the flags of all the tables.
completion=$packaging/kestrane-cli.bash-completion manual=$packaging/kestrane-cli.1
commands=$("$cli" --help | sed -n '/^Commands:/,/^$/s/^  \([a-z]\+\) .*/\1/p')
names() { sed 's/\\-/-/g' | sort -u | xargs; }  # names < FLAGS: one line, each once
commands=$(names <<< "$commands")
[ "$commands" = "$(sed -n 's/^        \([a-z]*\)) options=.*/\1/p' "$completion" | names)" ] ||
  fail "the commands of --help, $commands, are not the tables'"
[ "$commands --help --version" = "$(sed -n 's/.*compgen -W "\([a-z -]*--version\)".*/\1/p' "$completion" |
                                     tr ' ' '\n' | grep -v -- -- | names) --help --version" ] ||
  fail "the completion's commands are not $commands"
all_flags=""
for command in $commands; do
  help=$("$cli" "$command" --help)
  # "s/^-o$/--output/": a short name read as its long one.
  shorts=$(sed -nE 's/^  -([a-z]), (--[a-z-]+).*/s\/^-\1$\/\2\//p' <<< "$help")
  long() { sed -E "${shorts:-p;d}"; }
  flags=$(sed -nE 's/^  (-[a-z], )?(--[a-z-]+).*/\2/p' <<< "$help" | names)
  [ -n "$flags" ] || fail "$command --help lists no flags"
  all_flags+=" $flags"
  usage=$(awk 'NR == 1 || (/^ / && !done) { print; next } { done = 1 }' <<< "$help")
  in_usage=$(grep -oE -- '(^|[[ ])--?[a-z][a-z-]*' <<< "${usage#Usage: kestrane-cli $command}" | tr -d '[ ' | long | names)
  [ "$in_usage" = "$flags" ] || fail "$command --help's usage lists $in_usage, its table $flags"
  synopsis=$(awk -v head=".SY \"kestrane\\\\-cli $command\"" '$0 == head { on = 1; next } /^\.YS/ { on = 0 } on' "$manual" |
               grep -oE '\\fB\\-(\\-[a-z\\-]+|[a-z])\\fR' | sed 's/\\f[BR]//g; s/\\-/-/g' | long | names)
  [ "$synopsis" = "$flags" ] || fail "the man page's synopsis of $command lists $synopsis, its table $flags"
  completes=$(sed -n "s/^        $command) options=\"\(.*\)\" ;;\$/\1/p" "$completion" | tr ' ' '\n' | sed 's/=$//' |
                long | names)
  [ "$completes" = "$flags" ] || fail "the completion of $command offers $completes, its table $flags"
done
all_flags=$(tr ' ' '\n' <<< "$all_flags" | grep . | names)
described=$(awk '/^\.SH OPTIONS/ { on = 1; next } /^\.SH/ { on = 0 } on && last == ".TP" { print } { last = $0 }' \
              "$manual" | grep -oE '\\-(\\-[a-z\\-]+|o)' | sed 's/\\-/-/g; s/^-o$/--output/' | names)
[ "$described" = "$all_flags" ] || fail "the man page's OPTIONS describe $described; the tables have $all_flags"
# --serial, list's older name for --ports, is taken and shown nowhere.
"$cli" list --serial > /dev/null || fail "list --serial is not taken"
"$cli" list --help | grep -q -- --serial && fail "list --help shows --serial"

# The baud rates, as the port is opened at them.
rates=$("$cli" flash --help | sed -n 's/^  --baud N *\(.*\) (default.*/\1/p' | tr -d ',' | sed 's/ or / /')
[ -n "$rates" ] && grep -qF "compgen -W \"$rates\"" "$completion" || fail "the completion's baud rates are not $rates"
grep -qF "$(awk '{ for (i = 1; i <= NF; ++i) printf "%s%s", (i == 1 ? "" : i == NF ? " or " : ", "), $i }' \
            <<< "$rates") baud" "$manual" || fail "the man page's baud rates are not $rates"

[ "$failures" -eq 0 ] || exit 1
echo "kestrane-cli: flags given twice, numbers and --wait refused before any board; help, man page and completion list every flag"
