#!/usr/bin/env bash
# Runs a test program with tools/node's npm packages installed (once, into a
# cache outside the checkout) and named in VELTRANO_NODE_MODULES. The node
# that runs them is VELTRANO_NODE, else the one on PATH: Debian 12's node 18
# or newer.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
node=${VELTRANO_NODE:-node}
major=$("$node" -p 'process.versions.node.split(".")[0]' 2>/dev/null || echo 0)
if ((major < 18)); then
  echo "with-node-tools: $node is missing or older than 18; run scripts/install-deps.sh" >&2
  exit 1
fi
VELTRANO_NODE_MODULES=$(bash "$root/scripts/node-packages.sh" tools/node)
export VELTRANO_NODE=$node VELTRANO_NODE_MODULES
exec "$@"
