#!/bin/sh
# Builds the bench preset and runs every benchmark, printing one markdown table on stdout
# (progress on stderr). Extra arguments go to report.py, e.g. --reps-large 1 or --skip-paced;
# --tool-windows build/windows/gantrix.exe --floor-windows build/windows/bench/gantrix_floor.exe
# set the Windows build (cmake --build --preset windows) under Wine beside the Linux one.
# The paced 1 MiB uploads take about 150 s each: a full run with --reps-large 2 lasts about 15 minutes.
# --latency-only runs only the paced 64 KiB upload on the plain line and through the board's model of
# a USB adapter's latency timer (--latency 16 and 1), with the slow-adapter hint counted: about
# 70 s per --reps-latency.
set -e
cd "$(dirname "$0")/.."
cmake --preset bench >/dev/null
cmake --build --preset bench --target gantrix gantrix-board gantrix_floor gantrix_micro >/dev/null
b=build/bench
exec python3 bench/report.py --tool "$b/gantrix" --board "$b/board/gantrix-board" \
    --floor "$b/bench/gantrix_floor" --micro "$b/bench/gantrix_micro" "$@"
