#!/usr/bin/env bash
# The tool's main job, end to end: builds the release tool and the simulated board, starts the
# board on a pty and runs a session against it as an operator would, then stops the board.
set -euo pipefail
cd "$(dirname "$0")/.."

# make too: the presets generate Makefiles, and a bare Debian has no make.
bash scripts/install-deps.sh cmake make g++ libedit-dev
cmake --preset release >/dev/null
cmake --build --preset release --target gantrix gantrix-board >/dev/null

tool=build/release/gantrix
board=$(find build/release -type f -name gantrix-board -perm -u+x | head -n1)
if [[ -z $board ]]; then
    echo "gantrix-board was not built" >&2
    exit 1
fi

work=$(mktemp -d)
board_pid=
cleanup() {
    if [[ -n $board_pid ]]; then
        kill -TERM "$board_pid" 2>/dev/null || true
        wait "$board_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# The board prints the device to open as its first line; its image is written when it ends.
"$board" --image-out "$work/board-image.bin" \
    --debug-text 'boot 1.4\nmotor x: home\nsensor 3: ok\n' \
    >"$work/board.out" 2>"$work/board.err" &
board_pid=$!
for _ in $(seq 100); do
    [[ -s $work/board.out ]] && break
    sleep 0.05
done
port=$(head -n1 "$work/board.out")
if [[ -z $port ]]; then
    echo "the board did not start:" >&2
    cat "$work/board.err" >&2
    exit 1
fi
echo "Simulated board on $port (pid $board_pid)"

failures=0
run() {
    printf '\n$ gantrix %s %s\n' "$port" "$*"
    local status=0
    "$tool" "$port" "$@" || status=$?
    echo "[exit status $status]"
    return "$status"
}

# Motions take time and the board refuses new ones meanwhile ("Busy"): poll its state, as an
# operator would, before the next one.
wait_idle() {
    printf '(polling status until the board is idle)\n'
    for _ in $(seq 50); do
        [[ $("$tool" "$port" status || true) == *idle* ]] && return 0
        sleep 0.1
    done
    echo "the board did not become idle" >&2
    return 1
}

run ping || failures=$((failures + 1))
run id || failures=$((failures + 1))
run status || failures=$((failures + 1))
run home || failures=$((failures + 1))
wait_idle || failures=$((failures + 1))
run move x fwd 10 || failures=$((failures + 1))
wait_idle || failures=$((failures + 1))
run vend 3 || failures=$((failures + 1))
run status || failures=$((failures + 1))
wait_idle || failures=$((failures + 1))

# A sample firmware image. The board keeps whole 32-byte blocks (the tool pads the last one with
# 0xFF), so a size that is a multiple of 32 lets the two files be compared byte for byte.
head -c 4096 /dev/urandom >"$work/firmware.bin"
run upgrade "$work/firmware.bin" || failures=$((failures + 1))

# The trace runs until the board stops answering; an operator ends it with Ctrl-C, here a
# time limit does (status 124 from timeout).
printf '\n$ gantrix %s debug ping   (stopped after 2 s)\n' "$port"
status=0
timeout 2 "$tool" "$port" debug ping >"$work/trace.txt" || status=$?
head -n 15 "$work/trace.txt"
lines=$(wc -l <"$work/trace.txt")
if [[ $lines -gt 15 ]]; then
    echo "... ($((lines - 15)) more lines of the board's log)"
fi
echo "[exit status $status]"
[[ $status -eq 124 ]] || failures=$((failures + 1))

# The board writes the image it assembled when it ends.
kill -TERM "$board_pid"
wait "$board_pid" || true
board_pid=
echo
if cmp -s "$work/firmware.bin" "$work/board-image.bin"; then
    echo "The board received exactly the uploaded image ($(stat -c %s "$work/firmware.bin") bytes)."
else
    echo "The board's image differs from the uploaded file." >&2
    failures=$((failures + 1))
fi
echo "Board stopped."
exit $((failures > 0))
