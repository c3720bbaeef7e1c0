#!/bin/bash
# Installs into a staging DESTDIR and checks that every file lands where its
# standard puts it and passes its standard's validator; then builds the Debian
# packages, one per install component, lints them, checks that no file is in
# two of them and that those a host without a desktop installs pull in neither
# wxWidgets nor GTK, and runs those from a root they alone were unpacked into.
# Usage: packaging_test.sh BUILD-DIR
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

packages=" $(sed -n 's/^set(CPACK_COMPONENTS_ALL "\(.*\)")$/\1/p' "$build/CPackConfig.cmake" | tr ';' ' ') "
built() { [[ $packages == *" $1 "* ]]; }
built kestrane-cli || fail "no kestrane-cli package among:$packages"
# What a host without a desktop installs.
headless=()
for package in kestrane-cli libkestrane1 python3-kestrane; do
  built "$package" && headless+=("$package")
done

stage=$work/stage
DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null
app=org.kestrane.Kestrane
files=(usr/bin/kestrane-cli usr/share/bash-completion/completions/kestrane-cli usr/share/man/man1/kestrane-cli.1.gz
  usr/lib/udev/rules.d/70-kestrane.rules)
pages=(kestrane-cli)
if built kestrane; then
  files+=(usr/bin/kestrane usr/share/applications/$app.desktop usr/share/metainfo/$app.metainfo.xml
    usr/share/icons/hicolor/scalable/apps/$app.svg usr/share/man/man1/kestrane.1.gz)
  pages+=(kestrane)
fi
for package in $packages; do
  files+=(usr/share/doc/$package/copyright usr/share/doc/$package/changelog.gz)
done
for file in "${files[@]}"; do
  [ -f "$stage/$file" ] || fail "not installed: /$file"
done
for binary in "$stage"/usr/bin/*; do
  [ -x "$binary" ] || fail "not executable: $binary"
done

# Any prefix, by a user who may write only there (root runs it as nobody,
# where nobody can read the build tree): every file lands under it, by the
# paths cmake names.
prefix=$work/prefix
mkdir -m 777 "$prefix"
chmod 755 "$work"
as_user=()
if [ "$(id -u)" -eq 0 ] && setpriv --reuid=nobody --regid=nogroup --clear-groups test -r "$build/cmake_install.cmake"; then
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  # cmake writes its list of what it installed into the build tree, which
  # such a user would own.
  touch "$build/install_manifest.txt" && chmod 666 "$build/install_manifest.txt"
fi
"${as_user[@]}" cmake --install "$build" --prefix "$prefix" > "$work/install.log" 2>&1 ||
  fail "cmake --install --prefix $prefix as a user: $(tail -n 3 "$work/install.log")"
outside=$(grep -E '^-- (Installing|Up-to-date): ' "$work/install.log" | grep -v -- ": $prefix/" || true)
[ -z "$outside" ] || fail "installed outside the prefix: $outside"
[ -f "$prefix/share/bash-completion/completions/kestrane-cli" ] || fail "no bash completion under the prefix"

if built kestrane; then
  desktop-file-validate "$stage/usr/share/applications/$app.desktop"
  appstreamcli validate --no-net --pedantic "$stage/usr/share/metainfo/$app.metainfo.xml" >/dev/null ||
    fail "appstreamcli rejects the metainfo"
  # Software centres show the newest release as the window's version.
  newest=$(sed -n 's/.*<release version="\([^"]*\)".*/\1/p' "$stage/usr/share/metainfo/$app.metainfo.xml" | head -n 1)
  [ "kestrane-cli $newest" = "$("$stage/usr/bin/kestrane-cli" --version)" ] ||
    fail "the metainfo's newest release is $newest, not the version kestrane-cli says"
fi
for page in "${pages[@]}"; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$stage/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page(1) renders with warnings: $warnings"
done

# The completion completes commands and options.
completion=$(bash -c 'source /usr/share/bash-completion/bash_completion; source "$1"
  complete_line() {
    COMP_LINE=$1 COMP_POINT=${#1}
    read -ra COMP_WORDS <<<"$1"
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _kestrane_cli
    echo "${COMPREPLY[*]}"
  }
  complete_line "kestrane-cli fl"
  complete_line "kestrane-cli flash --de"' sh "$stage/usr/share/bash-completion/completions/kestrane-cli")
[ "$completion" = $'flash\n--device --delta' ] || fail "bash completion offers: $completion"

# Each rule matches one bootloader's USB device node and nothing else.
rule=$stage/usr/lib/udev/rules.d/70-kestrane.rules
rules=$(grep -v '^#' "$rule" | grep -c .)
[ "$rules" -eq 3 ] || fail "expected three rules, found $rules"
for product in eac9 eaca eacb; do
  keys=$(grep "idProduct}==\"$product\"" "$rule" | tr ',' '\n' | sed 's/^ *//' | grep '==' | sort | tr '\n' ' ')
  [ "$keys" = "ATTR{idProduct}==\"$product\" ATTR{idVendor}==\"10c4\" ENV{DEVTYPE}==\"usb_device\" SUBSYSTEM==\"usb\" " ] ||
    fail "unexpected match keys for $product: $keys"
done
[ "$(grep -c 'TAG+="uaccess"' "$rule")" -eq 3 ] || fail "a rule does not grant uaccess"
# udevadm reads every rules file and names each line it cannot parse.
mkdir "$work/rules"
cp "$rule" "$work/rules/"
namespace=(unshare -m)
[ "$(id -u)" -eq 0 ] || namespace=(unshare -r -m)
parsed=$("${namespace[@]}" sh -c 'mount --bind "$1" /etc/udev/rules.d && udevadm test --action=add /sys/class/net/lo' \
  sh "$work/rules" 2>&1 || true)
grep -q 'Reading rules file: /etc/udev/rules.d/70-kestrane.rules' <<<"$parsed" || fail "udevadm did not read the rule"
if grep '70-kestrane.rules:[0-9]' <<<"$parsed"; then
  fail "udevadm rejects the rule"
fi

# One package per component, named after it.
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/package" >/dev/null
debs=("$work"/package/*.deb)
declare -A deb
for file in "${debs[@]}"; do
  name=$(dpkg-deb -f "$file" Package)
  built "$name" || fail "a package of no component: $name"
  deb[$name]=$file
done
for package in $packages; do
  [ -n "${deb[$package]:-}" ] || fail "no package $package"
done
[ ${#debs[@]} -eq ${#deb[@]} ] || fail "two packages of one name among: ${debs[*]}"
twice=$(for file in "${debs[@]}"; do dpkg-deb -c "$file" | awk '$6 !~ /\/$/ { print $6 }'; done | sort | uniq -d)
[ -z "$twice" ] || fail "in two packages: $twice"

lint=$(TMPDIR=$work lintian --tag-display-limit 0 "${debs[@]}" 2>&1 | grep -v 'root privileges' || true)
if grep -E '^[EW]:' <<<"$lint"; then
  fail "lintian reports errors or warnings"
fi
[ -z "$lint" ] || echo "lintian: $lint"

depends() { dpkg-deb -f "${deb[$1]}" Depends; }
# The C API's reference, where doxygen made it, with Debian's jQuery.
if [ -f "$build/api-reference/html/index.html" ]; then
  dpkg-deb -c "${deb[libkestrane-dev]}" | grep '/usr/share/doc/libkestrane-dev/html/index.html$' > /dev/null ||
    fail "libkestrane-dev lacks the C API's reference"
  grep -q 'libjs-jquery' <<<"$(depends libkestrane-dev)" || fail "the reference's jQuery: $(depends libkestrane-dev)"
fi
if built kestrane; then
  grep -q 'libwxgtk3.2-1' <<<"$(depends kestrane)" || fail "no wx dependency: $(depends kestrane)"
  grep -q 'kestrane-cli (= ' <<<"$(depends kestrane)" || fail "the window comes without the udev rule"
fi
grep -q 'libhidapi-libusb0' <<<"$(depends kestrane-cli)" || fail "no hidapi dependency: $(depends kestrane-cli)"

# Neither wxWidgets nor GTK, directly or through what they depend on, for a
# host without a desktop; nor linked by any of their binaries.
gui='wx|gtk|gdk|libx11'
for package in "${headless[@]}"; do
  needs=$(depends "$package" | tr ',|' '\n\n' | sed 's/(.*)//; s/ //g' | grep -vxF -f <(printf '%s\n' $packages) || true)
  [ -n "$needs" ] || continue
  closure=$(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks --no-replaces \
    --no-enhances $needs) || fail "apt-cache does not know what $package depends on: $needs"
  found=$(grep -v '^ ' <<<"$closure" | grep -E "$gui" | sort -u || true)
  [ -z "$found" ] || fail "$package pulls in: $found"
done
root=$work/root
for package in "${headless[@]}"; do
  dpkg-deb -x "${deb[$package]}" "$root"
done
while read -r file; do
  needed=$(readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
  if grep -E "$gui" <<<"$needed"; then
    fail "${file#"$root"} links the above"
  fi
done < <(find "$root" -type f -exec sh -c 'head -c4 "$1" | grep -q ELF' sh {} \; -print)

apt-get install --simulate --no-install-recommends "${debs[@]}" >/dev/null || fail "apt cannot install the packages"

# The packages alone run: unpacked into a root of their own, their library
# and module found there only.
multiarch=$(gcc -print-multiarch)
export LD_LIBRARY_PATH=$root/usr/lib/$multiarch PYTHONPATH=$root/usr/lib/python3/dist-packages
version=$("$root/usr/bin/kestrane-cli" --version) || fail "kestrane-cli --version failed"
[ "$version" = "kestrane-cli $(dpkg-deb -f "${deb[kestrane-cli]}" Version)" ] || fail "kestrane-cli --version says: $version"
if missing=$(ldd "$root/usr/bin/kestrane-cli" | grep 'not found'); then
  fail "kestrane-cli finds no $missing"
fi
if built python3-kestrane; then
  module=$(cd "$work" && python3 -c 'import kestrane; print(kestrane.__file__)') || fail "python3 cannot import kestrane"
  [[ $module == "$root"/* ]] || fail "imported kestrane from $module"
fi
echo "installed files, validators, udev rules and packages (${!deb[*]}) all check out"
