#!/usr/bin/env bash
# Runs a Windows program of the cross build under Wine, the way ctest and the end-to-end tests need
# it: quiet, without prompts, in a prefix of the build tree's own, with the program's exit status.
#
#   wine-run.sh PROGRAM.exe [ARGS...]
#
# GANTRIX_WINEPREFIX chooses the prefix; by default it is "wineprefix" in the build tree that
# holds the program (the nearest folder above it with a CMakeCache.txt). Wine's own stderr (and
# the program's, unless GANTRIX_WINE_STDERR names another file) goes to "<prefix>.log", because
# wineserver can dump thousands of lines there when a pty peer vanishes.
set -euo pipefail

if [[ $# -lt 1 ]]; then
    echo "usage: $0 PROGRAM.exe [ARGS...]" >&2
    exit 125
fi
exe=$1
shift

find_build_tree() {
    local dir
    dir=$(cd "$(dirname "$1")" && pwd)
    while [[ $dir != / ]]; do
        if [[ -f $dir/CMakeCache.txt ]]; then
            echo "$dir"
            return
        fi
        dir=$(dirname "$dir")
    done
    echo "${XDG_CACHE_HOME:-$HOME/.cache}/gantrix"
}

prefix=${GANTRIX_WINEPREFIX:-$(find_build_tree "$exe")/wineprefix}
log=$prefix.log
mkdir -p "$(dirname "$prefix")"

export WINEPREFIX=$prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
# No display: keeps wineboot from trying to open windows on a desktop that CI does not have.
unset DISPLAY WAYLAND_DISPLAY

# Debian installs only the 64-bit loader under this name; fall back to the wrapper elsewhere.
if [[ -x /usr/lib/wine/wine64 ]]; then
    loader=/usr/lib/wine/wine64
    export WINELOADER=$loader
elif command -v wine64 >/dev/null; then
    loader=$(command -v wine64)
else
    loader=wine
fi

# wineboot and wineserver come with Debian's "wine" package; without it, the loader and the
# server binary of "wine64" do the same.
if command -v wineserver >/dev/null; then
    server=$(command -v wineserver)
else
    server=/usr/lib/wine/wineserver64
fi
if command -v wineboot >/dev/null; then
    boot=(wineboot)
else
    boot=("$loader" wineboot)
fi

# A fresh prefix takes 10-30 s to create: do it once per build tree, and make parallel runs wait
# for the first one instead of racing it. The marker is written only after a complete boot.
if [[ ! -f $prefix/.gantrix-ready ]]; then
    exec 9>"$prefix.lock"
    flock 9
    if [[ ! -f $prefix/.gantrix-ready ]]; then
        rm -rf "$prefix"
        {
            echo "== wineboot -i $(date)"
            "${boot[@]}" -i
            "$server" -w
        } >>"$log" 2>&1 </dev/null
        touch "$prefix/.gantrix-ready"
    fi
    flock -u 9
    exec 9>&-
fi

# Keep the server up for a minute after the last program ends, so each run starts in
# milliseconds. A second start while one is running only reports that and changes nothing.
"$server" -p60 >>"$log" 2>&1 </dev/null || true

# GANTRIX_WINE_STDERR: where the program's stderr goes instead, for tests of its diagnostics
# (/dev/stderr: the caller's). Wine's own messages come with it, so look for lines, not the text.
exec "$loader" "$exe" "$@" 2>>"${GANTRIX_WINE_STDERR:-$log}"
