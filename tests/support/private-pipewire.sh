#!/usr/bin/env bash
# A private PipeWire graph for tests: its own session bus, pipewire and
# wireplumber in a fresh 0700 XDG_RUNTIME_DIR, so nothing reaches (or is
# reached by) a user's real graph, and several tests can run side by side.
#
# Usage:
#   private-pipewire.sh run [options] -- COMMAND [ARGS...]
#       Starts the graph, runs COMMAND with the graph's environment exported,
#       stops everything (also when COMMAND fails or the script is killed by
#       SIGTERM/SIGINT/SIGHUP) and exits with COMMAND's status.
#   private-pipewire.sh start [options]
#       Starts the graph in the background and prints shell lines to eval:
#         export XDG_RUNTIME_DIR=...            the private runtime folder
#         export PIPEWIRE_RUNTIME_DIR=...       same folder, for libpipewire
#         export DBUS_SESSION_BUS_ADDRESS=...   the private session bus
#         export PRIVATE_PIPEWIRE_STATE=...     what `stop` needs
#       e.g.  eval "$(tests/support/private-pipewire.sh start --camera)"
#   private-pipewire.sh stop [STATE]
#       Stops what `start` started (STATE defaults to $PRIVATE_PIPEWIRE_STATE)
#       and removes the runtime folder.
#
# Options:
#   --camera[=WxH@FPS]   also publish a stand-in physical camera: a
#                        Video/Source node (media.role Camera) named
#                        "StandInCamera" sending BGRA WxH at FPS (default
#                        320x240@30). By default it is videotestsrc !
#                        pipewiresink; note that Debian 12's pipewiresink stops
#                        delivering after about four consumer reconnections.
#   --camera-program=PATH  publish the stand-in with this program instead,
#                        run as `PATH NAME WxH@FPS` (the build's
#                        tests/CameraExtension/standin-camera, a pw_stream of
#                        its own that survives any number of reconnections).
#   --camera-name=NAME   node.name and node.description of the stand-in.
#   --no-wireplumber     no session manager: link nodes yourself (pw-link).
#   --timeout=SECONDS    how long to wait for each daemon (default 10).
#
# Within the graph's environment `pw-dump`, `pw-link`, `wpctl` and GStreamer's
# pipewiresrc/pipewiresink see only the private graph. Remember that Debian
# 12's pipewiresrc needs a caps filter downstream (`! video/x-raw !`).
# Exit status of start/run when the graph does not come up: 90.
set -uo pipefail

usage() { sed -n '2,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; }

camera=""
camera_name="StandInCamera"
camera_program=""
wireplumber=1
timeout=10

parse_options() {
  while (($#)); do
    case "$1" in
      --camera) camera="320x240@30" ;;
      --camera=*) camera="${1#--camera=}" ;;
      --camera-name=*) camera_name="${1#--camera-name=}" ;;
      --camera-program=*) camera_program="${1#--camera-program=}" ;;
      --no-wireplumber) wireplumber=0 ;;
      --timeout=*) timeout="${1#--timeout=}" ;;
      --) shift; rest=("$@"); return ;;
      *) echo "private-pipewire.sh: unknown option $1" >&2; usage; exit 2 ;;
    esac
    shift
  done
  rest=()
}

# Waits until COMMAND succeeds or the timeout passes.
wait_for() {
  local deadline=$((SECONDS + timeout))
  until "$@" >/dev/null 2>&1; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}

# Starts one background process in its own process group, noting its pid.
spawn() {
  local log="$1"
  shift
  setsid "$@" >>"$state/$log.log" 2>&1 </dev/null &
  echo $! >>"$state/pids"
}

stop_graph() {
  local dir="$1"
  [[ -n $dir && -d $dir ]] || return 0
  if [[ -f $dir/pids ]]; then
    # Newest first: the stand-in and the session manager before the daemon.
    local pids
    pids=$(tac "$dir/pids")
    for pid in $pids; do kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null; done
    local deadline=$((SECONDS + 5))
    for pid in $pids; do
      while kill -0 "$pid" 2>/dev/null && ((SECONDS < deadline)); do sleep 0.05; done
      kill -KILL -- "-$pid" 2>/dev/null || kill -KILL "$pid" 2>/dev/null
    done
  fi
  rm -rf -- "$dir"
}

start_graph() {
  state=$(mktemp -d "${TMPDIR:-/tmp}/private-pipewire.XXXXXX") || return 90
  chmod 700 "$state"
  : >"$state/pids"
  export XDG_RUNTIME_DIR="$state"
  export PIPEWIRE_RUNTIME_DIR="$state"
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$state/bus"
  # Keep WirePlumber's state (default nodes, stream restore) out of $HOME.
  export XDG_STATE_HOME="$state/state" XDG_CONFIG_HOME="$state/config"
  mkdir -p "$XDG_STATE_HOME" "$XDG_CONFIG_HOME"
  unset PIPEWIRE_REMOTE

  spawn dbus dbus-daemon --session --nofork --nopidfile --address="$DBUS_SESSION_BUS_ADDRESS"
  wait_for test -S "$state/bus" || { echo "private-pipewire.sh: no session bus" >&2; return 90; }
  spawn pipewire pipewire
  wait_for pw-cli info 0 || { echo "private-pipewire.sh: pipewire did not start" >&2; return 90; }
  if ((wireplumber)); then
    spawn wireplumber wireplumber
    wait_for sh -c 'wpctl status | grep -q "WirePlumber"' ||
      { echo "private-pipewire.sh: wireplumber did not start" >&2; return 90; }
  fi
  if [[ -n $camera ]]; then
    local size="${camera%@*}" fps="${camera#*@}"
    if [[ -n $camera_program ]]; then
      spawn camera "$camera_program" "$camera_name" "$camera"
    else
      spawn camera gst-launch-1.0 -q videotestsrc is-live=true \
      ! "video/x-raw,format=BGRA,width=${size%x*},height=${size#*x},framerate=${fps}/1" \
      ! pipewiresink mode=provide \
        stream-properties="props,media.class=Video/Source,media.role=Camera,node.name=$camera_name,node.description=$camera_name"
    fi
    wait_for sh -c "pw-dump | grep -q '\"node.name\": \"$camera_name\"'" ||
      { echo "private-pipewire.sh: the stand-in camera did not appear" >&2; return 90; }
  fi
}

command="${1:-}"
(($#)) && shift
case "$command" in
  run)
    parse_options "$@"
    ((${#rest[@]})) || { usage; exit 2; }
    state=""
    child=""
    trap '[[ -n $child ]] && { kill -TERM "$child" 2>/dev/null; wait "$child"; }; stop_graph "$state"' EXIT
    trap 'exit 143' TERM HUP
    trap 'exit 130' INT
    start_graph || exit 90
    export PRIVATE_PIPEWIRE_STATE="$state"
    "${rest[@]}" &
    child=$!
    wait "$child"
    status=$?
    exit "$status"
    ;;
  start)
    parse_options "$@"
    state=""
    if ! start_graph; then stop_graph "$state"; exit 90; fi
    printf 'export XDG_RUNTIME_DIR=%q\n' "$state"
    printf 'export PIPEWIRE_RUNTIME_DIR=%q\n' "$state"
    printf 'export DBUS_SESSION_BUS_ADDRESS=%q\n' "$DBUS_SESSION_BUS_ADDRESS"
    printf 'export PRIVATE_PIPEWIRE_STATE=%q\n' "$state"
    ;;
  stop)
    stop_graph "${1:-${PRIVATE_PIPEWIRE_STATE:-}}"
    ;;
  *)
    usage
    exit 2
    ;;
esac
