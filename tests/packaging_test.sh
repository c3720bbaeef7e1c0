#!/bin/bash
# Installs into a staging DESTDIR and checks that every file lands where its
# standard puts it and passes its standard's validator, then builds the
# Debian package and lints it. Usage: packaging_test.sh BUILD-DIR
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

stage=$work/stage
DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null
app=org.kestrane.Kestrane
for file in \
    usr/bin/kestrane \
    usr/bin/kestrane-cli \
    usr/share/bash-completion/completions/kestrane-cli \
    usr/share/man/man1/kestrane-cli.1.gz \
    usr/lib/udev/rules.d/70-kestrane.rules \
    usr/share/applications/$app.desktop \
    usr/share/metainfo/$app.metainfo.xml \
    usr/share/icons/hicolor/scalable/apps/$app.svg \
    usr/share/man/man1/kestrane.1.gz \
    usr/share/doc/kestrane/copyright; do
  [ -f "$stage/$file" ] || fail "not installed: /$file"
done
[ -x "$stage/usr/bin/kestrane" ] && [ -x "$stage/usr/bin/kestrane-cli" ] || fail "a binary is not executable"

desktop-file-validate "$stage/usr/share/applications/$app.desktop"
appstreamcli validate --no-net --pedantic "$stage/usr/share/metainfo/$app.metainfo.xml" >/dev/null ||
  fail "appstreamcli rejects the metainfo"
for page in kestrane kestrane-cli; do
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

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/package" >/dev/null
deb=$(ls "$work"/package/kestrane_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
grep -q 'libwxgtk3.2-1' <<<"$depends" || fail "no wx dependency: $depends"
grep -q 'libhidapi-libusb0' <<<"$depends" || fail "no hidapi dependency: $depends"
apt-get install --simulate --no-install-recommends "$deb" >/dev/null || fail "apt cannot install the package"
lint=$(lintian --tag-display-limit 0 "$deb" 2>&1 | grep -v 'root privileges' || true)
if grep '^E:' <<<"$lint"; then
  fail "lintian reports errors"
fi
[ -z "$lint" ] || echo "lintian: $lint"
echo "installed files, desktop entry, metainfo, man pages, completion, udev rules and package all check out"
