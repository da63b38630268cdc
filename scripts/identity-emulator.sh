#!/usr/bin/env bash
# Starts and stops the identity service's local emulator (firebase-tools from
# tools/node: the Auth emulator only, no UI, project demo-veltrano, offline):
#
#   eval "$(bash scripts/identity-emulator.sh start [--port N])"
#   ...
#   bash scripts/identity-emulator.sh stop "$VELTRANO_AUTH_EMULATOR_STATE"
#
# - start prints shell assignments: VELTRANO_AUTH_EMULATOR (host:port),
#   VELTRANO_AUTH_EMULATOR_PID and VELTRANO_AUTH_EMULATOR_STATE (a folder
#   with its firebase.json and log), and returns once the emulator answers.
#   Without --port it takes a free loopback port, so several can run at once.
# - Its hub and logging ports are free ports too, and its temporary folder
#   (where it writes the hub's locator file) is its state folder: two
#   emulators of one project otherwise refuse each other.
# - stop sends SIGINT to the emulator's node process itself (an npx wrapper
#   would leave it running), waits, and removes the state folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
project=demo-veltrano

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

stop() {
  local state=${1:?usage: identity-emulator.sh stop STATE}
  [[ -f $state/pid ]] || {
    rm -rf "$state"
    return 0
  }
  local pid
  pid=$(cat "$state/pid")
  kill -INT "$pid" 2>/dev/null || true
  for ((i = 0; i < 100; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  rm -rf "$state"
}

start() {
  local port=""
  while (($#)); do
    case $1 in
      --port) port=$2 && shift 2 ;;
      *) echo "identity-emulator: unknown argument $1" >&2 && exit 2 ;;
    esac
  done
  [[ -n $port ]] || port=$(free_port)
  local modules state
  modules=$(bash "$root/scripts/node-packages.sh" tools/node)
  state=$(mktemp -d "${TMPDIR:-/tmp}/veltrano-auth-emulator.XXXXXX")
  cat >"$state/firebase.json" <<EOF
{
  "emulators": {
    "auth": { "host": "127.0.0.1", "port": $port },
    "hub": { "host": "127.0.0.1", "port": $(free_port) },
    "logging": { "host": "127.0.0.1", "port": $(free_port) },
    "ui": { "enabled": false },
    "singleProjectMode": true
  }
}
EOF
  # A session of its own: a Ctrl+C at the terminal reaches the caller, which
  # then stops the emulator in order.
  (cd "$state" && TMPDIR=$state FIREBASE_CLI_DISABLE_UPDATE_CHECK=1 FIREBASE_CLI_EXPERIMENTS="" \
    exec setsid node "$modules/node_modules/firebase-tools/lib/bin/firebase.js" emulators:start \
    --only auth --project "$project" --config "$state/firebase.json" >"$state/log" 2>&1 </dev/null) &
  local pid=$!
  echo "$pid" >"$state/pid"
  # A cold start on a slow machine takes about 15 s.
  for ((i = 0; i < 600; i++)); do
    if curl -sf "http://127.0.0.1:$port/emulator/v1/projects/$project/config" >/dev/null 2>&1; then
      echo "VELTRANO_AUTH_EMULATOR=127.0.0.1:$port"
      echo "VELTRANO_AUTH_EMULATOR_PID=$pid"
      echo "VELTRANO_AUTH_EMULATOR_STATE=$state"
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "identity-emulator: the emulator did not start on port $port:" >&2
  tail -n 20 "$state/log" >&2 || true
  stop "$state"
  exit 1
}

case ${1:-} in
  start) shift && start "$@" ;;
  stop) shift && stop "$@" ;;
  *) echo "usage: identity-emulator.sh start [--port N] | stop STATE" >&2 && exit 2 ;;
esac
