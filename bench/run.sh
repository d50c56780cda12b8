#!/bin/sh
# Builds the bench preset and runs every benchmark, printing one markdown table on stdout
# (progress on stderr). Extra arguments go to report.py, e.g. --reps-large 1 or --skip-paced;
# --tool-windows build/windows/gantrix.exe --floor-windows build/windows/bench/gantrix_floor.exe
# set the Windows build (cmake --build --preset windows) under Wine beside the Linux one.
# The paced 1 MiB uploads take about 150 s each: a full run with --reps-large 2 lasts about 15 minutes.
# --before REV (first) builds gantrix as it was at git revision REV, from `git archive` into
# build/bench-before/REV (the work tree is left alone), and sets it beside the current build:
# the paced 64 KiB upload, the unpaced uploads (wall and processor time) and ping, run by run.
# --latency-only runs only the paced 64 KiB upload on the plain line and through the board's model of
# a USB adapter's latency timer (--latency 16 and 1), with the slow-adapter hint counted: about
# 70 s per --reps-latency.
# --fleet-only runs only the paced 64 KiB upload on 1, 2, 4 and 8 boards at once (--each): about
# 40 s per --reps-fleet.
# --network-only runs only the paced 64 KiB upload through ser2net (raw, RFC 2217, its defaults)
# beside the pty, with pings: about 60 s per --reps-network; without ser2net these rows are left out.
set -e
cd "$(dirname "$0")/.."
before=
if [ "$1" = --before ]; then
    src=build/bench-before/$2
    if [ ! -x "$src/build/bench/gantrix" ]; then
        rm -rf "$src" && mkdir -p "$src"
        git archive "$2" | tar -x -C "$src"
        (cd "$src" && cmake --preset bench >/dev/null && cmake --build --preset bench --target gantrix >/dev/null)
    fi
    before="--tool-before $src/build/bench/gantrix"
    shift 2
fi
cmake --preset bench >/dev/null
cmake --build --preset bench --target gantrix gantrix-board gantrix_floor gantrix_micro >/dev/null
b=build/bench
# shellcheck disable=SC2086 # $before is two words or none
exec python3 bench/report.py --tool "$b/gantrix" --board "$b/board/gantrix-board" \
    --floor "$b/bench/gantrix_floor" --micro "$b/bench/gantrix_micro" $before "$@"
