#!/usr/bin/env bash
# Checks what the bash completion of gantrix offers, in fresh bash sessions that source it.
#
#   check-completion.sh [--ps1 PS1-FILE] COMPLETION-FILE [GANTRIX]
#
# With GANTRIX, also checks that every command word of the tool's usage text is offered.
# With --ps1, also parses the PowerShell completion (packaging/ps-check, a PowerShell grammar for
# node, installed with npm into build/ps-check the first time) and checks that it offers the same
# words as the bash completion at each place.
# Every case runs; the script lists each failure and exits 1 if there was any.
set -euo pipefail

ps1=
if [[ ${1:-} == --ps1 ]]; then
    ps1=$(realpath "$2")
    shift 2
fi
script=$(realpath "$1")
tool=${2:-}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# A device tree with the kinds of serial devices the port word offers, and one it must not.
root=$scratch/root
mkdir -p "$root/dev/serial/by-id"
touch "$root/dev/ttyUSB0" "$root/dev/ttyUSB1" "$root/dev/ttyACM0" "$root/dev/ttyS0" \
    "$root/dev/serial/by-id/usb-Maker_Board_0042-if00-port0"
# A stand-in for the tool's --list-ports: an adapter with a serial number, one without.
tool_stub=$scratch/gantrix-stub
printf '%s\n' '#!/bin/sh' 'echo "ttyS0  serial"' \
    'echo "ttyUSB0  FT232R USB UART  usb 0403:6001  serial A6008isP  latency 16 ms  /dev/serial/by-id/x"' \
    'echo "ttyUSB1  ch341-uart  usb 1a86:7523"' >"$tool_stub"
chmod +x "$tool_stub"
# Files for "upgrade".
files=$scratch/files
mkdir -p "$files/images"
touch "$files/firmware.bin" "$files/fw-old.bin" "$files/notes.txt"

# Prints, one a line and sorted, what the completion offers for the words given; the last word
# is the one being completed.
offers()
{
    (cd "$files" && _gantrix_dev_root=$root _gantrix_tool=$tool_stub bash --norc --noprofile -c '
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
# usb: words from the listing, once a word starts that way.
expect "" "u" "usb:0403:6001:A6008isP usb:1a86:7523"
expect "--wait-port 30" "usb:04" "usb:0403:6001:A6008isP"
# Switches at the start, each once, with their values; --list-ports and --probe take only each
# other after them, --help and --version nothing.
switches="--help --version --timeout --retries --trace --log --progress --format --base --wait --json
    --list-ports --probe --wait-port --keep-going --each --jobs"
expect "" "--" "$switches"
expect "" "--l" "--list-ports --log"
expect "--trace" "--t" "--timeout"
expect "--progress" "" "plain"
expect "--format" "" "raw ihex srec"
expect "--format" "s" "srec"
expect "--base" "" ""
expect "--format ihex --base 0x8000000 ttyUSB0 upgrade" "fi" "firmware.bin"
expect "--log" "n" "notes.txt"
expect "--timeout" "" ""
expect "--wait" "" ""
expect "--wait-port" "" ""
expect "--wait-port 30" "ttyA" "ttyACM0"
expect "--jobs" "" ""
expect "--each --jobs 4" "ttyA" "ttyACM0"
expect "--help" "" ""
expect "" "-" "-h -V $switches"
expect "-h" "" ""
expect "--version" "" "--json"
expect "-V" "" "--json"
expect "--json --version" "" ""
expect "--wait 5 ttyUSB0" "" "debug shell home move calibrate precalibrate vend recover"
expect "--json ttyUSB0" "" "shell $commands"
expect "--json --wait 9 ttyUSB0" "" "shell home move calibrate precalibrate vend recover"
expect "--timeout 2 --retries 3" "ttyU" "ttyUSB0 ttyUSB1"
expect "--trace --progress plain ttyUSB0" "p" "ping precalibrate"
expect "--log x.log ttyUSB0 debug move" "" "all x y z z1"
expect "--log x.log ttyUSB0 upgrade" "fi" "firmware.bin"
expect "--list-ports" "" "--probe --json"
expect "--probe" "" "--list-ports --json"
expect "--list-ports --probe" "" "--json"
expect "--json --list-ports --probe" "" ""
# The command word, after a port word of either kind.
expect "/dev/ttyUSB0" "" "debug shell $commands"
expect "ttyUSB0" "p" "ping precalibrate"
expect "ttyUSB0" "de" "debug"
# After the prefix: command words only, no second "debug".
expect "ttyUSB0 debug" "" "$commands"
expect "ttyUSB0 debug" "v" "vend"
expect "ttyUSB0 debug" "de" ""
expect "ttyUSB0 debug" "sh" ""
# shell: a script file, once.
expect "ttyUSB0" "sh" "shell"
expect "ttyUSB0 shell" "n" "notes.txt"
expect "ttyUSB0 shell notes.txt" "" ""
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

# The PowerShell completion's word lists, against what the bash completion offers.
if [[ -n $ps1 ]]; then
    here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
    parser=${GANTRIX_PS_CHECK_DIR:-$here/../build/ps-check}
    mkdir -p "$parser"
    cp "$here/ps-check/check.mjs" "$parser/"
    # The grammar's native part is compiled by npm (its prebuilt one needs a newer libstdc++
    # than Debian 12 has): about 25 s, once per lock file.
    (
        flock 9
        if ! cmp -s "$here/ps-check/package-lock.json" "$parser/installed-lock.json"; then
            cp "$here/ps-check/package.json" "$here/ps-check/package-lock.json" "$parser/"
            # node-gyp would fetch node's headers from the network unless it finds them here.
            if [[ -z ${npm_config_nodedir:-} && -f /usr/include/node/node.h ]]; then
                export npm_config_nodedir=/usr
            fi
            (cd "$parser" && npm ci --no-audit --no-fund --no-update-notifier --loglevel=error) >&2
            cp "$here/ps-check/package-lock.json" "$parser/installed-lock.json"
        fi
    ) 9>"$parser.lock"
    if lists=$(node --no-deprecation "$parser/check.mjs" "$ps1"); then
        ps_words() { sed -n "s/^$1 //p" <<<"$lists" | tr ' ' '\n'; }
        same()
        {
            local got want
            got=$(sort <<<"$2" | tr '\n' ' ' | sed 's/ $//')
            want=$(offers "${@:3}" | tr '\n' ' ' | sed 's/ $//')
            if [[ $got != "$want" ]]; then
                printf 'FAIL: %s: PowerShell offers [%s], bash [%s]\n' "$1" "$got" "$want"
                failures=$((failures + 1))
            fi
        }
        same "port, then" "$(ps_words prefix; ps_words session; ps_words commands)" ttyUSB0 ""
        same "after debug" "$(ps_words commands)" ttyUSB0 debug ""
        same "move's channel" "$(ps_words channels)" ttyUSB0 move ""
        same "move's direction" "$(ps_words directions)" ttyUSB0 move x ""
        same "switches" "$(ps_words switches)" "-"
        same "--progress's value" "$(ps_words progress)" --progress ""
        same "--format's value" "$(ps_words formats)" --format ""
    else
        printf 'FAIL: %s\n' "$lists"
        failures=$((failures + 1))
    fi
fi

if ((failures)); then
    echo "$failures completion case(s) failed"
    exit 1
fi
echo "completion: all cases pass"
