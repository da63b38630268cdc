#!/usr/bin/env bash
# Installs what is missing, builds, and runs the application from the build
# tree's bundle with the reference upload service behind it:
#
#   bash scripts/run.sh [--stand-in-camera] [URL ...]
#
# - The reference upload service (build/tools/upload-service) listens on a
#   free loopback port with a bearer token generated for this run and keeps
#   the uploaded clips under $XDG_DATA_HOME/veltrano-upload-service/objects
#   (~/.local/share/... when XDG_DATA_HOME is unset).
# - build/bundle/share/VeltranoMac/Info.json points at that service while the
#   app runs and gets its previous content back afterwards.
# - The first web app is prefilled through a development file written beside
#   the bundle's WebApp/index.html, and removed again at the end (an
#   installed bundle never has it, so nothing that ships reads it):
#
#     dev-config.js, an ES module:
#       export default { userId, sessionId, answerId, idToken }
#     all four strings; idToken is this run's bearer token, the other three
#     name the development user, session and answer.
#
# - --stand-in-camera first starts a private PipeWire graph with a test
#   pattern camera (tests/support/private-pipewire.sh), for machines without
#   a webcam; the app then runs inside that graph's environment.
# - Stopping the command (Ctrl+C, SIGTERM, SIGHUP) or closing the app stops
#   both programs; the app gets SIGTERM and quits through its own quit
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
web_app=$bundle/share/VeltranoMac/WebApp
data_home=${XDG_DATA_HOME:-$HOME/.local/share}
storage=$data_home/veltrano-upload-service/objects
mkdir -p "$storage"

run_dir=$(mktemp -d)
chmod 700 "$run_dir"
service_pid=""
app_pid=""
pipewire_state=""
dev_config=""
cp "$info_json" "$run_dir/Info.json.saved"

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
  # 10 s, then 1.5 s and the recording's finalize), then the service.
  stop_process "$app_pid" "VeltranoMac" 30
  stop_process "$service_pid" "the upload service" 10
  if [[ -n $pipewire_state ]]; then
    bash tests/support/private-pipewire.sh stop "$pipewire_state" >/dev/null 2>&1 || true
  fi
  [[ -n $dev_config ]] && rm -f "$dev_config"
  cp "$run_dir/Info.json.saved" "$info_json" 2>/dev/null || true
  rm -rf "$run_dir"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# A token of this run only: 32 hex digits from the kernel's generator.
token=$(head -c 16 /dev/urandom | od -An -tx1 | tr -d ' \n')

# Both programs in sessions of their own, so a Ctrl+C reaches only this
# script, which then stops them in order.
setsid "$service" --listen 127.0.0.1:0 --storage "$storage" --token "$token" \
  >"$run_dir/service.out" 2>"$run_dir/service.err" &
service_pid=$!
endpoint=""
for ((i = 0; i < 100; i++)); do
  endpoint=$(head -n 1 "$run_dir/service.out" 2>/dev/null || true)
  [[ -n $endpoint ]] && break
  if ! kill -0 "$service_pid" 2>/dev/null; then break; fi
  sleep 0.1
done
if [[ ! $endpoint =~ ^http://127\.0\.0\.1:[0-9]+/ ]]; then
  echo "run: the upload service did not start:" >&2
  cat "$run_dir/service.err" >&2
  exit 1
fi

# Point the bundle's signed-URL endpoint at this run's service.
sed -i -E "s#(\"VeltranoAnswerVideoSignedURLRequestURL\"[[:space:]]*:[[:space:]]*)\"[^\"]*\"#\1\"$endpoint\"#" "$info_json"
grep -q "\"$endpoint\"" "$info_json" || {
  echo "run: could not set the endpoint in $info_json" >&2
  exit 1
}

user_id=dev-user
session_id=dev-session
answer_id=dev-answer
if [[ -f $web_app/index.html ]]; then
  dev_config=$web_app/dev-config.js
  cat >"$dev_config" <<EOF
// Written by scripts/run.sh for this run only; removed when it ends.
export default { userId: "$user_id", sessionId: "$session_id", answerId: "$answer_id", idToken: "$token" };
EOF
else
  echo "run: no web app in this build ($web_app/index.html); dev-config.js not written"
fi

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

if [[ -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} ]]; then
  echo "run: no display; on a machine without one try: xvfb-run -a bash scripts/run.sh" >&2
fi

setsid "$app" "${app_args[@]}" &
app_pid=$!

cat <<EOF
run: VeltranoMac is running (pid $app_pid); stop with Ctrl+C or by closing its window.
run: upload endpoint  $endpoint  (bearer token $token)
run: clips land in    $storage/$user_id/$session_id/<answer id>/<time>.mp4
run: pending uploads  $data_home/com.brackwood.VeltranoMac/ (pending-uploads.json and recordings/)
EOF

# Until the app ends by itself (its window closed) or this script is stopped.
status=0
wait "$app_pid" || status=$?
app_pid=""
echo "run: VeltranoMac exited with status $status"
exit "$status"
