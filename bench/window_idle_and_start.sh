#!/usr/bin/env bash
# The window against a virtual unit: how long after its start the first request reaches the unit
# (median of several starts), and how much of a core it uses while connected and idle.
# Usage: bench/window_idle_and_start.sh [BUILD_DIR]   (default build/release)
# STARTS, SETTLE_SECONDS and IDLE_SECONDS in the environment change the defaults 5, 5 and 60.
# It prints the figures and asserts nothing.
set -euo pipefail

build=${1:-build/release}
starts=${STARTS:-5}
settle=${SETTLE_SECONDS:-5}
idle=${IDLE_SECONDS:-60}
app=$build/rv390pkta
sim=$build/sim/rv390pkta-sim
for program in "$app" "$sim"; do
    [[ -x $program ]] || { echo "no $program: build the release preset first" >&2; exit 1; }
done
app=$(realpath "$app")
sim=$(realpath "$sim")

work=$(mktemp -d)
chmod 700 "$work"
# A private bus and single-instance channel: nothing else running for this user is found.
export XDG_RUNTIME_DIR=$work/run
mkdir -m 700 "$XDG_RUNTIME_DIR"
export QT_QPA_PLATFORM=offscreen
window=
reader_pid=

# Ends the reading of the unit's log.
stop_reading() {
    if [[ -n ${reader_pid:-} ]]; then
        kill "$reader_pid" 2>/dev/null || true
        wait "$reader_pid" 2>/dev/null || true
        reader_pid=
    fi
}

cleanup() {
    if [[ -n $window ]]; then
        kill "$window" 2>/dev/null || true
        wait "$window" 2>/dev/null || true
    fi
    stop_reading
    if [[ -n ${sim_pid:-} ]]; then
        kill "$sim_pid" 2>/dev/null || true # stops it cleanly, as `quit` would
        wait "$sim_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# The unit writes its log into a file, its standard input held open through a FIFO. Its lines are read
# (through tail) only while starts are timed: a reader woken by every poll's line during the idle
# minute would put its own process switches between the window's and make them dearer.
mkfifo "$work/sim.in"
"$sim" <"$work/sim.in" >"$work/sim.log" 2>&1 &
sim_pid=$!
exec 3>"$work/sim.in" # held open: the unit quits when its input ends
coproc SIM { exec tail -n +1 -F "$work/sim.log" 2>/dev/null; }
# shellcheck disable=SC2153 # SIM_PID is set by coproc
reader_pid=$SIM_PID

# Reads the unit's lines until one starting with $1 arrives, at most $2 seconds; prints the moment it
# was read (microseconds since the epoch). Fails when none came in time.
wait_for_line() {
    local prefix=$1 limit=$2 line now
    local deadline=$((${EPOCHREALTIME/./} + limit * 1000000))
    while :; do
        now=${EPOCHREALTIME/./}
        ((now < deadline)) || return 1
        local left_ms=$(((deadline - now) / 1000))
        IFS= read -r -t "$((left_ms / 1000)).$(printf '%03d' $((left_ms % 1000)))" -u "${SIM[0]}" line ||
            return 1
        now=${EPOCHREALTIME/./}
        if [[ $line == "$prefix"* ]]; then
            echo "$now"
            return 0
        fi
    done
}

# Keeps the unit's output flowing (its pipe must not fill up) for $1 seconds.
drain_for() {
    local deadline=$((${EPOCHREALTIME/./} + $1 * 1000000)) now line
    while now=${EPOCHREALTIME/./}; ((now < deadline)); do
        local left_ms=$(((deadline - now) / 1000))
        IFS= read -r -t "$((left_ms / 1000)).$(printf '%03d' $((left_ms % 1000)))" -u "${SIM[0]}" line || true
    done
}

start_window() {
    local folder
    folder=$(mktemp -d "$work/window.XXXXXX") # the window writes its library file where it runs
    cd "$folder"
    "$app" -platform offscreen >"$folder/out.log" 2>&1 &
    window=$!
    cd - >/dev/null
}

stop_window() {
    kill "$window"
    wait "$window" 2>/dev/null || true
    window=
}

# Time on a core of all the window's threads, in nanoseconds (the scheduler's own count, finer than
# the clock ticks of stat).
window_runtime() {
    local total=0 run rest
    for task in /proc/"$window"/task/*/schedstat; do
        read -r run rest <"$task" || continue
        total=$((total + run))
    done
    echo "$total"
}

# Per thread (id, nanoseconds on a core, times it went to sleep, name), for finding who spends it.
window_threads() {
    local run rest switches name
    for task in /proc/"$window"/task/*; do
        read -r run rest <"$task/schedstat" || continue
        switches=$(awk '/^voluntary_ctxt_switches/ { print $2 }' "$task/status") || continue
        name=$(<"$task/comm")
        echo "${task##*/} $run $switches ${name// /_}"
    done
}

wait_for_line "plugged" 10 >/dev/null || { echo "the virtual unit did not come up" >&2; exit 1; }

echo "start to first request ($starts starts):"
times=()
for ((i = 1; i <= starts; ++i)); do
    began=${EPOCHREALTIME/./}
    start_window
    if arrived=$(wait_for_line "command" 10); then
        ms=$(((arrived - began) / 1000))
        times+=("$ms")
        echo "  start $i: $ms ms"
    else
        echo "  start $i: no request within 10 s"
    fi
    if ((i < starts)); then
        stop_window
        drain_for 1 # the unit sees the window go before the next start
    fi
done
if ((${#times[@]} > 0)); then
    mapfile -t sorted < <(printf '%s\n' "${times[@]}" | sort -n)
    echo "  median: ${sorted[$(((${#sorted[@]} - 1) / 2))]} ms"
fi

stop_reading
sleep "$settle"
before_threads=$(window_threads)
before=$(window_runtime)
began=${EPOCHREALTIME/./}
sleep "$idle"
after=$(window_runtime)
ended=${EPOCHREALTIME/./}
after_threads=$(window_threads)
elapsed_us=$((ended - began))
used_ns=$((after - before))
# percent of one core = used / elapsed * 100, printed with three decimals
thousandths=$((used_ns * 100 * 1000 / (elapsed_us * 1000)))
printf 'idle CPU over %d s: %d.%03d %% of one core (%d ms on a core)\n' "$idle" \
    $((thousandths / 1000)) $((thousandths % 1000)) $((used_ns / 1000000))
echo "  by thread: ms on a core, wake-ups per second"
join <(sort <<<"$before_threads") <(sort <<<"$after_threads") |
    awk -v s="$idle" '{ printf "    %-20s %6.1f %6.1f\n", $4, ($5 - $2) / 1e6, ($6 - $3) / s }'
