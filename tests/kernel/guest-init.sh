#!/bb/busybox sh
# shellcheck shell=dash
# The guest's first process: kernel file systems, modules, the host's shares, then the test plan; powers off.
# Every line meant for the host starts with "@@kt "; the host reads them from the serial console.
# A passing test's lines marked "[   NOTE   ] " reach the host too, indented under its PASS line.
export PATH=/bb
/bb/busybox --install -s /bb

say() { echo "@@kt $*"; }
finish() {
    sync
    poweroff -f
}

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
# The initramfs has no /dev/console of its own: the kernel could not give init one.
exec </dev/console >/dev/console 2>&1
echo # ends the line the firmware left on the console, which would hide the first "@@kt " line
mount -t tmpfs -o mode=1777 tmpfs /tmp
mount -t tmpfs -o mode=0755 tmpfs /run
# The kernel prints on the console too; only its warnings and worse would interleave with our lines.
echo 4 >/proc/sys/kernel/printk

# Dependency order, resolved on the host from the modules' own "depends=" fields.
while read -r module; do
    insmod "/modules/$module" || say "ERROR insmod $module"
done </modules/order
mount -t configfs configfs /sys/kernel/config || say "ERROR configfs"

# The host's shares, read-only: /usr (programs, Qt, glibc) and the build tree at its own path.
while read -r tag where; do
    mkdir -p "$where"
    mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144,cache=loose,ro "$tag" "$where" ||
        say "ERROR 9p $tag"
done </shares

export HOME=/tmp LANG=C.UTF-8
cd /tmp || finish

say "BOOTED $(uname -r)"

# qemu's own USB HID devices (keyboard, mouse, tablet) enumerate on their xHCI controller meanwhile: every
# test runs with their hidraw nodes present. sysfs has no change notification, so it is looked at, for at
# most 20 s.
hidraw_nodes() { find /sys/class/hidraw -mindepth 1 -maxdepth 1 2>/dev/null | wc -l; }
expected=$(cat /expected-hidraw 2>/dev/null || echo 0)
tries=0
while [ "$(hidraw_nodes)" -lt "$expected" ] && [ $tries -lt 200 ]; do
    sleep 0.1
    tries=$((tries + 1))
done
names=
for node in /sys/class/hidraw/*; do
    [ -e "$node" ] || continue
    names="$names, ${node##*/} $(sed -n 's/^HID_NAME=//p' "$node/device/uevent")"
done
say "DEVICES $(hidraw_nodes) hidraw nodes before the tests${names:+:${names#,}}"
[ "$(hidraw_nodes)" -ge "$expected" ] || say "ERROR only $(hidraw_nodes) of $expected hidraw nodes of qemu's devices"

passed=0
failed=0
# Runs every test of a GoogleTest program, each in a process of its own (the program's globals start
# fresh, as under ctest). $1: program, $2: GoogleTest filter, $3: seconds allowed per test.
run_gtests() {
    program=$1
    filter=${2:-*}
    limit=${3:-120}
    if [ ! -x "$program" ]; then
        say "FAIL $program (missing)"
        failed=$((failed + 1))
        return
    fi
    "$program" --gtest_list_tests --gtest_filter="$filter" >/tmp/list 2>/dev/null
    suite=
    while read -r line; do
        case "$line" in
        "#"* | "") ;;
        *.) suite=$line ;;
        *)
            name="$suite${line%% *}"
            start=$(date +%s)
            timeout "$limit" "$program" --gtest_filter="$name" >/tmp/out 2>&1
            rc=$?
            took=$(($(date +%s) - start))
            if [ $rc -eq 0 ] && grep -q "^\[  PASSED  \] 1 test" /tmp/out; then
                passed=$((passed + 1))
                say "PASS $name (${took} s)"
                # What a passing test has to tell (figures, not checks): its lines marked "[   NOTE   ] ".
                sed -n 's/^\[   NOTE   \] /@@kt   /p' /tmp/out
            elif [ $rc -eq 0 ] && grep -q "^\[  SKIPPED \] 1 test" /tmp/out; then
                say "SKIP $name"
                sed 's/^/@@kt | /' /tmp/out
            else
                failed=$((failed + 1))
                say "FAIL $name (exit $rc, ${took} s)"
                sed 's/^/@@kt | /' /tmp/out
            fi
            ;;
        esac
    done </tmp/list
}

# shellcheck disable=SC1091 # written into the initramfs by run.sh
. /plan.sh
say "DONE passed=$passed failed=$failed"
finish
