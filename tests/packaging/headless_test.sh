#!/bin/bash
# Configures the tree as a host without a desktop would, wxWidgets, GTK and
# X11 hidden (without_gui.sh): with the window it must fail for want of
# wxWidgets, which shows the hiding works; with KESTRANE_GUI=OFF it must pass
# without even looking for them, and leave the window's package out.
# (CI builds and runs the whole suite that way: .ci/run.)
# Usage: headless_test.sh SOURCE-DIR
set -euo pipefail
source_dir=$1
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

if "$here/without_gui.sh" cmake -S "$source_dir" -B "$work/gui" -DBUILD_TESTING=ON >"$work/gui.log" 2>&1; then
  fail "the window configured with wxWidgets hidden"
fi
grep -q 'Could NOT find wxWidgets' "$work/gui.log" || fail "the window failed otherwise: $(tail -5 "$work/gui.log")"

"$here/without_gui.sh" cmake -S "$source_dir" -B "$work/headless" -DBUILD_TESTING=ON -DKESTRANE_GUI=OFF \
  --trace-expand --trace-redirect="$work/trace" >"$work/headless.log" 2>&1 ||
  fail "configuring without the window failed: $(tail -20 "$work/headless.log")"
if grep -E 'find_package\((wxWidgets|X11|GTK)|Find(wxWidgets|X11)\.cmake|gtk\+-3\.0|wx-config' "$work/trace"; then
  fail "configuring without the window looked for the above"
fi
if grep -E '^(wxWidgets|GTK3?|X11)_' "$work/headless/CMakeCache.txt"; then
  fail "the cache holds the above"
fi
packages=$(sed -n 's/^set(CPACK_COMPONENTS_ALL "\(.*\)")$/\1/p' "$work/headless/CPackConfig.cmake" | tr ';' ' ')
grep -qw kestrane-cli <<<"$packages" || fail "no kestrane-cli package: $packages"
! grep -qE '(^| )kestrane( |$)' <<<"$packages" || fail "the window's package without the window: $packages"
gui_tests=$(ctest --test-dir "$work/headless" -N -L gui | sed -n 's/^Total Tests: //p')
[ "$gui_tests" = 0 ] || fail "$gui_tests tests labelled gui without the window"
# Without cpp-httplib the dashboard's server is left out, said so, and its
# command still builds: to say that it is not there.
"$here/without_gui.sh" cmake -S "$source_dir" -B "$work/plain" -DBUILD_TESTING=ON -DKESTRANE_GUI=OFF \
  -DKESTRANE_DASHBOARD=OFF >"$work/plain.log" 2>&1 || fail "configuring without the dashboard failed"
grep -q 'built without the dashboard' "$work/plain.log" || fail "the dashboard's absence was not said"
(cd "$work/plain" && make -f CMakeFiles/kestrane-cli.dir/build.make CMakeFiles/kestrane-cli.dir/src/cli/dashboard.cpp.o \
  >"$work/plain.make" 2>&1) || fail "the dashboard command without its server: $(tail -20 "$work/plain.make")"
dashboard_tests=$(ctest --test-dir "$work/plain" -N -R '^dashboard(_postgresql|_bench)?$' | sed -n 's/^Total Tests: //p')
[ "$dashboard_tests" = 0 ] || fail "$dashboard_tests dashboard tests without the dashboard"
echo "configured without wxWidgets, GTK and X11: packages $packages; and without the dashboard's server"
