#!/usr/bin/env bash
# Fuzzes one of the project's parsers with libFuzzer for a while; fails on any crash.
# Usage: fuzz.sh TARGET [seconds, default 60], TARGET being report_descriptor, update_file, reassembly,
# vhid_packets, config_file or ember_frames.
set -euo pipefail
target=${1:?"usage: fuzz.sh report_descriptor|update_file|reassembly|vhid_packets|config_file|ember_frames [seconds]"}
seconds=${2:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build/fuzz/$target
case $target in
    report_descriptor) sources=("$root/hidlib/report_descriptor.cpp") ;;
    update_file) sources=("$root/update/update_file.cpp" "$root/core/file_reason.cpp") ;;
    reassembly) sources=("$root/protocol/reassembly.cpp" "$root/protocol/crc.cpp") ;;
    vhid_packets) sources=("$root/sim/vhid_device.cpp" "$root/hidlib/report_descriptor.cpp") ;;
    # settings.cpp's save() posts to the mailbox: the queue comes along, though the harness never calls it.
    config_file) sources=("$root/ui/config_file.cpp" "$root/ui/settings_block.cpp" "$root/core/file_reason.cpp") ;;
    ember_frames) sources=("$root/ember/s101.cpp" "$root/ember/glow.cpp" "$root/ember/ber.cpp") ;;
    *) echo "unknown fuzz target: $target" >&2; exit 2 ;;
esac
cxx=clang++-14
# The fuzzer runtime comes with libclang-rt-14-dev, not with the compiler package.
runtime=/usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a

have_toolchain() {
    command -v "$cxx" >/dev/null 2>&1 && compgen -G "/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null
}

if ! have_toolchain; then
    sudo=
    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
            sudo=sudo
        else
            echo "skipped: $cxx or its fuzzer runtime is missing and there is no root to install them"
            exit 0
        fi
    fi
    echo "installing clang-14 and libclang-rt-14-dev"
    if ! { $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq \
        --no-install-recommends clang-14 libclang-rt-14-dev >/dev/null; } || ! have_toolchain; then
        echo "skipped: could not install clang-14 with its fuzzer runtime"
        exit 0
    fi
fi
[ -f "$runtime" ] || runtime=$(compgen -G "/usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" | head -1)
echo "fuzzer runtime: $runtime"

flags=()
if [ "$target" = update_file ] || [ "$target" = config_file ] || [ "$target" = ember_frames ]; then
    if ! pkg-config --exists Qt6Core; then
        echo "Qt 6 Core (qt6-base-dev) is missing: run scripts/install-deps.sh first" >&2
        exit 1
    fi
    # Qt is built position-independent, so code using it must be too (-fPIC).
    read -r -a flags <<<"$(pkg-config --cflags --libs Qt6Core) -fPIC"
fi

mkdir -p "$out"
"$cxx" -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -Wall -Wextra \
    -I"$root" "$root/tests/fuzz/${target}_fuzz.cpp" "${sources[@]}" "${flags[@]}" -o "$out/${target}_fuzz"

# Work on a copy so the run's finds do not land in the committed seeds.
corpus=$out/corpus
rm -rf "$corpus"
mkdir -p "$corpus"
cp "$root/tests/fuzz/corpus/$target"/* "$corpus"/
cd "$out" # crash-* reproducers are written here
set +e
"$out/${target}_fuzz" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$out/" \
    -rss_limit_mb=2048 "$corpus"
rc=$?
set -e
if [ "$rc" -ne 0 ]; then
    echo "fuzzing $target found a fault (exit $rc); reproducer in $out/" >&2
    exit "$rc"
fi
echo "fuzzing $target for ${seconds}s found nothing"
