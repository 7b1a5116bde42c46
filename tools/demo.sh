#!/usr/bin/env bash
# Shows the plug-in's identity and a few frames' timestamps.
set -euo pipefail
cd "$(dirname "$0")/.."
echo "Built plug-ins:"
ls -1 build/*/plugin/libtcap.so
