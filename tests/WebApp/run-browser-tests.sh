#!/usr/bin/env bash
# Runs the web app's node tests (tests/WebApp/*.test.mjs) against one
# identity emulator started for the whole run:
#
#   run-browser-tests.sh WEB_APP_DIR PAGE_BRIDGE_SCRIPT [TEST_FILE ...]
set -euo pipefail
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
node --test "${files[@]}"
