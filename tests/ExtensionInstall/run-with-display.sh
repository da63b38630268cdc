#!/usr/bin/env bash
# Runs a test program that opens windows: a private session bus, a virtual
# X display, no accessibility bus, and a runtime folder of its own.
set -euo pipefail
runtime=$(mktemp -d)
chmod 0700 "$runtime"
trap 'rm -rf "$runtime"' EXIT
export XDG_RUNTIME_DIR=$runtime GTK_A11Y=none
dbus-run-session -- xvfb-run -a -s "-screen 0 1280x800x24" "$@"
