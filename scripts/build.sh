#!/usr/bin/env bash
# Configures and builds into build/ (or $BUILD_DIR; only the targets named in
# $BUILD_TARGET, separated by spaces, when set). Extra arguments go to CMake's
# configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja "$@" >/dev/null
read -r -a targets <<<"${BUILD_TARGET:-}"
cmake --build "$build_dir" ${BUILD_TARGET:+--target "${targets[@]}"}
