#!/usr/bin/env bash
# Builds the packages and checks them the way a user would meet them.
#
#   packaging/check.sh            the .deb packages; the Windows zip too when build/windows exists
#   packaging/check.sh --windows  the .deb packages and the Windows zip
#
# Linux: release build in build/pkg, cpack DEB, dpkg -x into a scratch root, the installed
# gantrix against the installed gantrix-board (ping, id), manual page and completion checks.
# Windows: cross build in build/pkgwin; the zip and the MSI signed with a throwaway certificate
# and verified (the completion script only with an osslsigncode that signs scripts, 2.8 or
# later: Debian 12's 2.5 does not, and the check says so), then built again unsigned (what the
# build makes without a certificate); unzip, the exe's DLL imports, the exe under Wine with no
# words (usage text, status 1), the PowerShell completion (parsed, and its words against the bash
# completion's); the MSI installed under Wine over the signed one of the same version, gantrix
# run from the PATH, then uninstalled.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"
bash scripts/install-deps.sh

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
scratch=$(mktemp -d)
trap 'stop_board; rm -rf "$scratch"' EXIT

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

# ---------------------------------------------------------------- Windows zip and MSI
if [[ $windows == yes ]]; then
    win=$top/build/pkgwin
    # Every Wine run in the build tree's own prefix (cmake/wine-run.sh), made once.
    export GANTRIX_WINEPREFIX=$win/wineprefix
    step "Windows cross build in $win, signed with a throwaway certificate"
    keys=$scratch/signing
    mkdir -p "$keys"
    echo "throwaway" >"$keys/password"
    # A password on the key, so that GANTRIX_SIGN_PASS_FILE is used too.
    openssl req -x509 -newkey rsa:2048 -days 2 -subj "/CN=gantrix package check" \
        -addext extendedKeyUsage=codeSigning -passout "file:$keys/password" \
        -keyout "$keys/key.pem" -out "$keys/cert.pem" 2>"$keys/openssl.log" ||
        die "openssl could not make a certificate: $(cat "$keys/openssl.log")"
    cmake --preset windows -B "$win" -DGANTRIX_TESTS=OFF -DGANTRIX_SIGN_CERT="$keys/cert.pem" \
        -DGANTRIX_SIGN_KEY="$keys/key.pem" -DGANTRIX_SIGN_PASS_FILE="$keys/password" >/dev/null
    cmake --build "$win" -j2
    # Debian 12's own osslsigncode (2.5) signs exe and MSI files, but no PowerShell script; the
    # build then leaves the script unsigned, and so does this check.
    scripts_signed=$(sed -n 's/^GANTRIX_SIGN_SCRIPT:INTERNAL=//p' "$win/CMakeCache.txt")
    sign_tool=$(osslsigncode --version 2>&1 | head -n 1 | sed 's/,.*//')
    # Both packages, and the zip's content, into DIR.
    make_packages()
    {
        local dir=$1
        rm -rf "$win"/*.zip "$win"/*.msi "$win/_CPack_Packages" "$dir"
        (cd "$win" && cpack -G ZIP >/dev/null)
        cmake --build "$win" --target msi >/dev/null
        mkdir -p "$dir/unzipped"
        cp "$win"/gantrix-*-win64.zip "$win"/gantrix-*-win64.msi "$dir/"
        unzip -q "$dir"/gantrix-*-win64.zip -d "$dir/unzipped"
    }
    make_packages "$scratch/signed"
    signed_msi=$(ls "$scratch"/signed/gantrix-*-win64.msi)

    step "signatures: the zip's gantrix.exe and completion script, the MSI"
    signed_files=("$(ls "$scratch"/signed/unzipped/*/gantrix.exe)" "$signed_msi")
    if [[ $scripts_signed == ON ]]; then
        signed_files+=("$(ls "$scratch"/signed/unzipped/*/gantrix-completion.ps1)")
    else
        echo "gantrix-completion.ps1: not signed, not checked: $sign_tool cannot read or sign" \
            "PowerShell scripts (osslsigncode 2.8 and later can)"
    fi
    # The certificate is its own root: given as the trusted one, verify checks the whole chain,
    # the digest of the file against the signed one, and the signature over it.
    for file in "${signed_files[@]}"; do
        osslsigncode verify -CAfile "$keys/cert.pem" -in "$file" >"$scratch/verify.txt" 2>&1 ||
            die "${file#"$scratch/"} is not validly signed:" \
                "$(grep -E 'MISMATCH|Error|Failed' "$scratch/verify.txt")"
        grep -q 'Subject: /CN=gantrix package check' "$scratch/verify.txt" ||
            die "${file#"$scratch/"} is not signed with the check's certificate"
        echo "${file#"$scratch/"}: signed by CN=gantrix package check, verified"
    done
    run_signed=(cmake/wine-run.sh "$(ls "$scratch"/signed/unzipped/*/gantrix.exe)")
    status=0
    "${run_signed[@]}" >/dev/null 2>&1 </dev/null || status=$?
    [[ $status == 1 ]] || die "the signed gantrix.exe with no words ended with status $status"

    step "cpack ZIP and the MSI without a certificate"
    cmake --preset windows -B "$win" -DGANTRIX_TESTS=OFF -DGANTRIX_SIGN_CERT= -DGANTRIX_SIGN_KEY= \
        -DGANTRIX_SIGN_PASS_FILE= >/dev/null
    make_packages "$scratch/unsigned"
    zip=$(ls "$win"/gantrix-*-win64.zip)
    msi=$(ls "$win"/gantrix-*-win64.msi)
    ls -l "$zip" "$msi"
    exe=$(ls "$scratch"/unsigned/unzipped/*/gantrix.exe)
    dir=$(dirname "$exe")
    for file in README-windows.txt gantrix-completion.ps1; do
        [[ -f $dir/$file ]] || die "no $file next to gantrix.exe in the zip"
    done
    unsigned_files=("$exe" "$msi")
    if [[ $scripts_signed == ON ]]; then
        unsigned_files+=("$dir/gantrix-completion.ps1")
    fi
    for file in "${unsigned_files[@]}"; do
        if osslsigncode extract-signature -in "$file" -out "$scratch/sig" >/dev/null 2>&1; then
            die "${file##*/} is signed, though no certificate was given"
        fi
    done

    step "DLL imports of the zip's gantrix.exe"
    imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
    echo "$imports"
    [[ -n $imports ]] || die "no import table read from $exe"
    # What every Windows has; a DLL of the compiler's runtime here would be missing there.
    while read -r dll; do
        case ${dll,,} in
            kernel32.dll | msvcrt.dll | setupapi.dll | advapi32.dll | ws2_32.dll) ;;
            *) die "gantrix.exe needs $dll, which a bare Windows does not have" ;;
        esac
    done <<<"$imports"

    step "the zip's gantrix.exe under Wine: usage text, status 1"
    status=0
    cmake/wine-run.sh "$exe" >"$win/usage.raw" 2>"$win/wine.err" </dev/null || status=$?
    [[ $status == 1 ]] || die "gantrix.exe with no words ended with status $status, not 1"
    # The C runtime writes "\r\n" for "\n": fold it before comparing with the Linux tool's text.
    sed 's/\r$//' "$win/usage.raw" >"$win/usage.txt"
    cmp "$win/usage.txt" "$pkg/usage.txt" || die "gantrix.exe's usage text differs from gantrix's"
    echo "usage text identical to the Linux tool's, status 1"

    step "PowerShell completion: parsed, and the same words as the bash completion"
    for ps1 in "$dir/gantrix-completion.ps1" "$scratch"/signed/unzipped/*/gantrix-completion.ps1; do
        echo "${ps1#"$scratch/"}"
        bash packaging/check-completion.sh --ps1 "$ps1" "$completion"
    done

    step "the MSI under Wine: install over the signed one, run from the PATH, uninstall"
    drive_c=$GANTRIX_WINEPREFIX/drive_c
    installed="$drive_c/Program Files/gantrix"
    env_key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
    uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
    wine_path() { cmake/wine-run.sh reg query "$env_key" /v Path </dev/null | tr -d '\r'; }
    # The product code of each gantrix installed, one a line.
    product_codes()
    {
        cmake/wine-run.sh reg query "$uninstall_key" /s </dev/null | tr -d '\r' | awk '
            /^HKEY/ { key = $0 }
            /^[ \t]+DisplayName[ \t]+REG_SZ[ \t]+gantrix$/ { sub(/.*\\/, "", key); print key }'
    }
    products() { product_codes | wc -l; }
    entries() { wine_path | { grep -o 'C:\\Program Files\\gantrix\\\?' || true; } | wc -l; }
    # What a failed run left in the prefix goes first: Wine's installer replaces only one
    # related product per install, where Windows replaces all.
    for code in $(product_codes); do
        cmake/wine-run.sh msiexec /x "$code" /qn </dev/null ||
            die "msiexec /x $code ended with status $?"
    done
    # A package of the same version, built again, replaces the installed one.
    for package in "$signed_msi" "$msi"; do
        cmake/wine-run.sh msiexec /i "Z:$package" /qn </dev/null ||
            die "msiexec /i ${package##*/} ended with status $?"
    done
    for file in gantrix.exe README-windows.txt gantrix-completion.ps1; do
        [[ -f $installed/$file ]] || die "the MSI does not install Program Files\\gantrix\\$file"
    done
    cmp "$installed/gantrix.exe" "$exe" || die "the MSI's gantrix.exe is not the zip's"
    [[ $(products) == 1 ]] || die "$(products) products named gantrix installed, not 1"
    [[ $(entries) == 1 ]] ||
        die "the system PATH holds the gantrix folder $(entries) times, not once: $(wine_path)"
    echo "installed; PATH: $(wine_path | sed -n 's/.*REG_EXPAND_SZ *//p')"
    # The words for gantrix from the PATH; the answer must be the zip's exe's to the same words.
    # Wine finds a bare "gantrix" through the Windows PATH as CreateProcess does. (Not through
    # Wine's cmd, which stops at an empty PATH entry, and Wine leaves one at each uninstall.)
    words=()
    status=0
    cmake/wine-run.sh gantrix "${words[@]}" >"$win/path-run.raw" </dev/null || status=$?
    want_status=0
    cmake/wine-run.sh "$exe" "${words[@]}" >"$win/direct-run.raw" </dev/null || want_status=$?
    [[ -s $win/direct-run.raw ]] || die "gantrix.exe ${words[*]} printed nothing"
    cmp "$win/path-run.raw" "$win/direct-run.raw" ||
        die "gantrix ${words[*]} from the PATH does not print what the zip's gantrix.exe prints"
    [[ $status == "$want_status" ]] ||
        die "gantrix ${words[*]} from the PATH ended with status $status, not $want_status"
    first=$(head -n 1 "$win/path-run.raw" | tr -d '\r')
    echo "gantrix${words[*]:+ ${words[*]}} from the PATH: $first, status $status"

    cmake/wine-run.sh msiexec /x "Z:$msi" /qn </dev/null || die "msiexec /x ended with status $?"
    [[ ! -e $installed ]] || die "Program Files\\gantrix is still there after the uninstall"
    [[ $(products) == 0 ]] || die "gantrix is still listed as installed after the uninstall"
    # Wine leaves the ';' that came before the removed entry; the entry itself must go.
    [[ $(entries) == 0 ]] || die "the system PATH still holds the gantrix folder: $(wine_path)"
    echo "uninstalled: no files, no product, no PATH entry"
fi

step "sizes"
ls -l "$pkg"/*.deb
if [[ $windows == yes ]]; then
    ls -l "$top"/build/pkgwin/gantrix-*-win64.zip "$top"/build/pkgwin/gantrix-*-win64.msi
fi
echo "packaging: all checks pass"
