#!/usr/bin/env bash
# Installs the npm packages a folder's package-lock.json pins, once per lock,
# into a cache outside the checkout, and prints the folder that holds their
# node_modules:
#
#   modules=$(bash scripts/node-packages.sh tools/node)   # then $modules/node_modules/.bin/...
#
# - The cache is ${VELTRANO_NODE_CACHE:-${XDG_CACHE_HOME:-~/.cache}/veltrano/node}/<folder>-<sha of the lock>:
#   a fresh clone on the same machine reuses it, a changed lock gets a folder
#   of its own, and nothing is written into the checkout.
# - `npm ci` installs exactly the lock (no resolution, no audit); a failed or
#   interrupted install leaves no folder behind that a later run would trust.
# - Node and npm come from Debian (nodejs, npm) when missing; scripts/install-deps.sh
#   installs them with everything else.
set -euo pipefail
cd "$(dirname "$0")/.."

folder=${1:?usage: node-packages.sh FOLDER (holding package.json and package-lock.json)}
folder=${folder%/}
[[ -f $folder/package.json && -f $folder/package-lock.json ]] || {
  echo "node-packages: $folder has no package.json and package-lock.json" >&2
  exit 2
}
command -v npm >/dev/null || {
  echo "node-packages: npm is missing; run scripts/install-deps.sh" >&2
  exit 1
}

cache=${VELTRANO_NODE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/veltrano/node}
key=$(cat "$folder/package.json" "$folder/package-lock.json" | sha256sum | cut -c1-16)
target=$cache/$(echo "$folder" | tr '/' '-')-$key
if [[ -f $target/.installed ]]; then
  echo "$target"
  exit 0
fi

mkdir -p "$cache"
work=$(mktemp -d "$cache/.install-XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$folder/package.json" "$folder/package-lock.json" "$work/"
echo "node-packages: installing $folder's packages into $target" >&2
(cd "$work" && npm ci --no-audit --no-fund --loglevel=error >&2)
touch "$work/.installed"
# Another run may have finished first; either copy is whole.
mv -T "$work" "$target" 2>/dev/null || rm -rf "$work"
trap - EXIT
echo "$target"
