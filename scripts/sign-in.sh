#!/usr/bin/env bash
# Finishes the email step of signing in, in development: takes the sign-in
# link the identity emulator "sent" to ADDRESS and hands it to the running
# app as the veltrano: link the continue page would open, so it takes the
# same path as a click on the link in a real email.
#
#   bash scripts/sign-in.sh ADDRESS
#
# - Ask for the link in the app first ("Email me a sign-in link").
# - It reads the emulator's links (GET /emulator/v1/projects/demo-veltrano/oobCodes),
#   takes the newest for ADDRESS, opens it without following it (the
#   emulator answers with a redirect to the continue URL carrying the sign-in
#   code) and passes that URL as `veltrano://auth/callback?emailLink=…` to
#   the app, which hands it to the running window.
# - The emulator (host:port), the app and its bus come from the running
#   scripts/run.sh (build/run-state.env, or the file VELTRANO_RUN_STATE
#   names); without that file, from VELTRANO_AUTH_EMULATOR, VELTRANO_APP
#   and DBUS_SESSION_BUS_ADDRESS.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
address=${1:?usage: sign-in.sh ADDRESS (the email address typed into the app)}
project=demo-veltrano

# The run's values win over this terminal's own bus: the app may run on a
# bus of the run's (a private one, or the stand-in camera's).
run_state=${VELTRANO_RUN_STATE:-$root/build/run-state.env}
if [[ -f $run_state ]]; then
  # shellcheck disable=SC1090
  source "$run_state"
fi
emulator=${VELTRANO_AUTH_EMULATOR:-}
app=${VELTRANO_APP:-}
bus=${DBUS_SESSION_BUS_ADDRESS:-}
[[ -n $emulator ]] || {
  echo "sign-in: no identity emulator: start the app with 'bash scripts/run.sh' first" >&2
  exit 1
}
app=${app:-$root/build/bundle/bin/VeltranoMac}

codes=$(curl -sf "http://$emulator/emulator/v1/projects/$project/oobCodes") || {
  echo "sign-in: the identity emulator at $emulator does not answer; is scripts/run.sh still running?" >&2
  exit 1
}
link=$(python3 -c '
import json, sys
address = sys.argv[1].strip().lower()
links = [c["oobLink"] for c in json.loads(sys.argv[2]).get("oobCodes", [])
         if c.get("requestType") == "EMAIL_SIGNIN" and c.get("email", "").lower() == address]
print(links[-1] if links else "")
' "$address" "$codes")
[[ -n $link ]] || {
  echo "sign-in: no sign-in link was sent to $address yet: type it into the app and press \"Email me a sign-in link\"" >&2
  exit 1
}

# What the continue page sees as its own address.
continue_url=$(curl -s -o /dev/null -w '%{redirect_url}' "$link")
[[ -n $continue_url ]] || continue_url=$link
deep_link="veltrano://auth/callback?emailLink=$(python3 -c \
  'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1], safe=""))' "$continue_url")"

DBUS_SESSION_BUS_ADDRESS=$bus "$app" "$deep_link"
echo "sign-in: handed the sign-in link for $address to the app"
