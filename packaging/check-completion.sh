#!/usr/bin/env bash
# Checks what the bash completion of gantrix offers, in fresh bash sessions that source it.
#
#   check-completion.sh COMPLETION-FILE [GANTRIX]
#
# With GANTRIX, also checks that every command word of the tool's usage text is offered.
# Every case runs; the script lists each failure and exits 1 if there was any.
set -euo pipefail

script=$(realpath "$1")
tool=${2:-}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# A device tree with the kinds of serial devices the port word offers, and one it must not.
root=$scratch/root
mkdir -p "$root/dev/serial/by-id"
touch "$root/dev/ttyUSB0" "$root/dev/ttyUSB1" "$root/dev/ttyACM0" "$root/dev/ttyS0" \
    "$root/dev/serial/by-id/usb-Maker_Board_0042-if00-port0"
# Files for "upgrade".
files=$scratch/files
mkdir -p "$files/images"
touch "$files/firmware.bin" "$files/fw-old.bin" "$files/notes.txt"

# Prints, one a line and sorted, what the completion offers for the words given; the last word
# is the one being completed.
offers()
{
    (cd "$files" && _gantrix_dev_root=$root bash --norc --noprofile -c '
        source "$0" || exit 99
        registration=$(complete -p gantrix) || exit 98
        func=$(sed -n "s/.* -F \([^ ]*\) .*/\1/p" <<<"$registration")
        COMP_WORDS=("$@")
        COMP_CWORD=$(($# - 1))
        COMP_LINE="$*"
        COMP_POINT=${#COMP_LINE}
        "$func" gantrix "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
        if ((${#COMPREPLY[@]})); then printf "%s\n" "${COMPREPLY[@]}" | sort; fi
    ' "$script" gantrix "$@")
}

failures=0
# expect "WORDS BEFORE THE CURSOR" "CURRENT WORD" "EXPECTED WORDS, SPACE-SEPARATED"
expect()
{
    local -a before
    read -r -a before <<<"$1"
    local got want
    got=$(offers "${before[@]}" "$2" | tr '\n' ' ' | sed 's/ $//')
    want=$(tr ' ' '\n' <<<"$3" | sed '/^$/d' | sort | tr '\n' ' ' | sed 's/ $//')
    if [[ $got != "$want" ]]; then
        printf 'FAIL: gantrix %s %s<TAB>\n  want: [%s]\n  got:  [%s]\n' "$1" "$2" "$want" "$got"
        failures=$((failures + 1))
    fi
}

commands="ping id upgrade status home move calibrate precalibrate vend recover"

# The port word.
expect "" "" "/dev/ttyUSB0 /dev/ttyUSB1 /dev/ttyACM0 /dev/serial/by-id/usb-Maker_Board_0042-if00-port0"
expect "" "/dev/ttyU" "/dev/ttyUSB0 /dev/ttyUSB1"
expect "" "/dev/serial/by-id/" "/dev/serial/by-id/usb-Maker_Board_0042-if00-port0"
expect "" "ttyA" "ttyACM0"
expect "" "ttyS" ""
expect "" "./fir" "./firmware.bin"
# The command word, after a port word of either kind.
expect "/dev/ttyUSB0" "" "debug $commands"
expect "ttyUSB0" "p" "ping precalibrate"
expect "ttyUSB0" "de" "debug"
# After the prefix: command words only, no second "debug".
expect "ttyUSB0 debug" "" "$commands"
expect "ttyUSB0 debug" "v" "vend"
expect "ttyUSB0 debug" "de" ""
# move: channel, direction, then a number.
expect "ttyUSB0 move" "" "all x y z z1"
expect "ttyUSB0 move" "z" "z z1"
expect "ttyUSB0 move x" "" "fwd f bwd b mark"
expect "ttyUSB0 debug move y" "b" "bwd b"
expect "ttyUSB0 debug move" "" "all x y z z1"
expect "ttyUSB0 move x fwd" "" ""
# upgrade: file names, once.
expect "ttyUSB0 upgrade" "f" "firmware.bin fw-old.bin"
expect "ttyUSB0 debug upgrade" "" "firmware.bin fw-old.bin images notes.txt"
expect "ttyUSB0 upgrade firmware.bin" "" ""
# Commands with a number or nothing after them offer nothing.
expect "ttyUSB0 vend" "" ""
expect "ttyUSB0 calibrate" "" ""
expect "ttyUSB0 status" "" ""

# Every command word that the tool itself lists.
if [[ -n $tool ]]; then
    # The tool ends with status 1 after its usage text.
    usage_words=$({ "$tool" || true; } | sed -n 's/^\t\t\([a-z]*\).*/\1/p' | sort | tr '\n' ' ')
    if [[ -z $usage_words ]]; then
        echo "FAIL: no command words in the usage text of $tool"
        failures=$((failures + 1))
    fi
    offered=$(offers ttyUSB0 "" | tr '\n' ' ')
    for word in $usage_words; do
        if [[ " $offered " != *" $word "* ]]; then
            echo "FAIL: command word '$word' of the usage text is not offered"
            failures=$((failures + 1))
        fi
    done
fi

if ((failures)); then
    echo "$failures completion case(s) failed"
    exit 1
fi
echo "completion: all cases pass"
