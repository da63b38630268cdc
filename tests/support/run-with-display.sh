#!/usr/bin/env bash
# Runs one test program that opens windows: its own session bus (the app is
# single-instance per bus, and WebKit without a bus misbehaves as root), its
# own X server, no accessibility bus, and fresh runtime, cache, data and
# configuration folders so nothing lands in the real home folder.
set -euo pipefail

# A WebKit run without a session bus leaves an empty root-owned
# /.flatpak-info, after which every WebKit process believes it is sandboxed
# and stalls at start-up.
if [[ -f /.flatpak-info && ! -s /.flatpak-info && $(stat -c %u /.flatpak-info) -eq 0 ]]; then
  rm -f /.flatpak-info 2>/dev/null || true
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -m 0700 "$scratch/runtime"
mkdir -p "$scratch/cache" "$scratch/data" "$scratch/config"
# Settings (the file chooser writes some) stay in memory: no dconf here.
export GSETTINGS_BACKEND=memory
export XDG_RUNTIME_DIR=$scratch/runtime XDG_CACHE_HOME=$scratch/cache XDG_DATA_HOME=$scratch/data \
  XDG_CONFIG_HOME=$scratch/config GTK_A11Y=none NO_AT_BRIDGE=1 MESA_SHADER_CACHE_DISABLE=true

# The web process sandbox needs user namespaces; where bubblewrap cannot
# create them (containers without CAP_SYS_ADMIN), tests run without it.
if ! bwrap --ro-bind / / --unshare-user --unshare-pid --unshare-net true 2>/dev/null; then
  export WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS=1
fi

# xvfb-run -a counts up from its start number; a random start keeps two
# tests starting at once (ctest -j) from racing for the same display.
dbus-run-session --config-file="$(dirname "$0")/session-test.conf" -- \
  xvfb-run -a -n $((100 + RANDOM % 4000)) -s "-screen 0 1280x800x24" "$@"
