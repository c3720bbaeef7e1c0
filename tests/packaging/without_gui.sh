#!/bin/bash
# Runs a command as on a host where wxWidgets, GTK and X11 were never
# installed: in a mount namespace of its own, their headers, wx-config's
# folder and their pkg-config files are hidden. Their run-time libraries stay,
# but nothing can find them to link against without those.
# Usage: without_gui.sh COMMAND [ARGUMENTS...]
set -euo pipefail
if [ "${KESTRANE_WITHOUT_GUI:-}" != inside ]; then
  namespace=(unshare -m)
  [ "$(id -u)" -eq 0 ] || namespace=(unshare -r -m)
  KESTRANE_WITHOUT_GUI=inside exec "${namespace[@]}" "$0" "$@"
fi
unset KESTRANE_WITHOUT_GUI

multiarch=$(gcc -print-multiarch)
hiding=$(mktemp -d)
covered=()
# A folder bound over another cannot be removed while the binding stands.
trap 'for dir in "${covered[@]}"; do umount "$dir"; done; rm -rf "$hiding"' EXIT
mkdir "$hiding/empty" "$hiding/pkgconfig"
for dir in /usr/include/wx-3.2 /usr/include/gtk-3.0 /usr/include/gdk-pixbuf-2.0 /usr/include/X11 \
    "/usr/lib/$multiarch/wx"; do
  [ ! -d "$dir" ] || { mount --bind "$hiding/empty" "$dir" && covered+=("$dir"); }
done
# Copies, not links: the folder they would point into is the one covered.
pkgconfig=/usr/lib/$multiarch/pkgconfig
for pc in "$pkgconfig"/*.pc; do
  case ${pc##*/} in
    gtk*|gdk*|gail*|x11*|xcb*|wx*) ;;
    *) cp "$pc" "$hiding/pkgconfig/" ;;
  esac
done
mount --bind "$hiding/pkgconfig" "$pkgconfig"
covered+=("$pkgconfig")

"$@"
