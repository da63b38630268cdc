#!/usr/bin/env bash
# Installs what is missing, builds, and runs the application from the build
# tree's bundle with the identity emulator and the reference upload service
# behind it:
#
#   bash scripts/run.sh [--stand-in-camera] [URL ...]
#
# - The identity service's local emulator (scripts/identity-emulator.sh,
#   project demo-veltrano) signs people in: no real email is sent. Type any
#   address into the app, then finish the email step from another terminal
#   with `bash scripts/sign-in.sh ADDRESS`, which hands the app the link the
#   email would carry, the way a click on it does.
# - The reference upload service (build/tools/upload-service) listens on a
#   free loopback port and accepts the emulator's ID tokens (when this build
#   has its emulator mode), and keeps the uploaded clips under
#   $XDG_DATA_HOME/veltrano-upload-service/objects (~/.local/share/... when
#   XDG_DATA_HOME is unset).
# - One value, the service's signed-URL endpoint, goes into both
#   build/bundle/share/VeltranoMac/Info.json and the web app's config.json
#   (its origin), with the emulator's settings; both get their previous
#   content back afterwards, so the build's own files are what installs.
# - The continue page (share/VeltranoMac/sign-in-continue/) is served on
#   loopback as the sign-in link's continue URL, so the emulator's link also
#   works when opened in a browser on a desktop that routes veltrano: links
#   to the app.
# - Without a session bus one is started for the run (the app is one
#   instance per bus; scripts/sign-in.sh reaches it there).
# - --stand-in-camera first starts a private PipeWire graph with a test
#   pattern camera (tests/support/private-pipewire.sh), for machines without
#   a webcam; the app then runs inside that graph's environment.
# - Stopping the command (Ctrl+C, SIGTERM, SIGHUP) or closing the app stops
#   everything; the app gets SIGTERM and quits through its own quit
#   sequence (its page saves, the last clip is stored for a later upload).
set -euo pipefail
cd "$(dirname "$0")/.."

stand_in_camera=0
app_args=()
for arg in "$@"; do
  case "$arg" in
    --stand-in-camera) stand_in_camera=1 ;;
    -h | --help)
      sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
      exit 0
      ;;
    *) app_args+=("$arg") ;;
  esac
done

bash scripts/install-deps.sh
# Only what this command runs: the app, its camera program, the reference
# service and the stand-in camera (the tests build with scripts/test.sh).
BUILD_TARGET="VeltranoMac com_brackwood_VeltranoMac_Camera veltrano-upload-service standin-camera" \
  bash scripts/build.sh

bundle=build/bundle
app=$bundle/bin/VeltranoMac
service=build/tools/upload-service/veltrano-upload-service
info_json=$bundle/share/VeltranoMac/Info.json
web_config=$bundle/share/VeltranoMac/WebApp/config.json
continue_page=$bundle/share/VeltranoMac/sign-in-continue
# What scripts/sign-in.sh needs to reach this run: the emulator and the app's bus.
run_state=build/run-state.env
data_home=${XDG_DATA_HOME:-$HOME/.local/share}
storage=$data_home/veltrano-upload-service/objects
mkdir -p "$storage"

run_dir=$(mktemp -d)
chmod 700 "$run_dir"
service_pid=""
app_pid=""
continue_pid=""
bus_pid=""
emulator_state=""
pipewire_state=""
cp "$info_json" "$run_dir/Info.json.saved"
cp "$web_config" "$run_dir/config.json.saved"

stop_process() { # pid, name, seconds to wait for it
  local pid=$1 name=$2 seconds=$3
  [[ -n $pid ]] && kill -0 "$pid" 2>/dev/null || return 0
  echo "run: stopping $name"
  kill -TERM "$pid" 2>/dev/null || true
  for ((i = 0; i < seconds * 10; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    echo "run: $name did not stop within ${seconds} s; killing it" >&2
    kill -KILL "$pid" 2>/dev/null || true
  fi
  wait "$pid" 2>/dev/null || true
}

cleanup() {
  trap - EXIT INT TERM HUP
  # The app first, through its quit sequence (the page's flush is bounded at
  # 10 s, then 1.5 s and the recording's finalize), then what it talks to.
  stop_process "$app_pid" "VeltranoMac" 30
  rm -f "$run_state"
  stop_process "$service_pid" "the upload service" 10
  stop_process "$continue_pid" "the continue page" 5
  if [[ -n $emulator_state ]]; then
    echo "run: stopping the identity emulator"
    bash scripts/identity-emulator.sh stop "$emulator_state" || true
  fi
  if [[ -n $pipewire_state ]]; then
    bash tests/support/private-pipewire.sh stop "$pipewire_state" >/dev/null 2>&1 || true
  fi
  [[ -n $bus_pid ]] && kill "$bus_pid" 2>/dev/null
  cp "$run_dir/Info.json.saved" "$info_json" 2>/dev/null || true
  cp "$run_dir/config.json.saved" "$web_config" 2>/dev/null || true
  rm -rf "$run_dir"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

echo "run: starting the identity emulator (its first start installs it, which takes minutes)"
emulator=$(bash scripts/identity-emulator.sh start) || {
  echo "run: the identity emulator did not start" >&2
  exit 1
}
eval "$emulator"
emulator_state=$VELTRANO_AUTH_EMULATOR_STATE

# The service in a session of its own, so a Ctrl+C reaches only this script,
# which then stops everything in order. Its emulator mode accepts the
# emulator's unsigned ID tokens; a build without it takes a fixed token,
# which no signed-in page has.
service_args=(--listen 127.0.0.1:0 --storage "$storage")
if "$service" --help 2>&1 | grep -q -- --auth-emulator; then
  service_args+=(--auth-emulator --auth-project demo-veltrano)
  uploads_note="it accepts the emulator's signed-in users"
else
  service_args+=(--token "$(head -c 16 /dev/urandom | od -An -tx1 | tr -d ' \n')")
  uploads_note="this build's service cannot check the emulator's sign-ins: it refuses uploads, clips stay pending"
fi
setsid "$service" "${service_args[@]}" >"$run_dir/service.out" 2>"$run_dir/service.err" &
service_pid=$!
endpoint=""
for ((i = 0; i < 100; i++)); do
  endpoint=$(head -n 1 "$run_dir/service.out" 2>/dev/null || true)
  [[ -n $endpoint ]] && break
  if ! kill -0 "$service_pid" 2>/dev/null; then break; fi
  sleep 0.1
done
if [[ ! $endpoint =~ ^(http://127\.0\.0\.1:[0-9]+)/ ]]; then
  echo "run: the upload service did not start:" >&2
  cat "$run_dir/service.err" >&2
  exit 1
fi
endpoint_origin=${BASH_REMATCH[1]}

continue_port=$(free_port)
setsid python3 -m http.server --bind 127.0.0.1 --directory "$continue_page" "$continue_port" \
  >"$run_dir/continue.log" 2>&1 &
continue_pid=$!

# One value for both files: the endpoint in Info.json, its origin in the web
# app's configuration beside the emulator's settings.
sed -i -E "s#(\"VeltranoAnswerVideoSignedURLRequestURL\"[[:space:]]*:[[:space:]]*)\"[^\"]*\"#\1\"$endpoint\"#" "$info_json"
grep -q "\"$endpoint\"" "$info_json" || {
  echo "run: could not set the endpoint in $info_json" >&2
  exit 1
}
cat >"$web_config" <<CONFIG
{
  "apiKey": "fake-api-key",
  "authDomain": "demo-veltrano.firebaseapp.com",
  "projectId": "demo-veltrano",
  "signInContinueURL": "http://127.0.0.1:$continue_port/",
  "endpointBaseURL": "$endpoint_origin",
  "authEmulatorHost": "$VELTRANO_AUTH_EMULATOR"
}
CONFIG

if ((stand_in_camera)); then
  if [[ -f tests/support/private-pipewire.sh ]]; then
    # The graph gets a runtime folder of its own; a Wayland display named
    # relative to the old one must keep working.
    if [[ -n ${WAYLAND_DISPLAY:-} && ${WAYLAND_DISPLAY} != /* && -n ${XDG_RUNTIME_DIR:-} ]]; then
      export WAYLAND_DISPLAY=$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY
    fi
    # The build's own stand-in camera survives any number of consumer
    # reconnections (Debian 12's pipewiresink does not).
    camera_program=()
    [[ -x build/tests/CameraExtension/standin-camera ]] &&
      camera_program=(--camera-program="$PWD/build/tests/CameraExtension/standin-camera")
    graph=$(bash tests/support/private-pipewire.sh start --camera=1280x720@30 "${camera_program[@]}") || {
      echo "run: the stand-in camera did not start" >&2
      exit 1
    }
    eval "$graph"
    pipewire_state=${PRIVATE_PIPEWIRE_STATE:-}
    echo "run: stand-in camera (test pattern, 1280x720) running in a private PipeWire graph"
  else
    echo "run: this checkout has no stand-in camera (tests/support/private-pipewire.sh); going on without" >&2
  fi
fi

# A bus for the app, and for sign-in.sh to reach it, when there is none.
if [[ -z ${DBUS_SESSION_BUS_ADDRESS:-} ]]; then
  bus=$(dbus-daemon --session --fork --print-address=1 --print-pid=1)
  export DBUS_SESSION_BUS_ADDRESS=${bus%%$'\n'*}
  bus_pid=${bus##*$'\n'}
fi

if [[ -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} ]]; then
  echo "run: no display; on a machine without one try: xvfb-run -a bash scripts/run.sh" >&2
fi

setsid "$app" "${app_args[@]}" &
app_pid=$!
printf 'VELTRANO_AUTH_EMULATOR=%q\nDBUS_SESSION_BUS_ADDRESS=%q\nVELTRANO_APP=%q\n' \
  "$VELTRANO_AUTH_EMULATOR" "$DBUS_SESSION_BUS_ADDRESS" "$PWD/$app" >"$run_state"

cat <<MESSAGE
run: VeltranoMac is running (pid $app_pid); stop with Ctrl+C or by closing its window.
run: to sign in, type an email address into the app, press "Email me a sign-in link", then run
run:     bash scripts/sign-in.sh THAT-ADDRESS
run: identity emulator  http://$VELTRANO_AUTH_EMULATOR (project demo-veltrano; no real email is sent)
run: upload endpoint    $endpoint ($uploads_note)
run: clips land in      $storage/<user id>/<session id>/<answer id>/<time>.mp4
run: pending uploads    $data_home/com.brackwood.VeltranoMac/ (pending-uploads.json and recordings/)
MESSAGE

# Until the app ends by itself (its window closed) or this script is stopped.
status=0
wait "$app_pid" || status=$?
app_pid=""
echo "run: VeltranoMac exited with status $status"
exit "$status"
