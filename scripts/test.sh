#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test; ends with CTest's
# summary line.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

# Formatting first: it is cheap and fails fast.
bash scripts/check-format.sh

# A WebKit run without a session bus leaves an empty root-owned
# /.flatpak-info, after which every WebKit process believes it is sandboxed
# and stalls at start-up.
if [[ -f /.flatpak-info && ! -s /.flatpak-info && $(stat -c %u /.flatpak-info) -eq 0 ]]; then
  rm -f /.flatpak-info 2>/dev/null || true
fi

# Fuzzers: a second build folder with clang, each target smoke-run on its
# corpus (ctest label "fuzz").
if [[ -n $(find fuzz -mindepth 2 -name CMakeLists.txt -print -quit) ]]; then
  CC=clang CXX=clang++ BUILD_DIR=build-fuzz BUILD_TARGET=fuzzers bash scripts/build.sh \
    -DVELTRANO_FUZZ=ON -DVELTRANO_WERROR=ON -DVELTRANO_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
  (cd build-fuzz && ctest --output-on-failure -L fuzz -j "$(nproc)")
fi

bash scripts/build.sh -DVELTRANO_WERROR=ON
# clang-tidy on what changed since the last clean full lint (.ci/lint-clean).
bash scripts/lint.sh --changed
cd build
ctest --output-on-failure -j "$(nproc)"
