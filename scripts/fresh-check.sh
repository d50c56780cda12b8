#!/usr/bin/env bash
# Runs the README's two commands where nothing was set up by hand: in a minimal Debian 12 made by
# debootstrap (--variant=minbase, the stock package sources), as root.
#
#   scripts/fresh-check.sh          bash scripts/demo.sh in a fresh copy of that Debian
#   scripts/fresh-check.sh --all    and then bash scripts/test-all.sh in another fresh copy
#
# The bare Debian is made once and kept, with the packages apt fetched, under GANTRIX_FRESH_CACHE
# (default /var/cache/gantrix-fresh; never inside the work tree); each part runs in a copy of it
# that is made anew, so every package a command needs must come from the command itself. The
# work tree goes in as git sees it (tracked and untracked files that are not ignored, without
# .git and build/). Each part runs in a mount namespace of its own (/proc, /sys read-only, a
# /dev/pts of its own for the simulated board's ptys and Wine, /dev/shm): whatever happens,
# nothing stays mounted on the host. Prints how long each part took; exits 1 if a part failed.
set -euo pipefail

all=no
case ${1:-} in
    --all) all=yes ;;
    "") ;;
    *)
        echo "usage: $0 [--all]" >&2
        exit 2
        ;;
esac

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [[ $(id -u) -ne 0 ]]; then
    # debootstrap, chroot and mount need root.
    exec sudo -n GANTRIX_FRESH_CACHE="${GANTRIX_FRESH_CACHE:-}" \
        GANTRIX_FUZZ_SECONDS="${GANTRIX_FUZZ_SECONDS:-60}" bash "$0" "$@"
fi

cache=${GANTRIX_FRESH_CACHE:-/var/cache/gantrix-fresh}
cache=$(mkdir -p "$cache" && cd "$cache" && pwd)
case $cache/ in
    "$top"/*)
        echo "fresh-check: the cache $cache is inside the work tree; choose another GANTRIX_FRESH_CACHE" >&2
        exit 2
        ;;
esac
mirror=http://deb.debian.org/debian
base=$cache/bookworm
debs=$cache/apt-archives
mkdir -p "$debs/partial"

declare -a summary=()
elapsed() { printf '%dm %02ds' $(($1 / 60)) $(($1 % 60)); }

# ---------------------------------------------------------------- the bare Debian, made once
start=$(date +%s)
if [[ -f $base/.fresh-check-complete ]]; then
    summary+=("base      $(elapsed 0)  (reused $base)")
else
    echo "=== debootstrap --variant=minbase bookworm into $base"
    bash "$top/scripts/install-deps.sh" debootstrap
    rm -rf --one-file-system "$base.part"
    debootstrap --variant=minbase bookworm "$base.part" "$mirror"
    # What a part's apt fetches is kept in $debs instead.
    chroot "$base.part" apt-get clean
    rm -rf --one-file-system "$base"
    mv "$base.part" "$base"
    touch "$base/.fresh-check-complete"
    summary+=("base      $(elapsed $(($(date +%s) - start)))  (debootstrap into $base)")
fi

# The work tree's files, NUL-separated, relative to it.
tree_files()
{
    if git -C "$top" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git -C "$top" ls-files -z --cached --others --exclude-standard |
            while IFS= read -r -d '' file; do
                # A tracked file deleted in the work tree is not there to copy.
                if [[ -e $top/$file && $file != build/* ]]; then printf '%s\0' "$file"; fi
            done
    else
        (cd "$top" && find . -path ./build -prune -o -path ./.git -prune -o -type f -print0)
    fi
}

# The processes whose root is DIR: what a part left running (a board, a wineserver).
processes_in()
{
    local link
    for link in /proc/[0-9]*/root; do
        if [[ $(readlink "$link" 2>/dev/null) == "$1" ]]; then
            link=${link#/proc/}
            echo "${link%/root}"
        fi
    done
}

# What a part left running (a board, a wineserver) goes when the part ends, or this script does.
current_root=
end_leftovers()
{
    local pids
    pids=$(processes_in "$current_root")
    if [[ -n $pids ]]; then
        echo "fresh-check: ending what was left running in $current_root: $(tr '\n' ' ' <<<"$pids")"
        # shellcheck disable=SC2086
        kill -KILL $pids 2>/dev/null || true
    fi
}
trap 'if [[ -n $current_root ]]; then end_leftovers; fi' EXIT

# Runs COMMAND (a bash command line) as root in /root/gantrix of a fresh copy of the bare
# Debian, named NAME under the cache; times it.
failed=0
run_part()
{
    local name=$1 command=$2
    local root=$cache/run-$name
    echo
    echo "=== $name: $command (in a fresh minimal Debian 12 at $root)"
    local start status=0
    start=$(date +%s)
    current_root=$root
    rm -rf --one-file-system "$root"
    cp -a "$base" "$root"
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    # The way out is this machine's, and so is whom it trusts on it: a network that inspects TLS
    # signs with a root of its own, which a bare Debian does not know, and npm (node) checks
    # against its own list anyway. Given to node as extra roots, so the Debian's own stay as
    # they are.
    if [[ -s /etc/ssl/certs/ca-certificates.crt ]]; then
        mkdir -p "$root/etc/ssl"
        cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/fresh-check-host-roots.crt"
    fi
    mkdir -p "$root/root/gantrix"
    tree_files | tar -C "$top" --null -T - -cf - | tar -C "$root/root/gantrix" -xf -
    # The new mount namespace takes every mount with it when its last process ends; the trap
    # unmounts before that, in order, so that the copy can be removed at once.
    # shellcheck disable=SC2016
    unshare --mount --propagation private bash -c '
        set -euo pipefail
        root=$1 debs=$2 command=$3
        mounted=()
        cleanup() {
            for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
                umount "${mounted[i]}" || umount -l "${mounted[i]}" || true
            done
        }
        trap cleanup EXIT
        mount -t proc proc "$root/proc" && mounted+=("$root/proc")
        mount -t sysfs -o ro sysfs "$root/sys" && mounted+=("$root/sys")
        mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$root/dev/pts" &&
            mounted+=("$root/dev/pts")
        ln -sf pts/ptmx "$root/dev/ptmx"
        mount -t tmpfs -o mode=1777 shm "$root/dev/shm" && mounted+=("$root/dev/shm")
        mount --bind "$debs" "$root/var/cache/apt/archives" &&
            mounted+=("$root/var/cache/apt/archives")
        # A root login shell of a bare Debian, without what the caller had set.
        chroot "$root" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            GANTRIX_FUZZ_SECONDS="${GANTRIX_FUZZ_SECONDS:-60}" \
            NODE_EXTRA_CA_CERTS=/etc/ssl/fresh-check-host-roots.crt \
            bash -c "cd /root/gantrix && $command" </dev/null
    ' fresh-check "$root" "$debs" "$command" || status=$?
    end_leftovers
    current_root=
    local took
    took=$(elapsed $(($(date +%s) - start)))
    if [[ $status -eq 0 ]]; then
        summary+=("$(printf '%-9s %s  passed' "$name" "$took")")
    else
        summary+=("$(printf '%-9s %s  FAILED (status %s)' "$name" "$took" "$status")")
        failed=1
    fi
}

run_part demo "bash scripts/demo.sh"
if [[ $all == yes ]]; then
    run_part test-all "bash scripts/test-all.sh"
fi

echo
echo "=== fresh-check: times (each part includes copying the tree and installing its packages)"
printf '%s\n' "${summary[@]}"
exit $failed
