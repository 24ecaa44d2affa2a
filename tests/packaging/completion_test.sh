#!/usr/bin/env bash
# Test: the shell completion of rv390pkta-cli offers commands, options, connected units, keys, values and files.
# Usage: completion_test.sh SOURCE_DIR. rv390pkta-cli is a stand-in on PATH; no unit is needed.
set -euo pipefail
src=$1
script="$src/packaging/rv390pkta-cli.bash-completion"
tests_dir=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=common.sh
. "$tests_dir/common.sh"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# The stand-in answers "list --no-header" with the file beside it less its header, as the program does.
mkdir "$scratch/bin" "$scratch/files" "$scratch/files/rack"
cat >"$scratch/bin/rv390pkta-cli" <<'STUB'
#!/bin/sh
[ "$*" = "list --no-header" ] || exit 2
[ -s "$0.list" ] || echo "no unit found" >&2
tail -n +2 "$0.list"
STUB
chmod 755 "$scratch/bin/rv390pkta-cli"
cat >"$scratch/bin/rv390pkta-cli.list" <<'LIST'
СЕРИЙНЫЙ_НОМЕР   ВЕРСИЯ  РЕЖИМ      ДОСТУП  ПУТЬ
VU-0001          1.3     обычный    есть    /dev/hidraw3
VU-0002          1.4     загрузчик  нет     /dev/hidraw4
LIST
touch "$scratch/files/studio.cfg" "$scratch/files/fw.voku" "$scratch/files/notes.txt"
cd "$scratch/files"
PATH="$scratch/bin:$PATH"
COMP_WORDBREAKS=$' \t\n"\'><=;|&(:' # bash's own

# offered LINE: what the completion offers at the end of LINE, sorted, on one line. The words are split
# as readline splits them: at blanks, with "=" a word of its own.
offered() {
    local line=$1 w
    local -a blanks
    read -ra blanks <<<"$line"
    COMP_WORDS=()
    for w in "${blanks[@]}"; do
        while [[ $w == *=* ]]; do
            [ -z "${w%%=*}" ] || COMP_WORDS+=("${w%%=*}")
            COMP_WORDS+=("=")
            w=${w#*=}
        done
        [ -z "$w" ] || COMP_WORDS+=("$w")
    done
    [[ $line != *' ' ]] || COMP_WORDS+=('')
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) COMP_LINE=$line COMP_POINT=${#line}
    COMPREPLY=()
    _rv390pkta_cli 2>"$scratch/stderr" || fail "the completion failed after '$line'"
    [ ! -s "$scratch/stderr" ] || fail "the completion wrote to the terminal after '$line': $(cat "$scratch/stderr")"
    [ ${#COMPREPLY[@]} -eq 0 ] || printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd ' ' -
}

# Each case: the line typed, then what the completion should offer at its end.
check_cases() {
    local line expected got
    while IFS='|' read -r line expected; do
        got=$(offered "$line")
        [ "$got" = "$expected" ] || fail "after '$line' the completion offered '$got', not '$expected'"
    done <<'CASES'
rv390pkta-cli |apply check list load monitor reset save serve set show update
rv390pkta-cli apply --|--all --check --diff --json --unit
rv390pkta-cli --all s|save serve set show
rv390pkta-cli -|--all --help --unit --version
rv390pkta-cli update --all --restore -|--jobs --json --yes
rv390pkta-cli monitor --|--all --json --unit
rv390pkta-cli serve --|--ember --read-only
rv390pkta-cli set |agr= analog_gain= headroom= indicators= primary_group= scale= secondary_group= selector= source1= source2= source3= source4= source5= source6= source7= source8= zero_db=
rv390pkta-cli set scale=dB s|secondary_group= selector= source1= source2= source3= source4= source5= source6= source7= source8=
rv390pkta-cli set scale=|dB dBFS
rv390pkta-cli set indicators=s|small
rv390pkta-cli set agr=|off on
rv390pkta-cli set headroom=|
rv390pkta-cli --unit |VU-0001 VU-0002
rv390pkta-cli show --unit=VU-0002|VU-0002
rv390pkta-cli --unit VU-0001 load |rack studio.cfg
rv390pkta-cli update |fw.voku rack
CASES
}

# shellcheck source=../../packaging/rv390pkta-cli.bash-completion
. "$script"
check_cases
echo "completion: commands, options, units, keys, values and files"

# With bash-completion loaded, its file helpers take over; the offers stay the same.
if [ -r /usr/share/bash-completion/bash_completion ]; then
    (
        set +u # bash-completion itself reads unset variables
        # shellcheck source=/dev/null
        . /usr/share/bash-completion/bash_completion
        # shellcheck source=../../packaging/rv390pkta-cli.bash-completion
        . "$script"
        check_cases
    )
    echo "completion with bash-completion loaded: the same"
fi

# No unit connected, or no program at all: nothing offered, and nothing written to the terminal.
: >"$scratch/bin/rv390pkta-cli.list"
[ -z "$(offered 'rv390pkta-cli --unit ')" ] || fail "with no unit the completion offered serial numbers"
rm "$scratch/bin/rv390pkta-cli"
hash -r
[ -z "$(offered 'rv390pkta-cli --unit V')" ] || fail "with no program the completion offered serial numbers"
echo "completion: quiet without units or without the program"

if command -v shellcheck >/dev/null 2>&1; then
    shellcheck -s bash "$script" || fail "shellcheck finds faults in the completion"
fi
