#!/usr/bin/env bash
# Builds the packages and checks them the way a user would meet them.
#
#   packaging/check.sh            the .deb packages; the Windows zip too when build/windows exists
#   packaging/check.sh --windows  the .deb packages and the Windows zip
#
# Linux: release build in build/pkg, cpack DEB, dpkg -x into a scratch root, the installed
# gantrix against the installed gantrix-board (ping, id), manual page and completion checks.
# Windows: cross build in build/pkgwin, cpack ZIP, unzip, the exe's DLL imports, the exe under
# Wine with no words (usage text, status 1).
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"

windows=no
case ${1:-} in
    --windows) windows=yes ;;
    "") if [[ -d build/windows ]]; then windows=yes; fi ;;
    *)
        echo "usage: $0 [--windows]" >&2
        exit 2
        ;;
esac

step() { printf '\n== %s\n' "$*"; }
die()
{
    echo "FAIL: $*"
    exit 1
}

board_pid=
stop_board()
{
    if [[ -n $board_pid ]]; then
        kill -TERM "$board_pid" 2>/dev/null || true
        wait "$board_pid" 2>/dev/null || true
        board_pid=
    fi
}
trap stop_board EXIT

# ---------------------------------------------------------------- Debian packages
pkg=$top/build/pkg
step "release build in $pkg"
cmake --preset release -B "$pkg" >/dev/null
cmake --build "$pkg" -j2

step "cpack DEB"
rm -rf "$pkg"/*.deb "$pkg/_CPack_Packages"
(cd "$pkg" && cpack -G DEB)
deb_tool=$(ls "$pkg"/gantrix_*.deb)
ls -l "$pkg"/*.deb
[[ $(dpkg-deb -f "$deb_tool" Package) == gantrix ]] || die "$deb_tool is not package gantrix"
deb_board=
if [[ -f board/CMakeLists.txt ]]; then
    deb_board=$(ls "$pkg"/gantrix-board_*.deb 2>/dev/null) || die "no gantrix-board package"
    [[ $(dpkg-deb -f "$deb_board" Package) == gantrix-board ]] ||
        die "$deb_board is not package gantrix-board"
fi

step "install into a scratch root with dpkg -x"
root=$pkg/root
rm -rf "$root"
mkdir -p "$root"
for deb in "$deb_tool" $deb_board; do
    dpkg -x "$deb" "$root"
done
gantrix=$root/usr/bin/gantrix
man_page=$root/usr/share/man/man1/gantrix.1
completion=$root/usr/share/bash-completion/completions/gantrix
for file in "$gantrix" "$man_page" "$completion"; do
    [[ -f $file ]] || die "the gantrix package does not install ${file#"$root"}"
done
# The tool's package holds the tool's files only: the board comes in its own package.
tool_files=$(dpkg-deb -c "$deb_tool")
if grep -q 'gantrix-board' <<<"$tool_files"; then
    die "the gantrix package holds the board"
fi

step "installed gantrix: usage text"
status=0
"$gantrix" >"$pkg/usage.txt" || status=$?
[[ $status == 1 ]] || die "gantrix with no words ended with status $status, not 1"
[[ $(head -n 1 "$pkg/usage.txt") == "OSTREL gantrix" ]] || die "no usage text from $gantrix"

if [[ -n $deb_board ]]; then
    step "installed gantrix against the installed gantrix-board"
    board=$root/usr/bin/gantrix-board
    [[ -x $board ]] || die "the gantrix-board package does not install /usr/bin/gantrix-board"
    "$board" --id 3C:2.7 >"$pkg/board.out" 2>"$pkg/board.err" &
    board_pid=$!
    for _ in $(seq 100); do
        [[ -s $pkg/board.out ]] && break
        kill -0 "$board_pid" 2>/dev/null || die "gantrix-board ended: $(cat "$pkg/board.err")"
        sleep 0.1
    done
    device=$(head -n 1 "$pkg/board.out")
    [[ -c $device ]] || die "gantrix-board's first line is not a device: '$device'"
    expect_run()
    {
        local want=$1 out status=0
        shift
        out=$("$gantrix" "$device" "$@") || status=$?
        echo "gantrix $device $* -> $out (status $status)"
        [[ $status == 0 && $out == "$want" ]] || die "gantrix $*: wanted '$want' and status 0"
    }
    expect_run "PING OK" ping
    expect_run "ID: device 3C version 2.7" id
    stop_board
fi

step "manual page"
bash packaging/check-man.sh "$man_page" "$gantrix"

step "bash completion"
bash packaging/check-completion.sh "$completion" "$gantrix"

# ---------------------------------------------------------------- Windows zip
if [[ $windows == yes ]]; then
    win=$top/build/pkgwin
    step "Windows cross build in $win"
    cmake --preset windows -B "$win" -DGANTRIX_TESTS=OFF >/dev/null
    cmake --build "$win" -j2

    step "cpack ZIP"
    rm -rf "$win"/*.zip "$win/_CPack_Packages"
    (cd "$win" && cpack -G ZIP)
    zip=$(ls "$win"/gantrix-*-win64.zip)
    ls -l "$zip"
    unzipped=$win/unzipped
    rm -rf "$unzipped"
    mkdir -p "$unzipped"
    unzip -q "$zip" -d "$unzipped"
    exe=$(ls "$unzipped"/*/gantrix.exe)
    [[ -f $(dirname "$exe")/README-windows.txt ]] || die "no README-windows.txt next to gantrix.exe"

    step "DLL imports of the zip's gantrix.exe"
    imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
    echo "$imports"
    [[ -n $imports ]] || die "no import table read from $exe"
    # What every Windows has; a DLL of the compiler's runtime here would be missing there.
    while read -r dll; do
        case ${dll,,} in
            kernel32.dll | msvcrt.dll) ;;
            *) die "gantrix.exe needs $dll, which a bare Windows does not have" ;;
        esac
    done <<<"$imports"

    step "the zip's gantrix.exe under Wine: usage text, status 1"
    if [[ -x cmake/wine-run.sh ]]; then
        run=(cmake/wine-run.sh "$exe")
    else
        mkdir -p "$win/wineprefix"
        run=(env WINEPREFIX="$win/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" wine "$exe")
    fi
    status=0
    "${run[@]}" >"$win/usage.raw" 2>"$win/wine.err" </dev/null || status=$?
    [[ $status == 1 ]] || die "gantrix.exe with no words ended with status $status, not 1"
    # The C runtime writes "\r\n" for "\n": fold it before comparing with the Linux tool's text.
    sed 's/\r$//' "$win/usage.raw" >"$win/usage.txt"
    cmp "$win/usage.txt" "$pkg/usage.txt" || die "gantrix.exe's usage text differs from gantrix's"
    echo "usage text identical to the Linux tool's, status 1"
fi

step "sizes"
ls -l "$pkg"/*.deb
if [[ $windows == yes ]]; then
    ls -l "$top"/build/pkgwin/gantrix-*-win64.zip
fi
echo "packaging: all checks pass"
