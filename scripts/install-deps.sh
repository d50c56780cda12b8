#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those that are missing.
# Runs as root, or through sudo otherwise; never asks questions (CI has no stdin).
set -euo pipefail

# libedit-dev gives the shell's prompt its line editing; tmux types at that prompt in its test.
# wixl and msitools make the MSI, osslsigncode and openssl sign it in the package check, which
# also parses the PowerShell completion with node (npm builds the parser with make and python3);
# ser2net serves the simulated board on TCP for the network port tests.
packages=(cmake make g++ libgtest-dev googletest g++-mingw-w64-x86-64-posix wine wine64 clang
          clang-format libclang-rt-14-dev libbenchmark-dev valgrind man-db unzip dpkg-dev file
          wixl msitools osslsigncode openssl python3 libedit-dev tmux ser2net)
# A node installed from elsewhere brings its own npm; Debian's npm would pull Debian's node.
if ! command -v npm >/dev/null; then
    packages+=(npm)
fi
if [[ $# -gt 0 ]]; then
    packages=("$@")
fi

missing=()
for p in "${packages[@]}"; do
    # dpkg -s also succeeds for a removed package whose configuration files remain.
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
if [[ ${#missing[@]} -eq 0 ]]; then
    exit 0
fi

sudo=()
if [[ $(id -u) -ne 0 ]]; then
    sudo=(sudo -n)
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update </dev/null
"${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}" </dev/null
