#!/bin/bash
# The packages as a user installs them: apt installs them, and whatever they
# depend on from Debian's mirror, into a fresh Debian 12 root of their
# architecture (an arm64 one runs under qemu-user, as a Raspberry Pi would run
# it natively). Inside it, simulated boards behind pseudo-terminals are
# flashed through the installed kestrane-cli and through `import kestrane`,
# and the flash each board holds afterwards is compared with the image. Where
# the window's package is among them, it must find every library it links
# and show its window under Xvfb.
#
# Usage: fresh_root_test.sh ARCH DEB-DIR UART-SIM [DEMO-DIR]
#   ARCH      amd64 or arm64: the packages' architecture and the root's
#   DEB-DIR   the folder of the .deb files; every one of them is installed
#   UART-SIM  uart_sim built for ARCH, copied into the root and run there
#   DEMO-DIR  the folder of the hidapi stand-in (libhidapi-libusb.so.0) that
#             the window is started against; needed with the window's package
# Needs root (debootstrap, chroot, mounts), and for arm64 qemu-user-static
# registered with binfmt_misc (scripts/cross-arm64 registers it).
#
# debootstrap's roots are kept in $KESTRANE_ROOTS (/var/cache/kestrane-roots)
# as one tar file per architecture, named after the mirror and the date of its
# release file, so a new point release makes a new one; every run starts from
# a fresh copy. The packages apt downloads are kept there too. The mirror and
# its security archive are the ones this machine's apt uses, or
# $KESTRANE_MIRROR.
set -euo pipefail
[ $# -ge 3 ] && [ $# -le 4 ] || { echo "usage: fresh_root_test.sh ARCH DEB-DIR UART-SIM [DEMO-DIR]" >&2; exit 64; }
arch=$1 debs=$(realpath "$2") sim=$(realpath "$3") demo=${4:+$(realpath "$4")}
suite=bookworm
cache=${KESTRANE_ROOTS:-/var/cache/kestrane-roots}
fail() { echo "FAIL ($arch): $*" >&2; exit 1; }

case $arch in
  amd64) multiarch=x86_64-linux-gnu qemu= ;;
  arm64) multiarch=aarch64-linux-gnu qemu=aarch64 ;;
  *) fail "no root for architecture $arch" ;;
esac
[ "$(id -u)" -eq 0 ] || fail "debootstrap, chroot and mount need root"
command -v debootstrap > /dev/null || fail "debootstrap is not installed (scripts/install-deps)"
if [ "$arch" != "$(dpkg --print-architecture)" ]; then
  # Fixed by the kernel at registration (flag F), qemu runs the root's
  # programs without being inside it.
  binfmt=/proc/sys/fs/binfmt_misc/qemu-$qemu
  grep -qx enabled "$binfmt" 2> /dev/null && grep -q '^flags: .*F' "$binfmt" ||
    fail "qemu-$qemu is not registered with binfmt_misc (scripts/cross-arm64 registers it)"
fi

# Every package must be for this architecture, and those that flash must be there.
declare -A packages=()
for deb in "$debs"/*.deb; do
  [ -e "$deb" ] || fail "no .deb files in $debs"
  package=$(dpkg-deb -f "$deb" Package) architecture=$(dpkg-deb -f "$deb" Architecture)
  [ "$architecture" = "$arch" ] || [ "$architecture" = all ] || fail "$deb is for $architecture"
  packages[$package]=$deb
done
for package in kestrane-cli libkestrane1 libkestrane-dev python3-kestrane; do
  [ -n "${packages[$package]:-}" ] || fail "no $package package in $debs"
done
window=${packages[kestrane]:+1}
[ -z "$window" ] || [ -e "$demo/libhidapi-libusb.so.0" ] || fail "the window's package needs DEMO-DIR, the hidapi stand-in"

# What this machine's apt fetches bookworm and its security updates from.
repository() {
  # shellcheck disable=SC2016  # apt's own fields
  apt-get indextargets --format '$(RELEASE) $(REPO_URI)' | awk -v release="$1" '$1 == release { print $2; exit }'
}
mirror=${KESTRANE_MIRROR:-$(repository $suite)}
mirror=${mirror:-http://deb.debian.org/debian}
mirror=${mirror%/}
security=$(repository $suite-security)
security=${security%/}

work=$(mktemp -d "${TMPDIR:-/var/tmp}/fresh-root.XXXXXX")
root=$work/root
sim_pid=
# What is mounted under the work folder, innermost first: this script's
# mounts, and those of a debootstrap cut short.
mounted() { awk -v under="$work/" 'index($2, under) == 1 { print $2 }' /proc/self/mounts | tac; }
cleanup() {
  local status=$? point
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2> /dev/null || true
    wait "$sim_pid" 2> /dev/null || true
  fi
  for point in $(mounted); do
    umount "$point" || umount -l "$point" || echo "could not unmount $point" >&2
  done
  # Never into what is still mounted: the host's own files are bound there.
  if [ -n "$(mounted)" ]; then
    echo "left $work: still mounted" >&2
  else
    rm -rf --one-file-system "$work"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
mount_in_root() {  # mount_in_root FOLDER MOUNT-ARGS...
  mkdir -p "$root$1"
  mount "${@:2}" "$root$1"
}
# A command in the root, with the environment a login there would have.
in_root() {
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive "$@"
}

# The base root of this mirror's current release, debootstrapped once.
mkdir -p "$cache"
release=$(wget -qO- "$mirror/dists/$suite/InRelease" | sed -n 's/^Date: //p' | head -n 1) ||
  fail "cannot read $mirror/dists/$suite/InRelease"
[ -n "$release" ] || fail "$mirror/dists/$suite/InRelease has no date"
site=${mirror#*://}
base=$cache/$suite-$arch-${site//[^A-Za-z0-9.-]/_}-$(date -u -d "$release" +%Y%m%d).tar
started=$SECONDS
# One run at a time makes an architecture's root; the others wait for it.
exec {lock}> "$cache/$suite-$arch.lock"
flock "$lock"
if [ ! -f "$base" ]; then
  echo "debootstrapping a $suite root for $arch from $mirror"
  fresh=$work/base
  debootstrap --variant=minbase --arch="$arch" "$suite" "$fresh" "$mirror" > "$work/debootstrap.out" 2>&1 || {
    tail -n 20 "$work/debootstrap.out" "$fresh/debootstrap/debootstrap.log" 2> /dev/null
    fail "debootstrap failed"
  }
  {
    echo "deb $mirror $suite main"
    echo "deb $mirror $suite-updates main"
    [ -z "$security" ] || echo "deb $security $suite-security main"
  } > "$fresh/etc/apt/sources.list"
  # As in any chroot: packages install, but start no service. A root that
  # is thrown away needs no fsync after each file dpkg writes.
  printf '#!/bin/sh\nexit 101\n' > "$fresh/usr/sbin/policy-rc.d"
  chmod 755 "$fresh/usr/sbin/policy-rc.d"
  echo force-unsafe-io > "$fresh/etc/dpkg/dpkg.cfg.d/unsafe-io"
  tar -C "$fresh" --numeric-owner -cf "$base.part" .
  rm -rf --one-file-system "$fresh"
  find "$cache" -maxdepth 1 -name "$suite-$arch-*.tar" ! -path "$base" -delete
  mv "$base.part" "$base"
fi
mkdir "$root"
tar -C "$root" --numeric-owner -xpf "$base"
flock -u "$lock"
rooted=$SECONDS

# What a running system has: /proc, pseudo-terminals of the root's own,
# /dev/shm; and apt's downloads kept for the next run.
mount_in_root /proc -t proc proc
mount_in_root /dev/pts -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts
ln -sf pts/ptmx "$root/dev/ptmx"
mount_in_root /dev/shm -t tmpfs tmpfs
mkdir -p "$cache/apt-$arch"
mount_in_root /var/cache/apt/archives --bind "$cache/apt-$arch"

# apt installs the packages and what they depend on, as a user would.
mkdir "$root/root/debs"
cp "${packages[@]}" "$root/root/debs/"
copies=()
for deb in "${packages[@]}"; do
  copies+=("/root/debs/${deb##*/}")
done
in_root apt-get -q update > "$work/apt.out" 2>&1 || { cat "$work/apt.out"; fail "apt-get update failed"; }
in_root apt-get -q install -y --no-install-recommends "${copies[@]}" > "$work/apt.out" 2>&1 ||
  { cat "$work/apt.out"; fail "apt cannot install ${!packages[*]}"; }
for package in "${!packages[@]}"; do
  # shellcheck disable=SC2016  # dpkg-query's own field
  status=$(in_root dpkg-query -W -f='${Status}' "$package")
  [ "$status" = "install ok installed" ] || fail "$package is $status"
done
[ -z "$(in_root dpkg --audit)" ] || fail "dpkg finds packages half installed: $(in_root dpkg --audit)"
in_root apt-get -q autoclean > /dev/null
installed=$SECONDS

# The programs and the library find everything they link.
linked=(/usr/bin/kestrane-cli "/usr/lib/$multiarch/libkestrane.so.1")
[ -z "$window" ] || linked+=(/usr/bin/kestrane)
for binary in "${linked[@]}"; do
  libraries=$(in_root ldd "$binary") || fail "ldd $binary failed"
  if grep 'not found' <<<"$libraries"; then
    fail "$binary does not find the above"
  fi
done
version=$(in_root kestrane-cli --version) || fail "kestrane-cli --version failed"
[ "$version" = "kestrane-cli $(dpkg-deb -f "${packages[kestrane-cli]}" Version)" ] || fail "kestrane-cli --version says: $version"
in_root test -e "/usr/lib/$multiarch/libkestrane.so" -a -e "/usr/lib/$multiarch/pkgconfig/kestrane.pc" ||
  fail "libkestrane-dev's library link or kestrane.pc is missing"

# Two simulated boards, their flash written out when they stop.
test=/root/test
mkdir "$root$test"
cp "$sim" "$root$test/uart_sim"
{ printf '\002'; head -c 4999 /dev/urandom; } > "$root$test/fw.bin"
in_root kestrane-cli convert "$test/fw.bin" -o "$test/fw.hex" > /dev/null || fail "kestrane-cli convert failed"
coproc boards { exec chroot "$root" "$test/uart_sim" --links "$test" --boards 2 --flash-out "$test/flash" 2> "$work/sim.err"; }
# shellcheck disable=SC2154  # set by coproc
sim_pid=$boards_PID
read -r -t 120 -u "${boards[0]}" ready || true
[ "${ready:-}" = ready ] || fail "uart_sim did not start: $(cat "$work/sim.err")"

# Board 1 through the installed command line, from Intel HEX.
out=$(in_root timeout 300 kestrane-cli flash --port "$test/ttySIM1" "$test/fw.hex" 2>&1) || fail "kestrane-cli flash: $out"
grep -q "$test/ttySIM1  EFM8BB31F64G-QFN32  UART  ok  " <<<"$out" || fail "kestrane-cli flash said: $out"
# Board 2 through the installed module and library, from the raw binary.
out=$(in_root timeout 300 python3 - "$test/ttySIM2" "$test/fw.bin" 2>&1 <<'PYTHON'
import sys
import kestrane

assert kestrane.__file__ == "/usr/lib/python3/dist-packages/kestrane/__init__.py", kestrane.__file__
image = kestrane.load(sys.argv[2])
with kestrane.open(port=sys.argv[1]) as board:
    result = board.flash(image)
print(result.part, result.bytes_written)
PYTHON
) || fail "python3 flashing through kestrane: $out"
[ "$out" = "EFM8BB31F64G-QFN32 5000" ] || fail "kestrane's flash returned: $out"

kill -TERM "$sim_pid"
status=0
wait "$sim_pid" || status=$?
sim_pid=
[ "$status" -eq 0 ] || fail "uart_sim exited $status: $(cat "$work/sim.err")"
for flash in flash flash.2; do
  cmp -n 5000 "$root$test/$flash" "$root$test/fw.bin" || fail "board's $flash does not hold the image"
  grep -qx 'mode application' "$root$test/$flash.state" || fail "board's $flash did not start its application"
done
flashed=$SECONDS

# The window shows itself, against the stand-in of a board on USB.
if [ -n "$window" ]; then
  in_root apt-get -q install -y --no-install-recommends xvfb xauth xdotool > "$work/apt.out" 2>&1 ||
    { cat "$work/apt.out"; fail "apt cannot install Xvfb and xdotool"; }
  mkdir "$root/root/demo"
  cp -L "$demo/libhidapi-libusb.so.0" "$root/root/demo/"
  # shellcheck disable=SC2016  # expanded by the root's shell
  in_root NO_AT_BRIDGE=1 timeout 300 xvfb-run -a -s "-screen 0 1280x1024x24" sh -c '
    LD_LIBRARY_PATH=/root/demo kestrane & pid=$!
    window=$(timeout 60 xdotool search --sync --onlyvisible --name "^Kestrane\$" | head -n 1)
    kill "$pid"; wait "$pid"
    [ -n "$window" ]' > "$work/window.out" 2>&1 || { cat "$work/window.out"; fail "the window did not show itself"; }
fi

times="root $((rooted - started)) s, apt $((installed - rooted)) s, flash $((flashed - installed)) s"
[ -z "$window" ] || times+=", window $((SECONDS - flashed)) s"
echo "$arch: $times"
echo "$arch: ${!packages[*]} installed by apt into a fresh $suite root; boards flashed through kestrane-cli and Python"
