#!/bin/sh
# Runs a test program that needs a display: a session bus of its own with no
# services to activate (WebKit run as root without a bus leaves an empty
# /.flatpak-info behind that stalls every later WebKit start), Xvfb, no
# accessibility bus, a fresh runtime folder.
set -eu
if [ -f /.flatpak-info ] && [ ! -s /.flatpak-info ] && [ "$(stat -c %u /.flatpak-info)" -eq 0 ]; then
  rm -f /.flatpak-info
fi
runtime=$(mktemp -d)
chmod 700 "$runtime"
trap 'rm -rf "$runtime"' EXIT
XDG_RUNTIME_DIR=$runtime GTK_A11Y=none dbus-run-session --config-file="$(dirname "$0")/session-bus.conf" -- xvfb-run -a -s "-screen 0 1280x800x24" "$@"
