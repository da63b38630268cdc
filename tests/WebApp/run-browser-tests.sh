#!/usr/bin/env bash
# Runs the web app's node tests (tests/WebApp/*.test.mjs) against one
# identity emulator started for the whole run:
#
#   run-browser-tests.sh [--display] WEB_APP_DIR PAGE_BRIDGE_SCRIPT [TEST_FILE ...]
#
# --display runs node under tests/support/run-with-display.sh (Xvfb and a
# bus of its own). The packages and the emulator are set up outside it, so
# they come from the user's cache, not the wrapper's throw-away one.
set -euo pipefail
display=()
if [[ ${1:-} == --display ]]; then
  display=("$(dirname "$0")/../support/run-with-display.sh")
  shift
fi
root=$(cd "$(dirname "$0")/../.." && pwd)
export VELTRANO_WEB_APP_DIR=${1:?usage: run-browser-tests.sh WEB_APP_DIR PAGE_BRIDGE_SCRIPT [TEST_FILE ...]}
export VELTRANO_PAGE_BRIDGE_SCRIPT=${2:?usage: run-browser-tests.sh WEB_APP_DIR PAGE_BRIDGE_SCRIPT [TEST_FILE ...]}
shift 2
files=("$@")
((${#files[@]})) || files=("$root"/tests/WebApp/*.test.mjs)

VELTRANO_NODE_MODULES=$(bash "$root/scripts/node-packages.sh" WebApp)
export VELTRANO_NODE_MODULES
emulator=$(bash "$root/scripts/identity-emulator.sh" start)
eval "$emulator"
export VELTRANO_AUTH_EMULATOR
trap 'bash "$root/scripts/identity-emulator.sh" stop "$VELTRANO_AUTH_EMULATOR_STATE"' EXIT
"${display[@]}" node --test "${files[@]}"
