#!/bin/bash
# kestrane-cli's flags as a black box: a flag given twice with other values,
# numbers that are not plain decimal where a count or a rate is asked, and
# --wait with a space are refused before any board is opened, naming the
# flag; a flag given twice alike is taken. Then every flag of every command's
# table, as its help lists them, is in its usage lines, the man page's
# synopsis and the bash completion.
# Usage: cli_options_test.sh KESTRANE-CLI DEMO-LIBRARY-DIR PACKAGING-DIR
set -u
cli=$(realpath "$1") demo_dir=$(realpath "$2") packaging=$(realpath "$3")
. "$(dirname "$0")/../common/cli_common.sh"

random_image 3000 > fw.bin
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
CASES
[ -e x.efm8 ] && fail "convert wrote a file with two formats asked"

# --device once for each board, in the order given.
KESTRANE_SIM_BOARDS=3 run 0 "" flash --device sim:3 --device sim:1 fw.bin
holds_image flash.3 fw.bin && holds_image flash fw.bin && ! holds_image flash.2 fw.bin ||
  fail "--device twice did not flash those two boards alone"
[ "$(cut -d' ' -f1 out | tr '\n' ' ')" = "sim:3 sim:1 " ] || fail "not in the order given: $(cat out)"

# Every flag of each command's table, as its help lists it.
completion=$packaging/kestrane-cli.bash-completion manual=$packaging/kestrane-cli.1
line_flags=$(sed -n 's/^ *local line="\(.*\)"$/\1/p' "$completion")
entry_flags=$(sed -n 's/^ *local entry="\(.*\)"$/\1/p' "$completion")
commands=$("$cli" --help | sed -n '/^Commands:/,/^$/s/^  \([a-z]\+\) .*/\1/p')
[ "$(echo $commands)" = "list flash verify run identify watch convert lock serial history dashboard station" ] ||
  fail "the commands of --help: $commands"
has() { grep -qE -- "($1)([^a-z-]|$)" <<< "$2"; }  # has FLAGS TEXT, --count not taken for --counter
for command in $commands; do
  help=$("$cli" "$command" --help)
  # "--output|-o" where a flag has a short name too: either will do.
  flags=$(sed -nE 's/^  (-([a-z]), )?(--[a-z-]+).*/\3\1/p' <<< "$help" | sed -E 's/-([a-z]), $/|-\1/')
  [ -n "$flags" ] || fail "$command --help lists no flags"
  usage=$(awk 'NR == 1 || (/^ / && !done) { print; next } { done = 1 }' <<< "$help")
  completes=$(awk -v command="        $command)" 'index($0, command) == 1 { on = 1 } on { print } on && /;;/ { exit }' \
                "$completion")
  completes=${completes//\$line/$line_flags}
  completes=${completes//\$entry/$entry_flags}
  synopsis=$(awk -v command=".B kestrane\\\\-cli $command" 'index($0, command) == 1 { on = 1 } on { print }
                                                            /^\.br/ { on = 0 }' "$manual" | sed 's/\\-/-/g')
  for flag in $flags; do
    has "$flag" "$usage" || fail "$command --help's usage lacks $flag"
    has "$flag" "$completes" || fail "the completion of $command lacks $flag"
    has "$flag" "$synopsis" || fail "the man page's synopsis of $command lacks $flag"
  done
done
# The baud rates, as the port is opened at them.
rates=$("$cli" flash --help | sed -n 's/^  --baud N *\(.*\) (default.*/\1/p' | tr -d ',' | sed 's/ or / /')
[ -n "$rates" ] && grep -qF "compgen -W \"$rates\"" "$completion" || fail "the completion's baud rates are not $rates"
grep -qF "$(awk '{ for (i = 1; i <= NF; ++i) printf "%s%s", (i == 1 ? "" : i == NF ? " or " : ", "), $i }' \
            <<< "$rates") baud" "$manual" || fail "the man page's baud rates are not $rates"

[ "$failures" -eq 0 ] || exit 1
echo "kestrane-cli: flags given twice, numbers and --wait refused before any board; help, man page and completion list every flag"
