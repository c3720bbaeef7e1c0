#!/bin/sh
# Runs a test under umockdev's preload library, with a TMPDIR of its own so
# that a testbed left by a crash goes with it.
set -eu
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
TMPDIR=$dir umockdev-wrapper "$@"
