#!/usr/bin/env bash
# Test: cmake --install puts every file in its standard place (into scratch roots only) and the installed tree works.
# Usage: install_tree_test.sh BUILD_DIR SOURCE_DIR VERSION
set -euo pipefail
build=$1 src=$2 version=$3
tests_dir=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=common.sh
. "$tests_dir/common.sh"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The standard places under /usr, as a package has them.
DESTDIR="$scratch/usr-root" cmake --install "$build" --prefix /usr >"$scratch/install.log" ||
    fail "cmake --install failed: $(cat "$scratch/install.log")"
(cd "$scratch/usr-root" && find . ! -type d | sed 's|^\.||') >"$scratch/files"
check_file_list "$scratch/files" /usr
check_tree "$scratch/usr-root" /usr "$src" "$version"
echo "install under /usr: complete, valid, runs"

# Another prefix: the desktop entry follows it, the rest keeps its places.
DESTDIR="$scratch/opt-root" cmake --install "$build" --prefix /opt/rv >"$scratch/install.log" ||
    fail "cmake --install --prefix /opt/rv failed: $(cat "$scratch/install.log")"
(cd "$scratch/opt-root" && find . ! -type d | sed 's|^\.||') >"$scratch/files"
check_file_list "$scratch/files" /opt/rv
desktop="$scratch/opt-root/opt/rv/share/applications/org.rv390pkta.RV390PKTA.desktop"
grep -qx "Exec=/opt/rv/libexec/rv390pkta/rv390pkta-launch" "$desktop" ||
    fail "under /opt/rv the desktop entry says $(grep '^Exec' "$desktop")"
echo "install under /opt/rv: the desktop entry follows the prefix"

# The launcher's working folder, seen through a stand-in utility that prints where it runs and its arguments.
stub="$scratch/stub"
mkdir -p "$stub/bin" "$stub/libexec/rv390pkta"
cp "$scratch/usr-root/usr/libexec/rv390pkta/rv390pkta-launch" "$stub/libexec/rv390pkta/"
cat >"$stub/bin/rv390pkta" <<'STUB'
#!/bin/sh
pwd
for a in "$@"; do echo "[$a]"; done
STUB
chmod 755 "$stub/bin/rv390pkta"
launch="$stub/libexec/rv390pkta/rv390pkta-launch"
mkdir -m 700 "$scratch/run" "$scratch/home"
expect_run() { # expect_run FOLDER OUTPUT...: the stand-in ran in FOLDER, private, and printed the rest
    local folder=$1 got
    shift
    got=$(cat)
    [ "$got" = "$(printf '%s\n' "$folder" "$@")" ] || fail "the launcher ran the utility as: $got"
    [ "$(stat -c %a "$folder")" = 700 ] || fail "$folder should be private (700)"
}
env -i PATH=/usr/bin:/bin HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/run" "$launch" -platform "two words" |
    expect_run "$scratch/run/rv390pkta" "[-platform]" "[two words]"
# Started by a relative name from elsewhere, it still finds the utility beside it.
(cd "$stub/libexec" && env -i PATH=/usr/bin:/bin HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/run" ./rv390pkta/rv390pkta-launch) |
    expect_run "$scratch/run/rv390pkta"
# No runtime folder, or an unusable one: the user's cache folder, never the home folder itself.
env -i PATH=/usr/bin:/bin HOME="$scratch/home" XDG_CACHE_HOME="$scratch/cache" "$launch" |
    expect_run "$scratch/cache/rv390pkta"
env -i PATH=/usr/bin:/bin HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/missing" "$launch" |
    expect_run "$scratch/home/.cache/rv390pkta"
# A working folder that cannot be made: the launcher says so and does not start the utility in the wrong place.
touch "$scratch/not-a-folder"
if env -i PATH=/usr/bin:/bin HOME="$scratch/home" XDG_CACHE_HOME="$scratch/not-a-folder" "$launch" >"$scratch/out" 2>&1; then
    fail "the launcher started the utility without its working folder: $(cat "$scratch/out")"
fi
grep -q "cannot use the working folder" "$scratch/out" || fail "the launcher did not say why: $(cat "$scratch/out")"
[ -z "$(find "$scratch/home" -mindepth 1 -maxdepth 1 ! -name .cache)" ] || fail "the launcher left files in the home folder"
echo "launcher: runs the utility in \$XDG_RUNTIME_DIR/rv390pkta, else the cache folder, with its arguments"
