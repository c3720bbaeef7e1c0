#!/bin/bash
# libkestrane as another program meets it: installed into a staging DESTDIR
# (the libkestrane1 and libkestrane-dev components), a C program built
# against the staged headers and library twice, through kestrane.pc and
# through find_package(Kestrane), each flashing a board of uart_sim over a
# pseudo-terminal. Then the library's exported symbols against the list
# checked in beside the program, so that an accidental change of the ABI
# fails. Usage: capi_install_test.sh BUILD-DIR UART-SIM LIBDIR CC NM READELF
# [TOOLCHAIN-FILE [CFLAGS]], the compiler and tools those of the build (a
# cross build's programs run under qemu-user).
set -uo pipefail
build=$(realpath "$1") sim=$(realpath "$2") cc=$4 nm=$5 readelf=$6 toolchain=${7:-} cflags=${8:-}
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../common/cli_common.sh"
mkfifo control

stage=$work/stage
for component in libkestrane1 libkestrane-dev; do
  DESTDIR=$stage cmake --install "$build" --prefix /usr --component $component > /dev/null ||
    fail "the $component component does not install"
done
libdir=$stage/usr/$3
[ -f "$libdir/libkestrane.so.1" ] || { fail "libkestrane.so.1 is not installed"; exit 1; }
[ "$("$readelf" -d "$libdir/libkestrane.so.1" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')" = libkestrane.so.1 ] ||
  fail "the library's SONAME is not libkestrane.so.1"
[ -f "$stage/usr/include/kestrane/kestrane.h" ] || fail "the headers are not installed"
# Nothing but the library, its headers, kestrane.pc, the CMake package and
# each package's copyright and changelog.
others=$(find "$stage" -type f | grep -v -e "^$stage/usr/include/kestrane/" -e "^$libdir/" \
  -e "^$stage/usr/share/doc/libkestrane\(1\|-dev\)/\(copyright\|changelog.gz\)$" \
  -e "^$stage/usr/share/doc/libkestrane-dev/html/")
[ -z "$others" ] || fail "installed with the library: $others"
[ -f "$libdir/pkgconfig/kestrane.pc" ] && [ -f "$libdir/cmake/Kestrane/KestraneConfig.cmake" ] ||
  fail "kestrane.pc or the CMake package is missing"

# An image of 5000 random bytes as Intel HEX, and one whose second line's
# checksum is wrong.
random_image 5000 > fw.bin
python3 - fw.bin fw.hex bad.hex <<'PYTHON'
import sys
data = open(sys.argv[1], 'rb').read()
def record(address, kind, payload):
    body = bytes([len(payload), address >> 8, address & 0xFF, kind]) + payload
    return ':' + body.hex().upper() + '%02X' % (-sum(body) & 0xFF) + '\n'
lines = [record(a, 0, data[a:a + 16]) for a in range(0, len(data), 16)] + [record(0, 1, b'')]
open(sys.argv[2], 'w').write(''.join(lines))
lines[1] = lines[1][:-3] + '%02X' % (int(lines[1][-3:-1], 16) ^ 1) + '\n'
open(sys.argv[3], 'w').write(''.join(lines))
PYTHON

# Through pkg-config, which finds the staged tree from where kestrane.pc lies.
flags=$(PKG_CONFIG_LIBDIR=$libdir/pkgconfig pkg-config --cflags --libs kestrane) ||
  fail "pkg-config does not find kestrane.pc"
# shellcheck disable=SC2086
"$cc" -std=c99 -pedantic -Wall -Wextra -Werror $cflags "$here/flash_board/flash_board.c" $flags -o by_pkg_config ||
  fail "the program does not build through kestrane.pc"
# Through the CMake package.
cmake -S "$here/flash_board" -B cmake-build -DCMAKE_PREFIX_PATH="$stage/usr" -DCMAKE_C_COMPILER="$cc" \
  ${toolchain:+-DCMAKE_TOOLCHAIN_FILE="$toolchain"} -DCMAKE_C_FLAGS="$cflags" > cmake.log 2>&1 &&
  cmake --build cmake-build >> cmake.log 2>&1 || { cat cmake.log; fail "the program does not build through find_package"; }

# The README's example, as a reader would copy it.
awk '/^## Using Kestrane from C and Python/ { section = 1 } section && /^```c$/ { code = 1; next }
  code && /^```$/ { exit } code' "$here/../../README.md" > readme.c
# shellcheck disable=SC2086
"$cc" $cflags readme.c $flags -o readme || fail "the README's C example does not build"

# The contract, by a program built against the staged headers.
# shellcheck disable=SC2086
"$cc" -std=c99 -pedantic -Wall -Wextra -Werror $cflags "$here/flash_board/contract.c" $flags -pthread -o contract ||
  fail "the contract program does not build against the installed headers"

start_boards --boards 4
export LD_LIBRARY_PATH=$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
./by_pkg_config "$work/ttySIM1" fw.hex bad.hex || fail "the program built through kestrane.pc"
cmake-build/flash_board "$work/ttySIM2" fw.hex bad.hex ||
  fail "the program built through find_package"
./readme "$work/ttySIM3" fw.hex 2> readme.out || fail "the README's C example: $(tail -n 1 readme.out)"
./contract "$work/ttySIM4" > contract.out 2>&1 || fail "the contract: $(cat contract.out)"
grep -q "^verify 5000/5000$" readme.out || fail "the README's C example showed no progress to the end"
./readme "$work/ttyNONE" fw.hex 2> readme.out
[ $? -eq 69 ] && grep -q "ttyNONE: no such port" readme.out ||
  fail "the README's C example on a missing port: $(cat readme.out)"
# What ldd asks of the dynamic loader, which answers for a foreign program too.
[ "$(LD_TRACE_LOADED_OBJECTS=1 ./by_pkg_config | grep -c "$libdir/libkestrane.so.1")" -eq 1 ] ||
  fail "the program did not run against the staged library"
stop_boards
holds_image flash fw.bin || fail "board 1 does not hold the image"
holds_image flash.2 fw.bin || fail "board 2 does not hold the image"
holds_image flash.3 fw.bin || fail "board 3 does not hold the image"
# The cancelled flash left board 4 in its bootloader, byte 0 erased.
grep -q 'mode bootloader' flash.4.state && [ "$(head -c1 flash.4 | od -An -tx1 | tr -d ' ')" = ff ] ||
  fail "the cancelled board: $(cat flash.4.state), byte 0 $(head -c1 flash.4 | od -An -tx1)"

symbols=$("$nm" -D --defined-only "$libdir/libkestrane.so.1" | awk '{print $3}' | sort)
if ! diff -u "$here/symbols.txt" <(echo "$symbols"); then
  fail "the exported symbols differ from tests/capi/symbols.txt: a change of the ABI must change that list too"
fi

[ "$failures" -eq 0 ] || exit 1
echo "the staged library, its headers, kestrane.pc and CMake package build a program that flashes boards"
