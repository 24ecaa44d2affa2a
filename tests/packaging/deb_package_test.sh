#!/usr/bin/env bash
# Test: cpack -G DEB builds the package with the right files, dependencies and maintainer scripts, and its
# tree, unpacked into a scratch root with dpkg-deb -x, runs. Nothing is installed into this machine.
# Usage: deb_package_test.sh BUILD_DIR SOURCE_DIR VERSION HID_LIB_FILE
set -euo pipefail
build=$1 src=$2 version=$3 hid_lib=$4
tests_dir=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=common.sh
. "$tests_dir/common.sh"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

need dpkg-deb dpkg
need dpkg-shlibdeps dpkg-dev
need cpack cmake

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
    fail "cpack -G DEB failed: $(cat "$scratch/cpack.log")"
arch=$(dpkg --print-architecture)
deb="$scratch/out/rv390pkta_${version}-1_${arch}.deb"
[ -f "$deb" ] || fail "no $(basename "$deb"); cpack made: $(ls "$scratch/out")"
echo "built $(basename "$deb") ($(stat -c %s "$deb") bytes)"

# Files: exactly the expected ones, under /usr, owned by root.
dpkg-deb -c "$deb" >"$scratch/contents" || fail "dpkg-deb -c cannot read the package"
awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' "$scratch/contents" >"$scratch/files"
check_file_list "$scratch/files" /usr
if awk '$2 != "root/root"' "$scratch/contents" | grep -q .; then
    fail "files not owned by root/root: $(awk '$2 != "root/root"' "$scratch/contents")"
fi

# Control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = rv390pkta ] || fail "Package: $(field Package)"
[ "$(field Version)" = "${version}-1" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
maintainer=$(field Maintainer)
[[ "$maintainer" =~ ^[^\<]+\ \<[^@\>]+@[^@\>]+\.[a-z]+\>$ && "$maintainer" != *localhost* ]] ||
    fail "the Maintainer should be a name and a real address: '$maintainer'"
description=$(field Description)
synopsis=$(head -n 1 <<<"$description")
if [ -z "$synopsis" ] || [ "$(wc -l <<<"$description")" -le 2 ]; then
    fail "the Description needs a synopsis and an extended description: $description"
fi
[ "$(sed -n 2p <<<"$description")" != " $synopsis" ] || fail "the extended Description repeats the synopsis"
depends=$(field Depends)
echo "Depends: $depends"
echo "Recommends: $(field Recommends)"
# The names in a Depends list, one a line, without versions or alternatives' bars.
names() { sed 's/[,|]/\n/g' | sed 's/(.*)//; s/[[:space:]]//g' | grep -v '^$' | LC_ALL=C sort -u; }
names <<<"$depends" >"$scratch/depends"
# qt6-translations-l10n: Qt's own Russian texts, which the window loads; no library links them.
for package in libc6 libstdc++6 libgcc-s1 libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 qt6-translations-l10n; do
    grep -qx "$package" "$scratch/depends" || fail "Depends lacks $package: $depends"
done
if grep -E -- '-dev$|gtest|gmock|benchmark' "$scratch/depends"; then
    fail "Depends names build-only packages: $depends"
fi
grep -q '(>=' <<<"$depends" || fail "Depends carries no versions, so dpkg-shlibdeps did not run: $depends"
field Recommends | names | grep -qx udev || fail "Recommends lacks udev: $(field Recommends)"

# The carried HID access library is loaded from memory, so dpkg-shlibdeps never sees it: what it
# needs must already be among the package's dependencies.
mkdir -p "$scratch/shlibs/debian"
printf 'Source: rv390pkta\n\nPackage: rv390pkta\nArchitecture: any\n' >"$scratch/shlibs/debian/control"
hid_depends=$(cd "$scratch/shlibs" && dpkg-shlibdeps -O "$hid_lib" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
[ -n "$hid_depends" ] || fail "dpkg-shlibdeps found nothing for $hid_lib"
for package in $(names <<<"$hid_depends"); do
    grep -qx "$package" "$scratch/depends" || fail "HID_Lib.so needs $package, which the package does not depend on"
done

# Maintainer scripts: ours, executable.
dpkg-deb -e "$deb" "$scratch/control"
for script in postinst postrm; do
    cmp -s "$scratch/control/$script" "$src/packaging/$script" || fail "the package's $script is not packaging/$script"
    [ "$(stat -c %a "$scratch/control/$script")" = 755 ] || fail "$script should be mode 755"
done
[ -f "$scratch/control/md5sums" ] || fail "no md5sums"

# Unpacked into a scratch root: everything in place, stripped, no run paths, and it runs.
dpkg-deb -x "$deb" "$scratch/root"
for program in rv390pkta rv390pkta-sim rv390pkta-cli; do
    elf="$scratch/root/usr/bin/$program"
    if readelf -d "$elf" | grep -E 'RPATH|RUNPATH'; then fail "$program carries a run path"; fi
    if readelf -S "$elf" | grep -q '\.symtab'; then fail "$program is not stripped"; fi
done
# The command-line program runs where no display libraries are wanted: of Qt, it links Qt Core and Qt
# Network (the Ember+ provider) only.
qt_needed=$(readelf -d "$scratch/root/usr/bin/rv390pkta-cli" | sed -n 's/.*Shared library: \[\(libQt6[^]]*\)\].*/\1/p' | sort | paste -sd' ')
[ "$qt_needed" = "libQt6Core.so.6 libQt6Network.so.6" ] || fail "rv390pkta-cli should link only libQt6Core.so.6 and libQt6Network.so.6 of Qt, links: $qt_needed"
grep -q rv390pkta-cli <<<"$(field Description)" || fail "the Description does not mention rv390pkta-cli"
check_tree "$scratch/root" /usr "$src" "$version"

# Debian's own checks: no error or warning, apart from the tags below (one a line, with the reason).
need lintian lintian
allowed=(
    initial-upload-closes-no-bugs # the first entry closes no Debian bug: the package is not uploaded to Debian
)
lintian --fail-on error,warning --tag-display-limit 0 --suppress-tags "$(IFS=,; echo "${allowed[*]}")" \
    "$deb" >"$scratch/lintian" 2>"$scratch/lintian.err" ||
    fail "lintian finds faults in the package: $(cat "$scratch/lintian" "$scratch/lintian.err")"
[ ! -s "$scratch/lintian" ] || echo "lintian, for information: $(cat "$scratch/lintian")"
echo "package: lintian finds no error or warning"
