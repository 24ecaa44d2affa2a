#!/usr/bin/env bash
# Runs the whole suite three times under load: a test that waits on time instead of events shows here.
# Builds the default preset, then runs `ctest -j4` three times while a throw-away parallel build of the
# project (in a temporary binary folder, rebuilt from clean whenever it finishes) keeps both cores busy.
# Exits non-zero when any run had a failure. Usage: stress-test.sh [runs, default 3]
#
# KernelHidStack is left out: its qemu guest emulates a CPU on both cores and runs alone (RUN_SERIAL), so
# under this load it measures the emulation's patience rather than the suite's waits.
set -euo pipefail
runs=${1:-3}
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

cmake --preset default >/dev/null
cmake --build --preset default

work=$(mktemp -d)
load_pid=
stop_load() {
    if [ -n "$load_pid" ]; then
        kill -- "-$load_pid" 2>/dev/null || true # the loop and the compilers under it
        wait "$load_pid" 2>/dev/null || true
        load_pid=
    fi
}
trap 'stop_load; rm -rf "$work"' EXIT

cmake -S "$root" -B "$work/load" -DCMAKE_BUILD_TYPE=Release -DRV_BENCHMARKS=OFF >/dev/null
# A process group of its own, so the whole build is ended with it.
setsid bash -c 'while :; do
    cmake --build "$1" -j4 >/dev/null 2>&1 || true
    cmake --build "$1" --target clean >/dev/null 2>&1 || true
done' load "$work/load" &
load_pid=$!

failed_runs=0
summary=()
for run in $(seq 1 "$runs"); do
    log=$work/run-$run.log
    started=$SECONDS
    set +e
    ctest --test-dir build/default -j4 -E KernelHidStack --output-on-failure >"$log" 2>&1
    rc=$?
    set -e
    # ctest's closing line: "97% tests passed, 2 tests failed out of 75"
    line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1 || true)
    total=$(sed -nE 's/.*failed out of ([0-9]+).*/\1/p' <<<"$line")
    failed=$(sed -nE 's/.*passed, ([0-9]+) tests? failed.*/\1/p' <<<"$line")
    skipped=$(grep -c -E '\*\*\*Skipped|Not Run' "$log" || true)
    failing=$(sed -n '/The following tests FAILED:/,$p' "$log" | grep -E '^\s+[0-9]+ - ' |
        sed -E 's/^\s+[0-9]+ - //' | tr '\n' ';' || true)
    text="run $run: ${total:-?} tests, $((${total:-0} - ${failed:-0})) passed, ${failed:-?} failed, $skipped skipped"
    text+=" ($((SECONDS - started)) s, load average $(cut -d' ' -f1 /proc/loadavg))"
    [ -n "$failing" ] && text+=" [$failing]"
    summary+=("$text")
    echo "$text"
    if [ "$rc" -ne 0 ]; then
        failed_runs=$((failed_runs + 1))
        cp "$log" "$root/build/default/stress-run-$run.log"
        echo "  its output: build/default/stress-run-$run.log"
    fi
done
stop_load

echo "---"
printf '%s\n' "${summary[@]}"
if [ "$failed_runs" -ne 0 ]; then
    echo "$failed_runs of $runs runs under load had failures"
    exit 1
fi
echo "$runs of $runs runs under load passed"
