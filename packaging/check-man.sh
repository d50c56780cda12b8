#!/usr/bin/env bash
# Checks the manual page: it renders without a single warning, and it covers what a user needs.
#
#   check-man.sh MAN-PAGE [GANTRIX]
#
# With GANTRIX, also checks that every command word of the tool's usage text is described.
set -euo pipefail

page=$(realpath "$1")
tool=${2:-}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failures=0
fail()
{
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# man writes groff's warnings (and its own) to stderr; a clean page leaves it empty.
if ! MANWIDTH=80 man --warnings -l "$page" >"$scratch/page.txt" 2>"$scratch/warnings.txt"; then
    fail "man --warnings -l $page failed"
fi
if [[ -s $scratch/warnings.txt ]]; then
    fail "man --warnings -l $page warns:"
    cat "$scratch/warnings.txt"
fi

# The sections a user looks for.
for section in NAME SYNOPSIS DESCRIPTION "PORT NAMES" COMMANDS "DEBUG TRACE" TIME-OUTS \
    "EXIT STATUS" "PRACTICE WITH THE SIMULATED BOARD" EXAMPLES; do
    grep -qx "$section" "$scratch/page.txt" || fail "no section $section"
done
# Justified text has runs of blanks and breaks lines: search phrases in a squeezed copy.
tr -s ' \n' '  ' <"$scratch/page.txt" >"$scratch/flat.txt"
# Facts that must be there: both port namings, the time-out, every exit status.
grep -q 'COM10' "$scratch/page.txt" || fail "COM10 and above on Windows not explained"
grep -qF '\\.\' "$scratch/page.txt" || fail "the \\\\.\\ device prefix not shown"
grep -q '/dev/ttyUSB0' "$scratch/page.txt" || fail "Linux port naming not shown"
grep -q 'at most 5 seconds' "$scratch/flat.txt" || fail "the 5 s time-out not stated"
for status in 0 1 2 4; do
    grep -qx "       $status  .*" "$scratch/page.txt" || fail "exit status $status not described"
done
grep -q 'gantrix-board' "$scratch/page.txt" || fail "the simulated board not mentioned"

# Every command word of the tool: a heading in COMMANDS and at least one example line.
if [[ -n $tool ]]; then
    # The tool ends with status 1 after its usage text.
    words=$({ "$tool" || true; } | sed -n 's/^\t\t\([a-z]*\).*/\1/p')
    [[ -n $words ]] || fail "no command words in the usage text of $tool"
    for word in $words; do
        grep -qE "^       $word( |\$)" "$scratch/page.txt" || fail "command $word has no entry"
        grep -qE "gantrix [^ ]+ (debug )?$word( |\$)" "$scratch/page.txt" ||
            fail "command $word has no example"
    done
fi

if ((failures)); then
    echo "$failures manual page check(s) failed"
    exit 1
fi
echo "manual page: renders clean, all checks pass"
