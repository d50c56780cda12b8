#!/usr/bin/env bash
# Holds the C++ sources (the tool, the board, the tests, the benchmarks and the fuzz targets) to
# the checked-in .clang-format: fails, with clang-format's report of each place, when a file is
# not laid out as clang-format would lay it out. Nothing is rewritten; --fix rewrites in place.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v clang-format >/dev/null; then
    bash scripts/install-deps.sh clang-format
fi

# The source folders as they are on disk, so that an unpacked tree without git (or without .git)
# is checked as a clone is; build trees lie outside them, and fuzzing's corpus holds no sources.
mapfile -t files < <(find utils board tests bench fuzz -path fuzz/corpus-run -prune -o \
    -type f \( -name '*.cpp' -o -name '*.h' \) -print | LC_ALL=C sort)
if [[ ${#files[@]} -eq 0 ]]; then
    echo "check-format: no sources found in utils, board, tests, bench and fuzz" >&2
    exit 2
fi

if [[ ${1:-} == --fix ]]; then
    clang-format -i "${files[@]}"
    exit 0
fi

# Other releases of clang-format lay out some constructs differently from the one the file was
# written for; say which one judged.
echo "$(clang-format --version) over ${#files[@]} files"
status=0
clang-format --dry-run -Werror "${files[@]}" || status=$?
if [[ $status -ne 0 ]]; then
    echo "check-format: not as .clang-format lays it out; apply with: bash scripts/check-format.sh --fix" >&2
fi
exit $status
