#!/usr/bin/env bash
# clang-tidy over every source file of ours (the checks are in .clang-tidy).
# Takes minutes, so it runs by hand before a submission, not in the test
# command. Exits non-zero on any finding.
#   scripts/lint.sh [file-regex]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh >/dev/null
filter=${1:-'/(VeltranoMac|CameraExtension|tools|tests|bench)/.*\.cpp$'}
output=$(mktemp)
trap 'rm -f "$output"' EXIT
run-clang-tidy -p build -j "$(nproc)" -quiet "$filter" >"$output" 2>&1 || true
grep -v -E '^[0-9]+ warnings? generated|^Suppressed [0-9]+ warnings|^Use -header-filter|^clang-tidy-[0-9]+ ' "$output" || true
# run-clang-tidy's own exit status is unreliable with -quiet: look for findings.
if grep -q -E '(warning|error): .*\[[a-z-]+[a-z.,-]*\]' "$output"; then
  echo "lint: findings above" >&2
  exit 1
fi
echo "lint: clean"
