#!/usr/bin/env bash
# Runs a command on a session bus and an X display of its own, the way every
# test that opens a window runs: the app is single-instance per bus, so two
# tests sharing one would become one instance.
set -euo pipefail

# A WebKit run without a session bus leaves an empty root-owned
# /.flatpak-info that makes every later WebKit process stall at start-up.
if [[ -f /.flatpak-info && ! -s /.flatpak-info && $(stat -c %u /.flatpak-info) -eq 0 ]]; then
  rm -f /.flatpak-info 2>/dev/null || true
fi

runtime_dir=$(mktemp -d)
chmod 700 "$runtime_dir"
trap 'rm -rf "$runtime_dir"' EXIT
export XDG_RUNTIME_DIR=$runtime_dir GTK_A11Y=none

# xvfb-run -a counts up from its start number; a random start keeps two
# tests starting at once from racing for the same display.
dbus-run-session -- xvfb-run -a -n $((100 + RANDOM % 4000)) -s "-screen 0 1280x800x24" "$@"
