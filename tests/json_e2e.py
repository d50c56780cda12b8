#!/usr/bin/env python3
"""--json against the simulated board: every command's stdout is one line that a real JSON parser
reads, with the members a wrapping program relies on, and the exit status of text mode.

    json_e2e.py GANTRIX GANTRIX-BOARD
"""
import codecs
import json
import os
import subprocess
import sys
import tempfile

tool, board_path = sys.argv[1], sys.argv[2]
failures = []


def start_board(directory, name, *args):
    link = os.path.join(directory, name)
    board = subprocess.Popen([board_path, "--link", link, *args], stdout=subprocess.PIPE)
    board.stdout.readline()  # the device: the link is in place
    return board, link


def as_text(raw):
    """The bytes as the tool's JSON carries them: valid UTF-8 kept, any other byte as U+00XX."""
    return raw.decode("utf-8", errors="latin1_bytes")


def byte_as_code_point(error):
    return chr(error.object[error.start]), error.start + 1


codecs.register_error("latin1_bytes", byte_as_code_point)


def check(name, argv, status, members=None, error=None, usage=False):
    """Runs the tool with --json; its stdout must be exactly one JSON object on one line. With
    usage, the words make no command: the usage text goes to stderr."""
    run = subprocess.run([tool, "--json", *argv], capture_output=True, timeout=60)
    if run.stderr.startswith(b"OSTREL gantrix\n") != usage:
        failures.append(f"{name}: stderr {run.stderr[:40]!r}, usage expected: {usage}")
    out = run.stdout
    lines = out.split(b"\n")
    if not out.endswith(b"\n") or len(lines) != 2:
        failures.append(f"{name}: stdout is not one line: {out!r}")
        return None
    try:
        obj = json.loads(lines[0].decode("utf-8"))
    except (ValueError, UnicodeDecodeError) as e:
        failures.append(f"{name}: not JSON ({e}): {out!r}")
        return None
    want = {"schema": 1, "ok": status == 0, **(members or {})}
    for key, value in want.items():
        if obj.get(key) != value:
            failures.append(f"{name}: {key} is {obj.get(key)!r}, not {value!r}: {obj}")
    if run.returncode != status:
        failures.append(f"{name}: status {run.returncode}, not {status}")
    if (error is None) != ("error" not in obj):
        failures.append(f"{name}: error member {obj.get('error')!r}, expected {error!r}")
    elif error is not None and error not in obj["error"]:
        failures.append(f"{name}: error {obj['error']!r} lacks {error!r}")
    return obj


with tempfile.TemporaryDirectory() as directory:
    good, port = start_board(directory, "good", "--id", "3A:2.7", "--motion-ms", "300",
                             "--baud", "115200")
    noisy, noisy_port = start_board(directory, "noisy", "--inject", "badcrc")
    # Moving for good; the second and the fifth request get no reply.
    stalls, stalls_port = start_board(directory, "stalls", "--motion-ms", "4000000000",
                                      "--inject", "silence@2", "--inject", "silence@5")
    # Two flags, and a switch reply that answers another request: the switch counts as failed,
    # the board is in its boot loader all the same.
    jammed, jammed_port = start_board(directory, "jammed", "--fault", "motor_jam", "--fault",
                                      "product_loss", "--inject", "cmd:1@switch", "--baud", "115200")
    firmware = os.path.join(directory, "fw.bin")
    # 291 blocks: 32 and 3 with data around 256 blank ones, which are not sent; the rate must be
    # that of the 35 blocks exchanged, far below the image's bytes over the time (the line paced
    # as at 115200 baud, so that the time is long beside its rounding).
    with open(firmware, "wb") as f:
        f.write(os.urandom(1024) + b"\xff" * 8192 + os.urandom(96))
    sent = {"bytes": 9312, "blocks_sent": 35, "blanks_skipped": 256}
    # A path no file has, holding what a path may hold: a quote, a backslash, control bytes,
    # UTF-8, and bytes that are not UTF-8 (a stray continuation, an overlong, a surrogate, a cut
    # sequence).
    odd = os.path.join(directory, "").encode() + (
        b'q"b\\s\x01\x1f\x7f-\xc3\xa9-\x80-\xc0\xaf-\xed\xa0\x80-\xe2\x82.bin'
    )
    try:
        check("ping", [port, "ping"], 0, {"command": "ping"})
        check("id", [port, "id"], 0, {"command": "id", "device": 0x3A, "version": "2.7"})
        check("status", [port, "status"], 0,
              {"command": "status", "state": "idle", "state_value": 2, "errors": []})
        check("errors", [jammed_port, "status"], 0,
              {"state": "error", "errors": ["motor_jam", "product_loss"], "error_mask": 10})
        # The wait ends once the board is idle: the next motion and the boot switch are taken.
        for cell in ("3", "4"):
            wait = check(f"wait {cell}", ["--wait", "10", port, "vend", cell], 0,
                         {"command": "vend", "state": "idle", "state_value": 2, "errors": []})
            if wait and (wait.get("polls", 0) < 2 or wait.get("state_poll") != wait["polls"]):
                failures.append(f"wait {cell}: polls {wait}")
        # A poll that got no reply: the state is only that of the last poll that answered.
        check("wait, first poll lost", ["--wait", "10", stalls_port, "vend", "3"], 1,
              {"polls": 1, "state_poll": None, "state": None}, "Wait failed: no status from")
        check("wait, second poll lost", ["--wait", "10", stalls_port, "recover"], 1,
              {"polls": 2, "state_poll": 1, "state": "vend"}, "Wait failed: no status from")
        check("trace", ["--trace", port, "ping"], 0, {"command": "ping"})
        check("debug", [port, "debug", "status"], 1, {"command": "debug"},
              "debug does not go with --json")
        for name, board, switch in (("upgrade", port, "ok"), ("failed switch", jammed_port,
                                                                "failed")):
            upload = check(name, [board, "upgrade", firmware], 0,
                           {"command": "upgrade", "boot_switch": switch, **sent})
            seconds = (upload or {}).get("seconds", -1)
            rate = (upload or {}).get("bytes_per_second")
            carried = sent["blocks_sent"] * 32
            # The time is rounded to a millisecond, the rate to a byte per second.
            if upload and not (seconds >= 0 and carried / (seconds + 0.0005) - 1 <= rate and (
                    seconds <= 0.0005 or rate <= carried / (seconds - 0.0005) + 1)):
                failures.append(f"{name}: rate {rate} for {carried} bytes in {seconds} s")
        oddity = check("odd path", [port, "upgrade", odd], 1,
                       {"command": "upgrade", "boot_switch": None}, "Failed to open file ")
        if oddity and oddity["error"] != f"Failed to open file {as_text(odd)}: No such file or directory":
            failures.append(f"odd path: {oddity['error']!r}")
        for word, line in (("ping", "Failed to ping device"), ("id", "Bad CRC"),
                           ("status", "Bad CRC")):
            check(f"noisy {word}", [noisy_port, word], 1, {"command": word}, line)
        # Last on this board: its boot loader answers nothing but blocks from here on. The switch
        # failed and the upload went on; the first block's bad reply ends it.
        check("switch failed, block refused", [noisy_port, "upgrade", firmware], 1,
              {"boot_switch": "failed", "blocks_sent": None}, "Bad CRC")
        check("no port", [os.path.join(directory, "none"), "status"], 1, {"command": "status"},
              "Failed to open port")
        # Words that make no command, and bad switches: the reason in the object.
        for name, argv, command, reason, usage in (
                ("no command", [port], "", "a port word and a command word are needed", True),
                ("unknown command", [port, "frob"], "frob", "unknown command frob", True),
                ("no image", [port, "upgrade"], "upgrade", "upgrade needs more words", True),
                ("switch after port", [port, "ping", "--retries", "2"], "",
                 f"switches go before the port word: gantrix --json --retries 2 {port} ping",
                 True),
                ("unknown switch", ["--frob", port, "ping"], "",
                 "unknown switch --frob (see gantrix --help)", False),
                ("bad value", ["--timeout", "0", port, "ping"], "",
                 "--timeout takes seconds from 0.1 to 60", False),
                ("json and log", ["--log", "x.log", port, "ping"], "",
                 "--json and --log do not go together", False)):
            refused = check(name, argv, 1, {"command": command}, reason, usage)
            if refused and refused["error"] != reason:
                failures.append(f"{name}: error {refused['error']!r}")
        check("version", ["--version"], 0, {"command": "version"})
        listing = check("list-ports", ["--list-ports"], 0, {"command": "list-ports"})
        # What the system did not tell is null, never a stand-in such as -1, 0 or "".
        for entry in (listing or {}).get("ports", []):
            for key, value in entry.items():
                if key in ("vid", "pid", "latency_ms", "busy_pid"):
                    low = 1 if key == "busy_pid" else 0
                    fits = value is None or (isinstance(value, int) and value >= low)
                elif key in ("name", "path", "description", "serial", "by_id"):
                    fits = value is None or (isinstance(value, str) and value != "")
                else:
                    fits = isinstance(value, (bool, str))
                if not fits:
                    failures.append(f"list-ports: {key} {value!r} in {entry}")
            if "latency_ms" not in entry or (
                    not entry.get("busy") and entry.get("busy_pid") is not None):
                failures.append(f"list-ports: {entry}")
    finally:
        for process in (good, noisy, stalls, jammed):
            process.terminate()
            process.wait(10)

for failure in failures:
    print("FAIL:", failure)
print(f"json: {len(failures)} failure(s)")
sys.exit(1 if failures else 0)
