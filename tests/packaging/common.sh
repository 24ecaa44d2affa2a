# Shared checks of the packaging tests: tools they need, the installed file list, and an installed tree that works.
# Sourced by install_tree_test.sh and deb_package_test.sh, which set tests_dir; each check prints what went
# wrong and exits non-zero.
# shellcheck shell=bash disable=SC2154

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# need TOOL PACKAGE: the tool, installed from Debian's packages when it is missing and this is root.
need() {
    command -v "$1" >/dev/null 2>&1 && return 0
    if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "installing the Debian package $2 for $1"
        local apt=(apt-get -o DPkg::Lock::Timeout=600 -y -qq --no-install-recommends)
        DEBIAN_FRONTEND=noninteractive "${apt[@]}" install "$2" >/dev/null 2>&1 ||
            { apt-get -o DPkg::Lock::Timeout=600 update -qq >/dev/null 2>&1 &&
                DEBIAN_FRONTEND=noninteractive "${apt[@]}" install "$2" >/dev/null 2>&1; } || true
    fi
    command -v "$1" >/dev/null 2>&1 || fail "$1 is needed: apt-get install $2"
}

# expected_files PREFIX: the files an install must put there, sorted, as absolute paths.
expected_files() {
    grep -v '^#' "$tests_dir/expected_files.txt" | sed "s|^|$1/|" | LC_ALL=C sort
}

# check_file_list ACTUAL_LIST PREFIX: the list holds exactly the expected files.
check_file_list() {
    local diff
    if ! diff=$(diff <(expected_files "$2") <(LC_ALL=C sort "$1")); then
        fail "installed files differ from tests/packaging/expected_files.txt ('<' missing, '>' unexpected):
$diff"
    fi
}

# check_tree ROOT PREFIX SOURCE_DIR VERSION: the tree installed under ROOT (prefix PREFIX) is complete,
# valid and runs. ROOT is a scratch folder; nothing here touches the machine's own folders.
check_tree() {
    local root=$1 prefix=$2 src=$3 version=$4
    local p="$root$prefix" scratch
    scratch=$(mktemp -d)
    # shellcheck disable=SC2064 # expanded now, on purpose
    trap "rm -rf '$scratch'" RETURN

    for f in bin/rv390pkta bin/rv390pkta-sim bin/rv390pkta-cli libexec/rv390pkta/rv390pkta-launch; do
        [ "$(stat -c %a "$p/$f")" = 755 ] || fail "$f should be mode 755, is $(stat -c %a "$p/$f")"
    done
    local id=org.rv390pkta.RV390PKTA
    local desktop="$p/share/applications/$id.desktop" metainfo="$p/share/metainfo/$id.metainfo.xml"
    local icon="$p/share/icons/hicolor/scalable/apps/$id.svg"
    local doc="$p/share/doc/rv390pkta"
    for f in "$p/lib/udev/rules.d/70-rv390pkta.rules" "$desktop" "$icon" "$metainfo" \
        "$p"/share/man/man1/rv390pkta{,-sim,-cli}.1.gz "$p/share/bash-completion/completions/rv390pkta-cli" \
        "$doc/copyright" "$doc/changelog.Debian.gz"; do
        [ "$(stat -c %a "$f")" = 644 ] || fail "${f#"$p/"} should be mode 644, is $(stat -c %a "$f")"
    done
    cmp -s "$p/lib/udev/rules.d/70-rv390pkta.rules" "$src/packaging/70-rv390pkta.rules" ||
        fail "the installed udev rule is not packaging/70-rv390pkta.rules"
    cmp -s "$doc/copyright" "$src/packaging/copyright" || fail "the installed copyright is not packaging/copyright"
    # The package's changelog: gzip, parsed by dpkg without complaint, its newest entry this version's package.
    need dpkg-parsechangelog dpkg-dev
    zcat "$doc/changelog.Debian.gz" >"$scratch/changelog" || fail "changelog.Debian.gz is not gzip"
    local entry
    entry=$(dpkg-parsechangelog -l "$scratch/changelog" -S Version 2>"$scratch/parse") ||
        fail "dpkg-parsechangelog cannot read changelog.Debian: $(cat "$scratch/parse")"
    [ ! -s "$scratch/parse" ] || fail "dpkg-parsechangelog warns about changelog.Debian: $(cat "$scratch/parse")"
    [ "$entry" = "$version-1" ] || fail "the newest changelog.Debian entry is $entry, not $version-1"

    # The desktop entry starts the launcher installed with it, by its full path under the prefix.
    local launcher="$prefix/libexec/rv390pkta/rv390pkta-launch"
    grep -qx "Exec=$launcher" "$desktop" || fail "the desktop entry should say Exec=$launcher: $(grep '^Exec' "$desktop")"
    grep -qx "TryExec=$launcher" "$desktop" || fail "the desktop entry should say TryExec=$launcher"
    grep -qx "Icon=$id" "$desktop" || fail "the desktop entry should name the icon $id: $(grep '^Icon' "$desktop")"
    # The window program gives Qt the entry's name (the Wayland app id, as a UTF-16 literal); X11 reports the
    # program's name as the window class, whatever the application id.
    grep -qaF "$id" <(tr -d '\0' <"$p/bin/rv390pkta") || fail "rv390pkta does not name its desktop entry $id"
    grep -qx "StartupWMClass=rv390pkta" "$desktop" || fail "the desktop entry should say StartupWMClass=rv390pkta"
    need desktop-file-validate desktop-file-utils
    desktop-file-validate "$desktop" || fail "desktop-file-validate refuses the desktop entry"

    # AppStream: valid as it stands, launching the desktop entry above, its newest release this version.
    need appstreamcli appstream
    appstreamcli validate --no-net "$metainfo" >"$scratch/appstream" 2>&1 ||
        fail "appstreamcli refuses the metainfo: $(cat "$scratch/appstream")"
    # The tree as a software centre reads it: the metainfo's desktop entry is there (needs the tree under /usr).
    if [ "$prefix" = /usr ]; then
        appstreamcli validate-tree --no-net "$root" >"$scratch/appstream" 2>&1 ||
            fail "appstreamcli refuses the installed tree: $(cat "$scratch/appstream")"
    fi
    grep -q "<id>$id</id>" "$metainfo" || fail "the metainfo's id is not $id"
    grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" ||
        fail "the metainfo does not launch $id.desktop"
    grep -q "<icon type=\"stock\">$id</icon>" "$metainfo" || fail "the metainfo does not name the icon $id"
    [ "$(grep -o -m 1 '<release version="[^"]*"' "$metainfo")" = "<release version=\"$version\"" ] ||
        fail "the metainfo's newest release is not $version: $(grep -m 1 '<release ' "$metainfo")"
    need xmllint libxml2-utils
    xmllint --noout "$icon" || fail "the icon is not well-formed XML"
    grep -q '<svg' "$icon" || fail "the icon is not an SVG"

    # Man pages: gzip, plain ASCII (groff escapes for anything else), no groff warnings, the version in the header.
    need groff groff-base
    for page in rv390pkta rv390pkta-sim rv390pkta-cli; do
        local man="$p/share/man/man1/$page.1.gz"
        gzip -t "$man" || fail "$page.1.gz is not gzip"
        if zcat "$man" | LC_ALL=C grep -n '[^[:print:][:space:]]' >"$scratch/ascii"; then
            fail "$page.1 is not plain ASCII: $(cat "$scratch/ascii")"
        fi
        zcat "$man" | LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z 2>"$scratch/groff" || fail "groff cannot format $page.1"
        [ ! -s "$scratch/groff" ] || fail "groff warns about $page.1: $(cat "$scratch/groff")"
        zcat "$man" | grep -q "^\.TH .*\"rv390pkta $version\"" || fail "$page.1 does not carry version $version"
    done

    # The programs answer --version and --help before anything else: no window, no library file.
    # Without a display, a utility that went on to start its windows fails rather than waits.
    mkdir "$scratch/cwd"
    local run=(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb timeout 30)
    local out
    out=$(cd "$scratch/cwd" && "${run[@]}" "$p/bin/rv390pkta" --version) ||
        fail "rv390pkta --version failed (does main() call handle_command_line before QApplication?)"
    [ "$out" = "rv390pkta $version" ] || fail "rv390pkta --version printed '$out'"
    out=$(cd "$scratch/cwd" && "${run[@]}" "$p/bin/rv390pkta" --help) || fail "rv390pkta --help failed"
    [[ "$out" == *--version* && "$out" == *--help* ]] || fail "rv390pkta --help printed '$out'"
    [ -z "$(ls -A "$scratch/cwd")" ] || fail "rv390pkta --version or --help left files: $(ls -A "$scratch/cwd")"
    out=$("${run[@]}" "$p/bin/rv390pkta-sim" --version) || fail "rv390pkta-sim --version failed"
    [ "$out" = "rv390pkta-sim $version" ] || fail "rv390pkta-sim --version printed '$out'"
    out=$("${run[@]}" "$p/bin/rv390pkta-sim" --help) || fail "rv390pkta-sim --help failed"
    [[ "$out" == *--version* && "$out" == *--serial* ]] || fail "rv390pkta-sim --help printed '$out'"
    # The command-line program needs no display platform at all.
    local bare=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM timeout 30)
    out=$(cd "$scratch/cwd" && "${bare[@]}" "$p/bin/rv390pkta-cli" --version) || fail "rv390pkta-cli --version failed"
    [ "$out" = "rv390pkta-cli $version" ] || fail "rv390pkta-cli --version printed '$out'"
    out=$(cd "$scratch/cwd" && "${bare[@]}" "$p/bin/rv390pkta-cli" --help) || fail "rv390pkta-cli --help failed"
    [[ "$out" == *--unit* && "$out" == *--all* ]] || fail "rv390pkta-cli --help printed '$out'"
    [ -z "$(ls -A "$scratch/cwd")" ] || fail "rv390pkta-cli --version or --help left files: $(ls -A "$scratch/cwd")"
    bash -n "$p/share/bash-completion/completions/rv390pkta-cli" || fail "the installed completion is not valid bash"

    # The launcher starts the installed utility, from a private folder of the runtime folder.
    mkdir -m 700 "$scratch/run"
    out=$(cd "$scratch/cwd" && XDG_RUNTIME_DIR="$scratch/run" "${run[@]}" "$p/libexec/rv390pkta/rv390pkta-launch" --version) ||
        fail "the launcher did not run rv390pkta --version"
    [ "$out" = "rv390pkta $version" ] || fail "the launcher's rv390pkta --version printed '$out'"
    [ "$(stat -c %a "$scratch/run/rv390pkta")" = 700 ] || fail "the launcher's folder should be private (700)"
}
