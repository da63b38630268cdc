#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test; ends with CTest's
# summary line.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

# A WebKit run without a session bus leaves an empty root-owned
# /.flatpak-info, after which every WebKit process believes it is sandboxed
# and stalls at start-up.
if [[ -f /.flatpak-info && ! -s /.flatpak-info && $(stat -c %u /.flatpak-info) -eq 0 ]]; then
  rm -f /.flatpak-info 2>/dev/null || true
fi

bash scripts/build.sh
cd build
ctest --output-on-failure -j "$(nproc)"
