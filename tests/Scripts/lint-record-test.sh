#!/usr/bin/env bash
# The lint record's keys depend only on what decides clang-tidy's verdict,
# and the lint the test command runs never rewrites the tracked record.
# Runs against a configured and built tree (BUILD_DIR) with stand-ins for
# clang-tidy and run-clang-tidy on PATH.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:?usage: lint-record-test.sh BUILD_DIR}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

fake_tidy() { # banner lines
  mkdir -p "$work/bin"
  printf '#!/bin/sh\nprintf "%%s\\n" %s\n' "$(printf "'%s' " "$@")" >"$work/bin/clang-tidy"
  printf '#!/bin/sh\nexit 0\n' >"$work/bin/run-clang-tidy"  # a clean lint
  chmod +x "$work/bin/clang-tidy" "$work/bin/run-clang-tidy"
}
keys() { (cd "$root" && PATH="$work/bin:$PATH" python3 scripts/lint-keys.py "$build" "/(VeltranoMac|CameraExtension|tools|tests|bench)/.*\.cpp$"); }

fake_tidy "Debian LLVM version 14.0.6" "  Optimized build." "  Default target: x86_64-pc-linux-gnu" "  Host CPU: skylake-avx512"
keys >"$work/a"
[[ -s $work/a ]] || fail "no keys at all"
fake_tidy "Debian LLVM version 14.0.6" "  Optimized build." "  Default target: x86_64-pc-linux-gnu" "  Host CPU: znver3"
keys >"$work/b"
cmp -s "$work/a" "$work/b" || fail "another processor changed the keys"
fake_tidy "Debian LLVM version 15.0.7" "  Host CPU: znver3"
keys >"$work/c"
cmp -s "$work/a" "$work/c" && fail "another clang-tidy version kept the keys"

# --changed with a record that lacks a source lints that source and writes
# nothing; --record writes the record.
fake_tidy "Debian LLVM version 14.0.6"
record=$work/lint-clean
tail -n +2 "$work/a" >"$record"
before=$(sha256sum <"$record")
run_lint() { (cd "$root" && PATH="$work/bin:$PATH" BUILD_DIR=$build LINT_RECORD=$record bash scripts/lint.sh "$@"); }
run_lint --changed >"$work/changed.out"
grep -q "^lint: 1 of [0-9]* sources changed" "$work/changed.out" || fail "the missing source was not linted: $(cat "$work/changed.out")"
[[ $(sha256sum <"$record") == "$before" ]] || fail "--changed rewrote the record"
run_lint --record >/dev/null
cmp -s "$record" "$work/a" || fail "--record did not write the whole record"
echo "lint record: keys host-independent, --changed read-only, --record writes"
