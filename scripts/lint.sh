#!/usr/bin/env bash
# clang-tidy over our sources (the checks are in .clang-tidy). Exits non-zero
# on any finding.
#
#   scripts/lint.sh [FILE_REGEX]   every matching source (minutes: run it by
#                                  hand before a submission). A clean run of
#                                  all sources records them in .ci/lint-clean;
#                                  commit that file with the change.
#   scripts/lint.sh --changed      only the sources that changed since that
#                                  record; the test command runs this, so a
#                                  finding in changed code fails CI. It only
#                                  reads the record: running the tests never
#                                  changes a tracked file.
#   scripts/lint.sh --record       the same, and when clean it writes the
#                                  record (commit it with the change).
#
# A source has changed when its text, a header of this checkout it includes,
# its compile flags, .clang-tidy or clang-tidy's version differ from the
# recorded clean run (scripts/lint-keys.py).
set -euo pipefail
cd "$(dirname "$0")/.."

all='/(VeltranoMac|CameraExtension|tools|tests|bench)/.*\.cpp$'
changed_only=0
write_record=0
filter=$all
case "${1:-}" in
  --changed) changed_only=1 ;;
  --record) changed_only=1 write_record=1 ;;
  "") ;;
  *) filter=$1 ;;
esac
record=${LINT_RECORD:-.ci/lint-clean}
# The build whose compilation database is linted (scripts/build.sh writes build/).
build=${BUILD_DIR:-build}

if ((!changed_only)); then
  bash scripts/install-deps.sh
  BUILD_DIR=$build bash scripts/build.sh >/dev/null
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 scripts/lint-keys.py "$build" "$filter" >"$work/keys"

if ((changed_only)); then
  touch "$record"
  # Sources whose key is not in the record.
  awk 'NR == FNR { clean[$1] = 1; next } !($1 in clean) { print $2 }' "$record" "$work/keys" >"$work/files"
  total=$(wc -l <"$work/keys")
  count=$(wc -l <"$work/files")
  if ((count == 0)); then
    echo "lint: all $total sources unchanged since the last clean run"
    exit 0
  fi
  echo "lint: $count of $total sources changed since the last clean run:"
  sed 's/^/  /' "$work/files"
  # One anchored regex naming exactly these files.
  filter="^$PWD/($(sed 's/[][().*+?^$|\\]/\\&/g' "$work/files" | paste -sd '|'))\$"
fi

run-clang-tidy -p "$build" -j "$(nproc)" -quiet "$filter" >"$work/output" 2>&1 || true
grep -v -E '^[0-9]+ warnings? generated|^Suppressed [0-9]+ warnings|^Use -header-filter|^clang-tidy-[0-9]+ ' \
  "$work/output" || true
# run-clang-tidy's own exit status is unreliable with -quiet: look for findings.
if grep -q -E '(warning|error): .*\[[a-z-]+[a-z.,-]*\]' "$work/output"; then
  echo "lint: findings above" >&2
  exit 1
fi
# Every source is now either unchanged since the record or clean.
if ((write_record)) || { ((!changed_only)) && [[ $filter == "$all" ]]; }; then
  cp "$work/keys" "$record"
  echo "lint: clean; recorded $(wc -l <"$record") sources in $record"
else
  echo "lint: clean"
fi
