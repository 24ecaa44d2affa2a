#!/usr/bin/env bash
# Installs what is missing, builds the utility and the virtual unit, and starts both; the unit stops
# when the utility is closed. Arguments go to the virtual unit (for example --boot; see --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target rv390pkta rv390pkta-sim
# Both find each other on the per-user virtual HID bus inside the runtime folder.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  XDG_RUNTIME_DIR=/tmp/rv390pkta-runtime-$(id -u)
  export XDG_RUNTIME_DIR
  # /tmp is shared: a folder someone else made under this name would let them onto the bus.
  [ -d "$XDG_RUNTIME_DIR" ] || mkdir -m 700 "$XDG_RUNTIME_DIR"
  if [ ! -O "$XDG_RUNTIME_DIR" ] || [ "$(stat -c %a "$XDG_RUNTIME_DIR")" != 700 ]; then
    echo "run.sh: $XDG_RUNTIME_DIR is not a private folder of this user; remove it or set XDG_RUNTIME_DIR" >&2
    exit 1
  fi
fi
build/release/sim/rv390pkta-sim "$@" </dev/null &
unit=$!
trap 'kill $unit 2>/dev/null || true' EXIT
# The utility keeps its library file in its working folder; give it one of its own.
mkdir -p build/run
cd build/run
../release/rv390pkta
