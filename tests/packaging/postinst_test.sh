#!/usr/bin/env bash
# Test: the package's postinst and postrm reload udev only when udevd runs, with the right commands, and never fail.
# Usage: postinst_test.sh SOURCE_DIR. udevadm is a stand-in on PATH; the machine's udev is never touched.
set -euo pipefail
src=$1
tests_dir=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=common.sh
. "$tests_dir/common.sh"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The stand-in logs each call; UDEVD=down makes the ping fail, FAIL=WORD makes calls containing WORD fail.
mkdir "$scratch/bin"
cat >"$scratch/bin/udevadm" <<'STUB'
#!/bin/sh
echo "$*" >>"$UDEVADM_LOG"
case "$*" in *--ping*) [ "${UDEVD:-up}" = up ] || exit 1 ;; esac
[ -n "${FAIL:-}" ] && case "$*" in *"$FAIL"*) exit 1 ;; esac
exit 0
STUB
chmod 755 "$scratch/bin/udevadm"

# run SCRIPT ARG [VAR=VALUE...]: runs the maintainer script with the stand-in; prints its calls, one a line.
run() {
    local script=$1 arg=$2
    shift 2
    : >"$scratch/log"
    env -i PATH="$scratch/bin:/usr/bin:/bin" UDEVADM_LOG="$scratch/log" "$@" /bin/sh "$src/packaging/$script" "$arg" ||
        fail "$script $arg $* exited with $?"
    cat "$scratch/log"
}
calls() { printf '%s\n' "$@"; }

[ -x "$src/packaging/postinst" ] || fail "postinst must be executable"
[ -x "$src/packaging/postrm" ] || fail "postrm must be executable"
[ "$(run postinst configure)" = "$(calls "control --ping" "control --reload-rules" "trigger --subsystem-match=hidraw")" ] ||
    fail "postinst configure with udevd running made the calls: $(run postinst configure)"
[ "$(run postinst configure UDEVD=down)" = "control --ping" ] ||
    fail "postinst configure without udevd made the calls: $(run postinst configure UDEVD=down)"
[ "$(run postinst configure FAIL=reload-rules)" = "$(calls "control --ping" "control --reload-rules")" ] ||
    fail "postinst configure went on to trigger after a failed reload"
[ "$(run postinst configure FAIL=trigger)" = "$(calls "control --ping" "control --reload-rules" "trigger --subsystem-match=hidraw")" ] ||
    fail "postinst configure with a failing trigger"
for arg in abort-upgrade abort-remove abort-deconfigure; do
    [ -z "$(run postinst "$arg")" ] || fail "postinst $arg should not call udevadm"
done
# No udevadm at all (a minimal chroot): nothing to do, and no failure.
env -i PATH=/nonexistent /bin/sh "$src/packaging/postinst" configure || fail "postinst without udevadm failed"
env -i PATH=/nonexistent /bin/sh "$src/packaging/postrm" remove || fail "postrm without udevadm failed"

[ "$(run postrm remove)" = "$(calls "control --ping" "control --reload-rules")" ] ||
    fail "postrm remove with udevd running made the calls: $(run postrm remove)"
[ "$(run postrm purge UDEVD=down)" = "control --ping" ] || fail "postrm purge without udevd"
[ "$(run postrm remove FAIL=reload-rules)" = "$(calls "control --ping" "control --reload-rules")" ] ||
    fail "postrm remove with a failing reload"
[ -z "$(run postrm upgrade)" ] || fail "postrm upgrade should leave udev to the new postinst"

if command -v shellcheck >/dev/null 2>&1; then
    shellcheck -s sh "$src/packaging/postinst" "$src/packaging/postrm" || fail "shellcheck finds faults"
fi
echo "postinst and postrm: reload udev when it runs, never fail"
