#!/usr/bin/env bash
# The shipped program, started as a user starts it: its window must load the
# bundled web app (nothing but a deep link loaded it once), show it, and end
# cleanly on SIGTERM. Runs under tests/support/run-with-display.sh.
set -euo pipefail
app=${1:?usage: real-app-loads-its-page.sh PATH-TO-VeltranoMac}
log=$(mktemp)
trap 'rm -f "$log"' EXIT

"$app" 2>"$log" &
pid=$!
for ((i = 0; i < 300; i++)); do
  grep -q "Page loaded: app://" "$log" && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q "Page loaded: app://" "$log"; then
  echo "the window never loaded its web app; the program said:" >&2
  cat "$log" >&2
  kill -KILL "$pid" 2>/dev/null || true
  exit 1
fi
grep -q "Page failed to load" "$log" && { cat "$log" >&2; exit 1; }

kill -TERM "$pid"
status=0
wait "$pid" || status=$?
if [[ $status -ne 0 ]] || ! grep -q "Quit sequence finished (SIGTERM); exiting" "$log"; then
  echo "SIGTERM did not end the program through its quit sequence (status $status):" >&2
  cat "$log" >&2
  exit 1
fi
echo "loaded $(grep -o 'Page loaded: [^ ]*' "$log" | head -1) and quit cleanly"
