#!/bin/bash
# The library's ABI against version 1.0's, as abidw wrote it from the public
# headers' types (abi/libkestrane.so.1.abi): nothing removed or changed but
# what abi/suppressions lets pass. A deliberate break would take a new
# SONAME and a new baseline.
# Usage: abi_test.sh LIBRARY SOURCE-DIR
set -euo pipefail
library=$1 source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
abidw --headers-dir "$source/include/kestrane" --drop-private-types --no-corpus-path --no-comp-dir-path \
  --no-show-locs --out-file "$work/now.abi" "$library"
status=0
abidiff --no-added-syms --suppressions "$source/abi/suppressions" "$source/abi/libkestrane.so.1.abi" \
  "$work/now.abi" > "$work/diff" || status=$?
if [ "$status" -ne 0 ]; then
  cat "$work/diff"
  echo "FAIL: the ABI differs from version 1.0's (abidiff exit $status)"
  exit 1
fi
added=$(abidiff --suppressions "$source/abi/suppressions" "$source/abi/libkestrane.so.1.abi" "$work/now.abi" |
  sed -n "s/.*\[A\] '\(.*\)'.*/\1/p" || true)
echo "the ABI keeps version 1.0's; added since:"
echo "${added:-  nothing}"
