#!/usr/bin/env bash
# Runs bench/WebApp/preview-bench.mjs on a 1280x720 30 fps stand-in camera
# in a private PipeWire graph, under Xvfb, with the build in build/.
#   bash bench/WebApp/run-preview-bench.sh [--rounds N] [--seconds S]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${VELTRANO_BUILD_DIR:-$root/build}
export VELTRANO_E2E_HOST=$build/tests/App/app_e2e_host
export VELTRANO_WEB_APP_DIR=$build/bundle/share/VeltranoMac/WebApp
exec bash "$root/tests/support/private-pipewire.sh" run --camera=1280x720@30 \
  --camera-program="$build/tests/CameraExtension/standin-camera" -- \
  bash "$root/tests/support/run-with-display.sh" node "$root/bench/WebApp/preview-bench.mjs" "$@"
