#!/usr/bin/env python3
"""Runs the benchmarks against the simulated board and prints one markdown table.

Every comparison is made inside one run, its two sides alternating, because the machine is shared:
absolute times drift with the load, ratios much less. Figures are medians with min-max spread.
"""
import argparse
import json
import os
import random
import resource
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

BLOCK = 32


def make_image(path, size, blank_every_other=0):
    """Random bytes with no blank block; with blank_every_other, alternate stretches are 0xFF."""
    rng = random.Random(size + blank_every_other)
    data = bytearray(rng.randbytes(size))
    for pos in range(0, size, BLOCK):
        data[pos] = 0x00  # never a blank block by chance
    if blank_every_other:
        for start in range(blank_every_other, size, 2 * blank_every_other):
            data[start:start + blank_every_other] = b"\xff" * len(data[start:start + blank_every_other])
    with open(path, "wb") as f:
        f.write(data)


def exchanges(path):
    """The boot-loader switch plus the blocks the tool sends (blank ones skipped, first and last kept)."""
    with open(path, "rb") as f:
        data = f.read()
    count = 1
    for pos in range(0, len(data), BLOCK):
        block = data[pos:pos + BLOCK]
        last = pos + BLOCK >= len(data)
        if pos == 0 or last or block != b"\xff" * len(block):
            count += 1
    return count


# Processor time (user + system, seconds) of the last run_timed.
last_cpu = 0.0


class RunFailed(Exception):
    pass


def run_timed(argv, new_session=False, err_path=None):
    """Wall time from spawn to exit, in seconds; stdout discarded, stderr too unless err_path names
    a file for it. Wine runs in a session of its own, so that wineserver cannot take the board's
    pty as its controlling terminal."""
    global last_cpu
    null = os.open(os.devnull, os.O_WRONLY)
    err = os.open(err_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC) if err_path else null
    try:
        start = time.perf_counter()
        pid = os.posix_spawn(argv[0], argv, os.environ, setsid=new_session,
                             file_actions=[(os.POSIX_SPAWN_DUP2, null, 1), (os.POSIX_SPAWN_DUP2, err, 2)])
        _, status, usage = os.wait4(pid, 0)
        elapsed = time.perf_counter() - start
        last_cpu = usage.ru_utime + usage.ru_stime
    finally:
        os.close(null)
        if err_path:
            os.close(err)
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        raise RunFailed("failed (status %d): %s" % (code, " ".join(argv)))
    return elapsed


class Board:
    def __init__(self, exe, workdir, args, stats=True):
        """Without stats the board writes no file per request, and its own cost hides less."""
        self.stats = os.path.join(workdir, "stats") if stats else None
        if stats and os.path.exists(self.stats):
            os.remove(self.stats)
        switches = ["--stats", self.stats] if stats else []
        self.proc = subprocess.Popen([exe] + switches + args, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True)
        self.path = self.proc.stdout.readline().strip()
        if not self.path:
            sys.exit("the board printed no device")

    def stop(self):
        """Ends the board by its pid; returns its counters."""
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(timeout=30)
        self.proc.stdout.close()
        stats = {}
        if not self.stats:
            return stats
        with open(self.stats) as f:
            for line in f:
                name, value = line.split()
                stats[name] = int(value)
        return stats


class WineTool:
    """The Windows build run under Wine, on a COM port that is a symlink to the board's pty."""

    def __init__(self, exe, wine_run, prefix):
        self.exe, self.wine_run, self.prefix = exe, wine_run, prefix
        os.environ["GANTRIX_WINEPREFIX"] = prefix
        # The first run creates the prefix (tens of seconds) and starts wineserver: not timed.
        subprocess.run([wine_run, exe, "--version"], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, start_new_session=True)

    def upgrade_argv(self, device, image):
        com = "com%d" % (40 + int(os.path.basename(os.path.realpath(device))))
        link = os.path.join(self.prefix, "dosdevices", com)
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(os.path.realpath(device), link)
        return [self.wine_run, self.exe, com.upper(), "upgrade", "Z:" + image]


def spread(values, fmt):
    return "%s (%s–%s)" % (fmt % statistics.median(values), fmt % min(values), fmt % max(values))


def unpaced_rows(args, board, images, rows):
    """Tool and floor (and the earlier tool) alternate run by run on the one board and pty."""
    tools = [("", args.tool)] + ([(" (gantrix before)", args.tool_before)] if args.tool_before else [])
    for name, (path, _, _) in images.items():
        n = exchanges(path)
        rates = {label: [] for label, _ in tools}
        cpu = {label: [] for label, _ in tools}
        floor = []
        floor_cpu = []
        for _ in range(args.reps_unpaced):
            for label, tool in tools:
                rates[label].append(n / run_timed([tool, board.path, "upgrade", path]))
                cpu[label].append(last_cpu * 1e6 / n)
            floor.append(n / run_timed([args.floor, board.path, "upgrade", path]))
            floor_cpu.append(last_cpu * 1e6 / n)
        for label, _ in tools:
            ratio = [t / f for t, f in zip(rates[label], floor)]
            rows.append(("Upgrade %s unpaced%s: exchanges/s (%d)" % (name, label, n), spread(rates[label], "%.0f"),
                         "floor " + spread(floor, "%.0f"), "gantrix/floor " + spread(ratio, "%.3f"), len(floor)))
            ratio = [t / f for t, f in zip(cpu[label], floor_cpu)]
            rows.append(("Upgrade %s unpaced%s: processor µs per exchange" % (name, label),
                         spread(cpu[label], "%.1f"), "floor " + spread(floor_cpu, "%.1f"),
                         "gantrix/floor " + spread(ratio, "%.3f"), len(floor)))
    times = {label: [] for label, _ in tools}
    floor = []
    for _ in range(args.pings):
        for label, tool in tools:
            times[label].append(run_timed([tool, board.path, "ping"]) * 1000)
        floor.append(run_timed([args.floor, board.path, "ping"]) * 1000)
    for label, _ in tools:
        ratio = [t / f for t, f in zip(times[label], floor)]
        rows.append(("ping%s, start-up to exit: ms" % label, spread(times[label], "%.3f"),
                     "floor " + spread(floor, "%.3f"), "gantrix/floor " + spread(ratio, "%.3f"), len(floor)))


def latency_rows(args, work, image, name, rows):
    """The paced small upload through the board's model of a USB adapter's latency timer, 16 ms (the
    Windows default) and 1 ms, beside the plain line, alternating; and whether the tool's
    slow-adapter hint came."""
    err = os.path.join(work, "stderr")
    runs = [("", []), (", adapter latency 16 ms", ["--latency", "16"]), (", adapter latency 1 ms", ["--latency", "1"])]
    walls = {label: [] for label, _ in runs}
    hinted = {label: 0 for label, _ in runs}
    wire = []
    for _ in range(args.reps_latency):
        for label, switches in runs:
            board = Board(args.board, work, ["--baud", str(args.baud)] + switches)
            try:
                walls[label].append(run_timed([args.tool, board.path, "upgrade", image], err_path=err))
            finally:
                stats = board.stop()
            wire.append((stats["bytes_in"] + stats["bytes_out"]) * 10 / args.baud)
            with open(err) as f:
                text = f.read()
            if "replies arrive" in text:
                hinted[label] += 1
                print("hint%s: %s" % (label, text.strip()), file=sys.stderr)
            print("paced %s%s: %.3f s" % (name, label, walls[label][-1]), file=sys.stderr)
    for label, _ in runs:
        ratio = [w / p for w, p in zip(walls[label], walls[""])]
        rows.append(("Upgrade %s at %d baud%s: wall s" % (name, args.baud, label), spread(walls[label], "%.3f"),
                     "wire limit %.3f s; hint shown %d of %d" % (statistics.median(wire), hinted[label],
                                                                 len(walls[label])),
                     "wall / plain line " + spread(ratio, "%.3f"), len(walls[label])))


def shell_rows(args, work, rows):
    """The same command lines in one shell and as separate runs, on a board whose motions end at
    once, so that what is left is the tool's own cost per command."""
    pings, cells = (20, 4) if args.smoke else (1000, 40)
    board = Board(args.board, work, ["--motion-ms", "0"], stats=False)
    try:
        for name, lines in [("%d pings" % pings, ["ping"] * pings),
                            ("%d-cell calibration" % cells, ["calibrate %d" % (k + 1) for k in range(cells)])]:
            script = os.path.join(work, "shell.txt")
            with open(script, "w") as f:
                f.write("".join(line + "\n" for line in lines))
            shell, separate = [], []
            for _ in range(1 if args.smoke else 3):
                shell.append(run_timed([args.tool, board.path, "shell", script]))
                separate.append(sum(run_timed([args.tool, board.path] + line.split()) for line in lines))
            per_command = lambda times: [t * 1000 / len(lines) for t in times]
            rows.append(("%s in one shell: ms per command" % name, spread(per_command(shell), "%.3f"),
                         "separate runs " + spread(per_command(separate), "%.3f"),
                         "separate / shell " + spread([a / b for a, b in zip(separate, shell)], "%.1f"),
                         len(shell)))
    finally:
        board.stop()


def fleet_rows(args, work, image, name, rows):
    """One upgrade on 1, 2, 4 and 8 paced boards at once (--each), the counts alternating rep by rep:
    the wall time against one board's, the tool's processor time per board, and the boards' own
    processor time (the simulated boards pace their lines on the same cores as the tool)."""
    counts = [1, 2, 4, 8]
    walls = {n: [] for n in counts}
    cpu = {n: [] for n in counts}
    boards_cpu = {n: [] for n in counts}
    for _ in range(args.reps_fleet):
        for n in counts:
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            boards = [Board(args.board, work, ["--baud", str(args.baud)], stats=False) for _ in range(n)]
            try:
                walls[n].append(run_timed([args.tool, "--each", ",".join(b.path for b in boards), "upgrade", image]))
                cpu[n].append(last_cpu / n)
            finally:
                for board in boards:
                    board.stop()
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            spent = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
            boards_cpu[n].append((spent - last_cpu) / n)
            print("fleet %s on %d board(s): %.3f s" % (name, n, walls[n][-1]), file=sys.stderr)
    for n in counts:
        ratio = [w / one for w, one in zip(walls[n], walls[1])]
        rows.append(("Upgrade %s at %d baud on %d board%s at once (--each): wall s"
                     % (name, args.baud, n, "" if n == 1 else "s"),
                     spread(walls[n], "%.3f"),
                     "processor s per board: gantrix %s, board %s" % (spread(cpu[n], "%.3f"),
                                                                     spread(boards_cpu[n], "%.3f")),
                     "wall / 1 board " + spread(ratio, "%.3f"), len(walls[n])))


def micro(exe, smoke):
    argv = [exe, "--benchmark_format=json"]
    argv += ["--benchmark_min_time=0.01"] if smoke else ["--benchmark_repetitions=9", "--benchmark_min_time=0.2"]
    out = subprocess.run(argv, check=True, stdout=subprocess.PIPE, text=True).stdout
    rates = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type", "iteration") == "iteration":
            rates.setdefault(b["run_name"], []).append(b["bytes_per_second"] / 1e6)
    return rates


SER2NET = "/usr/sbin/ser2net"


def free_port():
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class Ser2net:
    """ser2net in front of the board's line: a raw and an RFC 2217 port on localhost."""

    def __init__(self, workdir, link, chardelay):
        self.raw = free_port()
        self.telnet = free_port()
        while self.telnet == self.raw:
            self.telnet = free_port()
        connector = "  connector: serialdev,%s,115200n81,local\n" % link
        options = "" if chardelay else "  options:\n    chardelay: false\n"
        config = os.path.join(workdir, "ser2net.yaml")
        with open(config, "w") as f:
            f.write("connection: &raw\n  accepter: tcp,localhost,%d\n%s%s" % (self.raw, connector, options))
            f.write("connection: &rfc2217\n  accepter: telnet(rfc2217),tcp,localhost,%d\n%s%s"
                    % (self.telnet, connector, options))
        self.proc = subprocess.Popen([SER2NET, "-n", "-d", "-c", config], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        for _ in range(500):
            if all(self.listened(port) for port in (self.raw, self.telnet)):
                return
            time.sleep(0.02)
        self.stop()
        sys.exit("ser2net did not listen")

    @staticmethod
    def listened(port):
        with socket.socket() as sock:
            try:
                sock.bind(("127.0.0.1", port))
                return False
            except OSError:
                return True

    def word(self, kind):
        return "%s://127.0.0.1:%d" % (kind, self.raw if kind == "tcp" else self.telnet)

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(timeout=30)


def network_rows(args, work, image, name, rows):
    """The paced small upload through ser2net on localhost beside the same upload on the pty,
    alternating: raw and RFC 2217 with `chardelay: false` (aim: at least 0.95 of the pty's speed),
    and RFC 2217 with ser2net's defaults, whose character delay the slow-reply hint explains; and a
    ping's wall time each way."""
    if not os.access(SER2NET, os.X_OK):
        print("ser2net is not installed: no network rows", file=sys.stderr)
        return
    err = os.path.join(work, "stderr")
    link = os.path.join(work, "line")
    runs = [("pty", None, True), ("tcp, chardelay: false", "tcp", False),
            ("rfc2217, chardelay: false", "rfc2217", False), ("rfc2217, ser2net defaults", "rfc2217", True)]
    walls = {label: [] for label, _, _ in runs}
    pings = {label: [] for label, _, _ in runs}
    hinted = {label: 0 for label, _, _ in runs}
    for _ in range(args.reps_network):
        for label, kind, chardelay in runs:
            # Lenient: the pings after the upload are answered in the boot loader too.
            board = Board(args.board, work, ["--baud", str(args.baud), "--link", link, "--boot-loader", "lenient"],
                          stats=False)
            server = Ser2net(work, link, chardelay)
            word = server.word(kind) if kind else link
            try:
                walls[label].append(run_timed([args.tool, word, "upgrade", image], err_path=err))
                for _ in range(args.network_pings):
                    # ser2net closes the line a moment after the connection: a ping right after
                    # the last one would find it taken.
                    time.sleep(0.2)
                    pings[label].append(run_timed([args.tool, word, "ping"]) * 1000)
            finally:
                server.stop()
                board.stop()
            with open(err) as f:
                if "replies arrive" in f.read():
                    hinted[label] += 1
            print("paced %s through %s: %.3f s" % (name, label, walls[label][-1]), file=sys.stderr)
    for label, _, _ in runs:
        ratio = [p / w for w, p in zip(walls[label], walls["pty"])]
        rows.append(("Upgrade %s at %d baud, %s: wall s" % (name, args.baud, label), spread(walls[label], "%.3f"),
                     "hint shown %d of %d" % (hinted[label], len(walls[label])),
                     "pty wall / this " + spread(ratio, "%.3f"), len(walls[label])))
        rows.append(("Ping, %s: wall ms" % label, spread(pings[label], "%.1f"), "", "", len(pings[label])))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--board", required=True)
    parser.add_argument("--floor", required=True)
    parser.add_argument("--micro", required=True)
    parser.add_argument("--baud", type=int, default=115200)
    parser.add_argument("--reps-small", type=int, default=7, help="paced 64 KiB uploads")
    parser.add_argument("--reps-large", type=int, default=3, help="paced 1 MiB uploads (about 95 s each)")
    parser.add_argument("--reps-unpaced", type=int, default=5)
    parser.add_argument("--pings", type=int, default=200)
    parser.add_argument("--skip-paced", action="store_true")
    parser.add_argument("--reps-latency", type=int, default=3,
                        help="paced 64 KiB uploads through the board's adapter model, --latency 16 and 1")
    parser.add_argument("--reps-fleet", type=int, default=3,
                        help="paced 64 KiB uploads on 1, 2, 4 and 8 boards at once (about 40 s each)")
    parser.add_argument("--fleet-only", action="store_true",
                        help="only the paced 64 KiB uploads on 1, 2, 4 and 8 boards at once")
    parser.add_argument("--reps-network", type=int, default=3,
                        help="paced 64 KiB uploads through ser2net (raw, RFC 2217, its defaults) beside the pty")
    parser.add_argument("--network-pings", type=int, default=10, help="pings per network upload")
    parser.add_argument("--network-only", action="store_true", help="only the uploads and pings through ser2net")
    parser.add_argument("--latency-only", action="store_true",
                        help="only the paced 64 KiB uploads: plain, --latency 16 and --latency 1")
    parser.add_argument("--tool-before", help="an earlier build of gantrix, run alternately with --tool "
                        "(paced small upload, unpaced uploads, ping) for a before/after")
    parser.add_argument("--tool-windows", help="gantrix.exe of the windows build: paced 64 KiB uploads "
                        "under Wine beside the Linux ones")
    parser.add_argument("--tool-windows-before", help="gantrix.exe of an earlier windows build, beside "
                        "--tool-windows under Wine")
    parser.add_argument("--floor-windows", help="gantrix_floor.exe of the windows build: the floor under Wine "
                        "beside --tool-windows, to tell Wine's own cost from the tool's")
    parser.add_argument("--wine-run", default=os.path.join(os.path.dirname(__file__), "..", "cmake", "wine-run.sh"))
    parser.add_argument("--wine-prefix", default=os.path.join(os.path.dirname(__file__), "..", "build", "bench",
                                                              "wineprefix"))
    parser.add_argument("--smoke", action="store_true", help="seconds-long check that everything runs")
    args = parser.parse_args()

    small, large = 64 * 1024, 1024 * 1024
    if args.smoke:
        small, large = 2048, 4096
        args.reps_small = args.reps_large = args.reps_unpaced = args.reps_fleet = 1
        args.pings = 3
        args.reps_network, args.network_pings = 1, 2

    work = tempfile.mkdtemp(prefix="gantrix-bench-")
    try:
        small_name, large_name = "%d KiB" % (small // 1024), "%d KiB" % (large // 1024)
        if large % (1024 * 1024) == 0:
            large_name = "%d MiB" % (large // (1024 * 1024))
        half_name = large_name + " half blank"
        images = {
            small_name: (os.path.join(work, "small.bin"), small, 0),
            large_name: (os.path.join(work, "large.bin"), large, 0),
            half_name: (os.path.join(work, "half.bin"), large, 16 * 1024 if not args.smoke else 512),
        }
        for path, size, blank in images.values():
            make_image(path, size, blank)
        rows = []

        if args.fleet_only:
            fleet_rows(args, work, images[small_name][0], small_name, rows)
            print_table(rows)
            return
        if args.network_only:
            network_rows(args, work, images[small_name][0], small_name, rows)
            print_table(rows)
            return
        if args.latency_only:
            latency_rows(args, work, images[small_name][0], small_name, rows)
            print_table(rows)
            return

        # 1. Paced: a fresh board per upload, so its counters hold exactly that upload's bytes.
        if not args.skip_paced:
            runs = [(name, path, args.tool) for name, (path, _, _) in images.items()]
            # The floor on the same paced line: what is left between it and the wire limit is the
            # board's and the scheduler's turnaround, which no tool can take back.
            floor_name = small_name + " (floor)"
            runs.insert(1, (floor_name, images[small_name][0], args.floor))
            if args.tool_before:
                runs.insert(1, (small_name + " (gantrix before)", images[small_name][0], args.tool_before))
            wine_name = small_name + " (Windows build under Wine)"
            wine_floor_name = small_name + " (floor, Windows build under Wine)"
            for name, exe in [(wine_floor_name, args.floor_windows),
                              (small_name + " (Windows build before, under Wine)", args.tool_windows_before),
                              (wine_name, args.tool_windows)]:
                if exe:
                    runs.insert(1, (name, images[small_name][0], WineTool(exe, args.wine_run, args.wine_prefix)))
            paced = {name: {"wall": [], "wire": [], "eff": []} for name, _, _ in runs}
            for rep in range(max(args.reps_small, args.reps_large)):
                for name, path, tool in runs:
                    if rep >= (args.reps_small if name.startswith(small_name) else args.reps_large):
                        continue
                    board = Board(args.board, work, ["--baud", str(args.baud)])
                    try:
                        if isinstance(tool, WineTool):
                            wall = run_timed(tool.upgrade_argv(board.path, path), new_session=True)
                        else:
                            wall = run_timed([tool, board.path, "upgrade", path])
                    finally:
                        stats = board.stop()
                    wire = (stats["bytes_in"] + stats["bytes_out"]) * 10 / args.baud
                    paced[name]["wall"].append(wall)
                    paced[name]["wire"].append(wire)
                    paced[name]["eff"].append(wire / wall)
                    print("paced %s: %.3f s, wire %.3f s" % (name, wall, wire), file=sys.stderr)
            for name in paced:
                p = paced[name]
                if not p["wall"]:
                    continue  # --reps-large 0
                rows.append(("Upgrade %s at %d baud: wall s" % (name, args.baud), spread(p["wall"], "%.3f"),
                             "wire limit %.3f s" % statistics.median(p["wire"]),
                             "efficiency " + spread(p["eff"], "%.4f"), len(p["wall"])))
            beside = [f / t for f, t in zip(paced[floor_name]["wall"], paced[small_name]["wall"])]
            rows.append(("Upgrade %s at %d baud: floor wall / gantrix wall" % (small_name, args.baud),
                         spread(beside, "%.4f"), "", "", len(beside)))
            if args.tool_windows and args.floor_windows:
                beside = [f / t for f, t in zip(paced[wine_floor_name]["wall"], paced[wine_name]["wall"])]
                rows.append(("Upgrade %s at %d baud under Wine: floor wall / gantrix wall" % (small_name, args.baud),
                             spread(beside, "%.4f"), "", "", len(beside)))
            half = [h / f for h, f in zip(paced[half_name]["wall"], paced[large_name]["wall"])]
            if half:
                rows.append(("Upgrade %s / full: wall" % half_name, spread(half, "%.3f"), "", "", len(half)))

            latency_rows(args, work, images[small_name][0], small_name, rows)
            fleet_rows(args, work, images[small_name][0], small_name, rows)
            network_rows(args, work, images[small_name][0], small_name, rows)

        # 2 and 3. Unpaced, one board and one pty for all: tool and floor alternate run by run.
        # Lenient: after the first upload the board stays in its boot loader, and the later runs'
        # switches and the pings must still be answered, or each would wait out a time-out.
        board = Board(args.board, work, ["--boot-loader", "lenient"], stats=False)
        try:
            unpaced_rows(args, board, images, rows)
        finally:
            board.stop()

        # 4. Many commands in one shell against as many runs.
        shell_rows(args, work, rows)

        # 5. Microbenchmarks.
        for name, rates in micro(args.micro, args.smoke).items():
            label = {"BM_GetCRC16": "GetCRC16", "BM_ParsePacket": "ParsePacket"}.get(name, name)
            rows.append(("%s on 1 MiB of frames and noise: MB/s" % label, spread(rates, "%.1f"), "", "",
                         len(rates)))
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print_table(rows)


def print_table(rows):
    print("| Measurement | gantrix: median (min–max) | beside it | ratio | runs |")
    print("|---|---|---|---|---|")
    for row in rows:
        print("| %s | %s | %s | %s | %d |" % row)


if __name__ == "__main__":
    try:
        main()
    except RunFailed as failure:
        sys.exit(str(failure))
