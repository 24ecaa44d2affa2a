#!/usr/bin/env bash
# Starts the real utility under Xvfb with the virtual unit attached and takes a screenshot of its main
# window once the unit's settings are shown. Usage: screenshot.sh UTILITY SIM OUT.png
set -euo pipefail
utility=$1 sim=$2 out=$3

if [ -z "${RV_IN_XVFB:-}" ]; then
  for tool in xvfb-run import xwininfo; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
  done
  RV_IN_XVFB=1 exec xvfb-run -a -s "-screen 0 800x600x24" "$0" "$@"
fi

# A real X window to capture, whatever platform the caller's environment chose (tests run offscreen).
# Qt's own messages go to this log, not to the journal, when stderr is no terminal.
export QT_QPA_PLATFORM=xcb QT_FORCE_STDERR_LOGGING=1

work=$(mktemp -d)
cleanup() { jobs -p | xargs -r kill 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"; }
trap cleanup EXIT
export XDG_RUNTIME_DIR=$work/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR" "$work/cwd"
mkfifo "$work/unit.log"

"$sim" --serial DEMO-0001 </dev/null >"$work/unit.log" &
exec 3<"$work/unit.log"
(cd "$work/cwd" && exec "$utility") &
utility_pid=$!

# The unit's own log says when the window has its settings: three answered polls, 600 ms of showing.
replies=0
# Generous: a sanitizer build starting under a loaded machine is slow to show its window.
while [ $replies -lt 3 ] && IFS= read -r -t 45 line <&3; do
  case $line in "reply cmd_get_par"*) replies=$((replies + 1)) ;; esac
done
if [ $replies -lt 3 ]; then
  echo "the utility did not poll the virtual unit"
  if ! kill -0 "$utility_pid" 2>/dev/null; then
    status=0
    wait "$utility_pid" || status=$?
    echo "the utility had ended, with status $status"
  fi
  exit 1
fi
id=$(xwininfo -root -tree | awk '/"RV-390PKTA"/ { print $1; exit }')
[ -n "$id" ] || { echo "no window captioned RV-390PKTA"; exit 1; }
import -window "$id" "$out"
echo "screenshot: $out"
