#!/usr/bin/env python3
"""Upgrades over a line that corrupts bytes both ways, with and without --retries.

Each trial starts its own gantrix-board with --inject corrupt:PERCENT:SEED, uploads a 64 KiB image
and checks three things: the run's status, the image the board assembled against the file, and the
board's record of every request it received (only the boot switch, upgrade blocks and the fences'
pings may be there, so no other command was ever sent, let alone twice). Trials run in parallel lanes: most of their
time is spent waiting out the time-outs of requests the line destroyed.

    bench/retries.py --tool build/bench/gantrix --board build/bench/board/gantrix-board
"""
import argparse
import concurrent.futures
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from report import Board, make_image  # noqa: E402

REPEATABLE = {252, 254}  # the boot switch and the upgrade block: all an upgrade sends
FENCE = 1  # the ping that fences the line before a repeat


def trial(args, workdir, image, percent, retries, seed):
    lane = os.path.join(workdir, "%s-%d-%d" % (percent, retries, seed))
    os.makedirs(lane)
    out, record = os.path.join(lane, "image"), os.path.join(lane, "record")
    # Lenient: a repeated block's fence needs a ping's reply, which the strict boot loader never
    # gives; without it no block could be repeated and there would be nothing to measure.
    board = Board(args.board, lane, ["--boot-loader", "lenient",
                                     "--inject", "corrupt:%s:%d" % (percent, seed),
                                     "--image-out", out, "--record", record])
    start = time.perf_counter()
    run = subprocess.run([args.tool, "--timeout", str(args.timeout), "--retries", str(retries),
                          board.path, "upgrade", image],
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    seconds = time.perf_counter() - start
    board.stop()
    commands = []
    with open(record) as f:
        for line in f:
            frame = bytes.fromhex(line.split(None, 1)[1])
            commands.append(frame[4])
    with open(image, "rb") as f:
        wanted = f.read()
    equal = False
    if os.path.exists(out):
        with open(out, "rb") as f:
            equal = f.read() == wanted
    return {
        "done": run.returncode == 0,
        "equal": equal,
        "others": sum(1 for c in commands if c not in REPEATABLE and c != FENCE),
        "fences": sum(1 for c in commands if c == FENCE),
        "retries": run.stderr.count("gantrix: retry "),
        "seconds": seconds,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--tool", required=True)
    parser.add_argument("--board", required=True)
    parser.add_argument("--trials", type=int, default=100)
    parser.add_argument("--lanes", type=int, default=8)
    parser.add_argument("--timeout", type=float, default=0.1, help="gantrix --timeout")
    parser.add_argument("--cases", default="2:0,2:3,0.1:0,0.1:3",
                        help="PERCENT:RETRIES pairs, comma-separated")
    args = parser.parse_args()

    print("| Corruption (both ways) | --retries | uploads done | images equal to the file "
          "| other commands sent | retries per upload: median (max) | fence pings per upload: median "
          "| wall s: median (max) |")
    print("|---|---|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory() as workdir:
        image = os.path.join(workdir, "firmware.bin")
        make_image(image, 64 * 1024)
        for case in args.cases.split(","):
            percent, retries = case.split(":")
            retries = int(retries)
            with concurrent.futures.ThreadPoolExecutor(args.lanes) as pool:
                results = list(pool.map(lambda seed: trial(args, workdir, image, percent, retries,
                                                           seed), range(1, args.trials + 1)))
            done = sum(r["done"] for r in results)
            # A run that reported success with an image unlike the file is the failure that matters.
            equal = sum(r["equal"] for r in results if r["done"])
            others = sum(r["others"] for r in results)
            counts = [r["retries"] for r in results]
            fences = [r["fences"] for r in results]
            seconds = [r["seconds"] for r in results]
            print("| %s %% | %d | %d of %d | %d of %d done | %d | %g (%d) | %g | %.2f (%.2f) |" % (
                percent, retries, done, len(results), equal, done, others,
                statistics.median(counts), max(counts), statistics.median(fences),
                statistics.median(seconds), max(seconds)),
                flush=True)


if __name__ == "__main__":
    main()
