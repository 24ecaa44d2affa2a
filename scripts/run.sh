#!/usr/bin/env bash
# Installs what is missing, builds the utility and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release
cmake --build --preset release --target rv390pkta
# The utility keeps its library module in its working folder; give it one of its own.
mkdir -p build/run
cd build/run
exec ../release/rv390pkta
