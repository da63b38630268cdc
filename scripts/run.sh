#!/usr/bin/env bash
# Installs what is missing, builds, and runs the application from the
# build tree's bundle.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
exec build/bundle/bin/VeltranoMac "$@"
