#!/usr/bin/env bash
# Runs the kernel tests: a Debian kernel under qemu (TCG) with dummy_hcd, the USB HID gadget and uhid, qemu's
# own USB keyboard, mouse and tablet, the host's /usr and the build tree shared read-only; the results come
# back on the guest's serial console. Also the scan yardstick (the library's scan beside hidapi's), when built.
#
# Usage: tests/kernel/run.sh BUILD_DIR [--filter GTEST_FILTER] [--plan FILE] [--keep]
#   --filter  runs only the tests matching the GoogleTest filter (default: all)
#   --plan    a shell fragment the guest runs instead of the tests (for exploring; see guest-init.sh)
#   --keep    keeps the guest's work folder (BUILD_DIR/kernel-tests) for a look afterwards
# Exit status: 0 every test passed, 1 a test failed or the guest did not finish, 77 skipped because qemu
# or the kernel package cannot be had. Everything it needs it installs with apt-get (as root, or via sudo).
# Downloads are kept in ${RV_KERNEL_CACHE:-~/.cache/rv390pkta-kernel}; delete that folder to start cold.
set -euo pipefail

readonly SKIP=77
here=$(cd "$(dirname "$0")" && pwd)
started=$SECONDS

skip() {
    echo "kernel tests SKIPPED: $*" >&2
    exit $SKIP
}
fail() {
    echo "kernel tests FAILED: $*" >&2
    exit 1
}
phase() { printf '[kernel %3ds] %s\n' $((SECONDS - started)) "$*"; }

# --- arguments ------------------------------------------------------------------------------------------
[ $# -ge 1 ] || fail "usage: $0 BUILD_DIR [--filter GTEST_FILTER] [--plan FILE] [--keep]"
build=$(cd "$1" 2>/dev/null && pwd) || fail "no build folder '$1'"
shift
filter='*'
plan_file=
keep=0
while [ $# -gt 0 ]; do
    case $1 in
    --filter) filter=${2:?--filter needs a value}; shift 2 ;;
    --plan) plan_file=$(realpath "${2:?--plan needs a file}"); shift 2 ;;
    --keep) keep=1; shift ;;
    *) fail "unknown argument '$1'" ;;
    esac
done

programs=("$build/tests/kernel/kernel_hid_tests" "$build/tests/kernel/kernel_utility_tests")
# The scan yardstick: the library's scan beside hidapi's enumeration. Built only where CMake found hidapi
# (hidapi-hidraw); run when it is built and its libraries are on the host.
yardstick="$build/tests/kernel/kernel_scan_yardstick"
if [ -z "$plan_file" ]; then
    for p in "${programs[@]}"; do
        [ -x "$p" ] || fail "$p is not built (build the tree first)"
    done
fi

# --- tools ----------------------------------------------------------------------------------------------
as_root=()
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
        as_root=(sudo -n)
    else
        as_root=(false) # installing is impossible; looking up packages still works
    fi
fi

apt_install() {
    local apt=("${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -qq -o=Dpkg::Use-Pty=0)
    "${apt[@]}" install -y --no-install-recommends "$@" >/dev/null 2>&1 && return 0
    # A fresh machine may not have read the package lists yet, or they have gone stale.
    "${apt[@]}" update >/dev/null 2>&1 || return 1
    "${apt[@]}" install -y --no-install-recommends "$@" >/dev/null 2>&1
}

if ! command -v qemu-system-x86_64 >/dev/null; then
    phase "installing qemu-system-x86"
    apt_install qemu-system-x86 || skip "qemu-system-x86 cannot be installed (apt-get failed, or not root)"
    command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 is still missing after the install"
fi
for tool in apt-get apt-cache dpkg-deb gzip flock; do
    command -v $tool >/dev/null || skip "$tool is missing"
done

# hidapi only as a yardstick for the scan (the product never links it): without it the yardstick is left
# out, not the kernel tests. The guest uses the host's /usr, so the host's install is the guest's.
yardstick_note=
if ! dpkg-query -W -f='${Status}' libhidapi-dev 2>/dev/null | grep -q "install ok installed"; then
    phase "installing libhidapi-dev (the scan yardstick)"
    apt_install libhidapi-dev || yardstick_note="skipped: libhidapi-dev cannot be installed (apt-get failed, or not root)"
fi
if [ -z "$yardstick_note" ]; then
    if [ ! -x "$yardstick" ]; then
        yardstick_note="skipped: kernel_scan_yardstick is not built (hidapi was missing when $build was configured: run cmake on it again and build)"
    elif ldd "$yardstick" 2>/dev/null | grep -q 'not found'; then
        yardstick_note="skipped: kernel_scan_yardstick misses a library (libhidapi-dev removed since it was built?)"
    fi
fi

# --- the kernel, its modules and busybox, cached --------------------------------------------------------
cache=${RV_KERNEL_CACHE:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/rv390pkta-kernel}
mkdir -p "$cache"
exec 9>"$cache/lock"
flock 9 # one run fills the cache at a time

# What the guest needs: the USB host and gadget sides, HID, uhid, the xHCI controller of qemu's own USB HID
# devices, and 9p over virtio for the shares. Their dependencies (usbcore, udc-core, configfs, hid, netfs,
# xhci-hcd, ...) are found from the modules themselves. A cache filled for another list is filled again.
wanted=(dummy_hcd libcomposite usb_f_hid usbhid hid_generic uhid xhci_pci virtio_pci 9pnet_virtio 9p)

# The "depends=" field of a module's .modinfo section: what `modinfo -F depends` prints.
module_depends() { tr '\0' '\n' <"$1" | sed -n 's/^depends=//p' | tr ',' ' '; }

fill_cache() {
    local pkg work
    pkg=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' |
        head -n1)
    if [ -z "$pkg" ]; then
        "${as_root[@]}" apt-get -qq update >/dev/null 2>&1 || true
        pkg=$(apt-cache depends linux-image-amd64 2>/dev/null |
            sed -n 's/^ *Depends: \(linux-image-[^ ]*\)$/\1/p' | head -n1)
    fi
    [ -n "$pkg" ] || skip "apt-cache knows no kernel package behind linux-image-amd64"
    phase "downloading $pkg and busybox-static"
    work=$(mktemp -d "$cache/fill.XXXXXX")
    trap 'rm -rf "$work"' EXIT # also when a step fails half way
    # apt's download sandbox user cannot write into root's folders: it only warns, so it is silenced.
    (cd "$work" && apt-get download -qq -o APT::Sandbox::User="$(id -un)" "$pkg" busybox-static) \
        >/dev/null 2>&1 || {
        rm -rf "$work"
        skip "apt-get download $pkg busybox-static failed"
    }
    phase "unpacking (dpkg-deb -x, nothing installed)"
    mkdir "$work/kernel" "$work/busybox"
    dpkg-deb -x "$work"/linux-image-*.deb "$work/kernel"
    dpkg-deb -x "$work"/busybox-static_*.deb "$work/busybox"

    local out="$work/ready"
    mkdir -p "$out/modules"
    cp "$work/busybox/bin/busybox" "$out/busybox"
    cp "$work"/kernel/boot/vmlinuz-* "$out/vmlinuz"
    basename "$work"/kernel/lib/modules/* >"$out/release"

    # Every module file by its name, with '-' and '_' alike as the kernel treats them.
    declare -A file_of=()
    local f name
    while IFS= read -r f; do
        name=${f##*/}
        name=${name%%.ko*}
        file_of[${name//-/_}]=$f
    done < <(find "$work"/kernel/lib/modules/*/kernel -name '*.ko*')

    # Depth first: a module's dependencies are loaded before it.
    declare -A placed=()
    place() {
        local m=${1//-/_} src ko dep
        [ -n "${placed[$m]:-}" ] && return 0
        placed[$m]=1
        src=${file_of[$m]:-}
        [ -n "$src" ] || return 0 # built into this kernel
        ko="$out/modules/$m.ko"
        case $src in
        *.ko) cp "$src" "$ko" ;;
        *.ko.xz) xz -dc "$src" >"$ko" ;;
        *.ko.zst) zstd -qdc "$src" >"$ko" ;;
        *) return 1 ;;
        esac
        for dep in $(module_depends "$ko"); do
            place "$dep"
        done
        echo "$m.ko" >>"$out/modules/order"
    }
    for m in "${wanted[@]}"; do
        place "$m"
    done
    echo "$pkg" >"$out/package"
    echo "${wanted[*]}" >"$out/wanted"
    rm -rf "$cache/ready"
    mv "$out" "$cache/ready"
    rm -rf "$work"
    trap - EXIT
}

if [ ! -s "$cache/ready/modules/order" ] || [ "$(cat "$cache/ready/wanted" 2>/dev/null)" != "${wanted[*]}" ]; then
    fill_cache
else
    phase "cached kernel $(cat "$cache/ready/package")"
fi
flock -u 9

# --- the initramfs ---------------------------------------------------------------------------------------
run_dir="$build/kernel-tests"
rm -rf "$run_dir"
root="$run_dir/root"
mkdir -p "$root"/{bb,modules,etc,dev,proc,sys,tmp,run,usr}
cp "$cache/ready/busybox" "$root/bb/busybox"
cp "$cache/ready/modules/"* "$root/modules/"
install -m 0755 "$here/guest-init.sh" "$root/init"

# The host's layout: /bin, /lib, ... are links into /usr (merged /usr) or folders shared on their own.
shares=("usr /usr")
for d in bin sbin lib lib64 libx32; do
    if [ -L "/$d" ]; then
        ln -s "$(readlink "/$d")" "$root/$d"
    elif [ -d "/$d" ]; then
        shares+=("$d /$d")
    fi
done
shares+=("build $build")
printf '%s\n' "${shares[@]}" >"$root/shares"

# The few host settings the programs read: the loader's cache, fonts, users.
for f in ld.so.cache ld.so.conf ld.so.conf.d fonts passwd group nsswitch.conf; do
    [ -e "/etc/$f" ] && cp -a "/etc/$f" "$root/etc/"
done

if [ -n "$plan_file" ]; then
    cp "$plan_file" "$root/plan.sh"
else
    q() { printf "'%s'" "${1//\'/\'\\\'\'}"; }
    {
        echo "run_gtests $(q "${programs[0]}") $(q "$filter") 120"
        echo "run_gtests $(q "${programs[1]}") $(q "$filter") 180"
        [ -n "$yardstick_note" ] || echo "run_gtests $(q "$yardstick") $(q "$filter") 120"
    } >"$root/plan.sh"
fi
# USB HID devices written by others, on qemu's xHCI controller: a keyboard, a mouse and a tablet. The guest
# waits for their hidraw nodes before the plan, so every test runs with them present.
qemu_hid=(usb-kbd usb-mouse usb-tablet)
echo ${#qemu_hid[@]} >"$root/expected-hidraw"

(cd "$root" && find . | "$root/bb/busybox" cpio -o -H newc 2>/dev/null) | gzip -1 >"$run_dir/initrd.gz"

# --- the guest -------------------------------------------------------------------------------------------
phase "booting $(cat "$cache/ready/release") under qemu (TCG)"
virtfs=()
for s in "${shares[@]}"; do
    tag=${s%% *}
    path=${s#* }
    virtfs+=(-virtfs "local,path=$path,mount_tag=$tag,security_model=none,readonly=on")
done
usb=()
for d in "${qemu_hid[@]}"; do
    usb+=(-device "$d,bus=xhci.0")
done
log="$run_dir/console.log"
# Bounded: a guest that hangs is stopped; the tests inside have their own, shorter limits.
set +e
timeout --kill-after=10 "${RV_KERNEL_TIMEOUT:-600}" \
    qemu-system-x86_64 -accel tcg -m 2048 -smp 2 -nographic -nodefaults -no-reboot \
    -serial stdio -nic none \
    -kernel "$cache/ready/vmlinuz" -initrd "$run_dir/initrd.gz" \
    -append "console=ttyS0 panic=-1 quiet loglevel=4" \
    -device qemu-xhci,id=xhci "${usb[@]}" \
    "${virtfs[@]}" </dev/null 2>&1 | tr -d '\r' | tee "$log" | grep --line-buffered '^@@kt ' | sed -u 's/^@@kt //'
qemu_status=${PIPESTATUS[0]}
set -e

summary=$(grep '^@@kt DONE ' "$log" | tail -n1 | sed 's/^@@kt DONE //' || true) # none: the guest did not finish
[ $keep -eq 1 ] || rm -rf "$root" "$run_dir/initrd.gz"
if [ -z "$summary" ]; then
    echo "--- console (last 60 lines) ---"
    tail -n 60 "$log"
    fail "the guest did not finish (qemu exit $qemu_status); console in $log"
fi
passed=$(echo "$summary" | sed -n 's/.*passed=\([0-9]*\).*/\1/p')
failed=$(echo "$summary" | sed -n 's/.*failed=\([0-9]*\).*/\1/p')
phase "done"
# The yardstick's figures once more, next to the result (they are printed under its test too).
if [ -z "$plan_file" ]; then
    scan=$(grep '^@@kt   scan: ' "$log" | tail -n1 | sed 's/^@@kt   //' || true)
    if [ -n "$scan" ]; then
        echo "$scan"
    elif [ -n "$yardstick_note" ]; then
        echo "scan yardstick $yardstick_note"
    fi
fi
echo "kernel: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ] || exit 1
