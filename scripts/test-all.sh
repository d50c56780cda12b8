#!/usr/bin/env bash
# Runs the demo (scripts/demo.sh, against the simulated board), then builds every preset and runs
# every test, from a fresh clone on Debian:
#   windows  mingw-w64 cross build; its unit tests run under Wine
#   dev      native debug build; its tests include the Windows exe under Wine against ptys,
#            so it comes after windows
#   asan     dev with address and undefined-behaviour sanitizers
# Ends with a timing summary and ctest's summary line of each preset.
set -euo pipefail
cd "$(dirname "$0")/.."

mkdir -p build
declare -a summary=()
failed=0

# The checks besides ctest's: each counts once in the closing line.
extra_passed=0
extra_failed=0
run_check() {
    local name=$1
    shift
    echo "=== $name"
    local start status=0
    start=$(date +%s)
    "$@" || status=$?
    summary+=("$(printf '%-8s %4ss' "$name" "$(($(date +%s) - start))")")
    if [[ $status -eq 0 ]]; then
        extra_passed=$((extra_passed + 1))
    else
        extra_failed=$((extra_failed + 1))
        failed=1
        echo "$name FAILED (status $status)"
    fi
}

# The README's first command, before anything else is installed: it must bring what it needs.
run_check demo bash scripts/demo.sh

bash scripts/install-deps.sh

timed() {
    local start end
    start=$(date +%s)
    "$@"
    end=$(date +%s)
    last_seconds=$((end - start))
}

for preset in windows dev asan; do
    echo "=== $preset: configure and build"
    timed cmake --preset "$preset"
    configure_s=$last_seconds
    timed cmake --build --preset "$preset"
    build_s=$last_seconds

    echo "=== $preset: test"
    log=build/$preset-ctest.log
    status=0
    start=$(date +%s)
    ctest --preset "$preset" 2>&1 | tee "$log" || status=$?
    test_s=$(($(date +%s) - start))
    [[ $status -eq 0 ]] || failed=1
    summary+=("$(printf '%-8s configure %4ss  build %4ss  test %4ss' \
        "$preset" "$configure_s" "$build_s" "$test_s")")
done

# The sources' layout; bounded fuzzing of the receivers, scanner and hex dump (clang, libFuzzer);
# then the packages.
run_check format bash scripts/check-format.sh
run_check fuzz bash fuzz/run.sh "${GANTRIX_FUZZ_SECONDS:-60}"
run_check packages bash packaging/check.sh --windows

echo
echo "=== Timings"
printf '%s\n' "${summary[@]}"
echo
echo "=== Test summaries"
for preset in windows dev asan; do
    line=$(grep -E 'tests passed|tests failed out of' "build/$preset-ctest.log" | tail -1 || true)
    echo "$preset: ${line:-ctest stopped before running the tests (see build/$preset-ctest.log)}"
done
echo "demo, format, fuzz and packages: $extra_passed passed, $extra_failed failed"

# One closing line over everything: ctest cases, plus the demo, the format check, the fuzz run
# and the package check.
total_passed=$extra_passed
total_failed=$extra_failed
for preset in windows dev asan; do
    line=$(grep -E 'tests passed|tests failed out of' "build/$preset-ctest.log" | tail -1 || true)
    if [[ $line =~ ([0-9]+)\ tests\ failed\ out\ of\ ([0-9]+) ]]; then
        total_failed=$((total_failed + BASH_REMATCH[1]))
        total_passed=$((total_passed + BASH_REMATCH[2] - BASH_REMATCH[1]))
    else
        total_failed=$((total_failed + 1))
    fi
done
echo
echo "total: $total_passed passed, $total_failed failed"
exit $failed
