#!/usr/bin/env bash
# Installs what is missing, builds Sentrel and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target sentrel
exec build/default/sentrel "$@"
