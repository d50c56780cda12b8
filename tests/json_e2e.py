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
import time

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


def check(name, argv, status, members=None, error=None):
    """Runs the tool with --json; its stdout must be exactly one JSON object on one line."""
    run = subprocess.run([tool, "--json", *argv], capture_output=True, timeout=60)
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
    good, port = start_board(directory, "good", "--id", "3A:2.7", "--motion-ms", "300")
    noisy, noisy_port = start_board(directory, "noisy", "--inject", "badcrc")
    firmware = os.path.join(directory, "fw.bin")
    # 128 blocks, the middle ones blank.
    with open(firmware, "wb") as f:
        f.write(os.urandom(1024) + b"\xff" * 2048 + os.urandom(1024))
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
        check("wait", ["--wait", "10", port, "vend", "3"], 0,
              {"command": "vend", "state": "vended", "state_value": 5, "errors": []})
        check("trace", ["--trace", port, "ping"], 0, {"command": "ping"})
        check("debug", [port, "debug", "status"], 1, {"command": "debug"},
              "debug does not go with --json")
        time.sleep(1)  # the vend's last phase, while the board refuses the boot switch
        upload = check("upgrade", [port, "upgrade", firmware], 0,
                       {"command": "upgrade", "bytes": 4096})
        if upload and (upload.get("blocks_sent", 0) + upload.get("blanks_skipped", 0) != 128
                       or upload.get("blanks_skipped", 0) < 60
                       or upload.get("seconds", -1) < 0 or upload.get("bytes_per_second", -1) < 0):
            failures.append(f"upgrade: summary {upload}")
        oddity = check("odd path", [port, "upgrade", odd], 1, {"command": "upgrade"},
                       "Failed to open file ")
        if oddity and oddity["error"] != f"Failed to open file {as_text(odd)}: No such file or directory":
            failures.append(f"odd path: {oddity['error']!r}")
        for word, line in (("ping", "Failed to ping device"), ("id", "Bad CRC"),
                           ("status", "Bad CRC")):
            check(f"noisy {word}", [noisy_port, word], 1, {"command": word}, line)
        check("no port", [os.path.join(directory, "none"), "status"], 1, {"command": "status"},
              "Failed to open port")
        check("version", ["--version"], 0, {"command": "version"})
        ports = check("list-ports", ["--list-ports"], 0, {"command": "list-ports"})
        if ports and not isinstance(ports.get("ports"), list):
            failures.append(f"list-ports: {ports}")
    finally:
        for process in (good, noisy):
            process.terminate()
            process.wait(10)

for failure in failures:
    print("FAIL:", failure)
print(f"json: {len(failures)} failure(s)")
sys.exit(1 if failures else 0)
