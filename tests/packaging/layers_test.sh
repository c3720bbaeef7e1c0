#!/bin/bash
# The layers as the build enforces them: each layer's target sees the
# headers of the layers below it and no others, so a lower layer including a
# higher one does not compile; and only the exported calls (src/api) bear
# the public efm8_ prefix, every layer below naming its own functions
# otherwise. Usage: layers_test.sh BUILD-DIR SOURCE-DIR CXX NM
set -euo pipefail
build=$1 source=$2 cxx=$3 nm=$4
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# compiles TARGET HEADER: whether a file of TARGET's may include HEADER.
compiles() {
  echo "#include \"$2\"" | "$cxx" -std=c++17 -fsyntax-only -I "$build/layers/$1" -I "$source/include" -x c++ - \
    2>/dev/null
}
# TARGET, a header it may include, and headers of the layers above it.
check() {
  local target=$1 allowed=$2
  shift 2
  compiles "$target" "$allowed" || fail "$target cannot include its own $allowed"
  for header in "$@"; do
    ! compiles "$target" "$header" || fail "$target includes $header, a layer above it"
  done
}
check efm8_protocol protocol/protocol.h transport/transport.h engine/session.h api/rules.h production/plan.h
check efm8_transport protocol/parts.h engine/session.h api/guard.h firmware/image.h station/station.h
check efm8_engine transport/transport.h api/guard.h production/jobs.h cli/options.h
check efm8_api engine/calls.h production/plan.h station/station.h cli/options.h
check firmware protocol/protocol.h transport/transport.h engine/session.h station/station.h production/plan.h
check station station/station.h engine/session.h firmware/image.h production/plan.h
check efm8_production api/rules.h cli/options.h gui/lib.h engine/session.h transport/transport.h
check kestrane-cli production/jobs.h engine/session.h transport/transport.h api/guard.h gui/lib.h

for archive in efm8_protocol efm8_transport efm8_engine firmware station efm8_production; do
  named=$("$nm" --defined-only -g "$build/lib$archive.a" | awk '$2 ~ /^[TDBR]$/ && $3 ~ /^efm8_/ { print $3 }')
  [ -z "$named" ] || fail "lib$archive.a defines $(echo $named) with the public prefix"
done
exported=$("$nm" --defined-only -g "$build/libefm8_api.a" | awk '$2 == "T" && $3 ~ /^efm8_/ { print $3 }' | sort -u)
listed=$(sed -n 's/@@KESTRANE_[0-9.]*$//p' "$source/tests/capi/symbols.txt" | sort -u)
[ "$exported" = "$listed" ] || fail "src/api defines other efm8_ calls than are exported: $(diff <(echo "$listed") <(echo "$exported") | grep '^[<>]')"

[ "$failures" -eq 0 ] || exit 1
echo "each layer sees only those below it; only src/api bears the public prefix"
