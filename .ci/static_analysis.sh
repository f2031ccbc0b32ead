#!/usr/bin/env bash
# clang-tidy (.clang-tidy) and cppcheck over src/, with the compile commands of BUILD_DIR; fails on
# any finding, and shows only findings.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=$1
# clang-tidy counts the warnings it leaves out, from system headers, on standard error.
tidy_output=$(clang-tidy -p "$build_dir" --quiet src/*.cpp 2>&1) && tidy_status=0 || tidy_status=$?
printf '%s' "$tidy_output" | grep -v '^[0-9]* warnings\? generated\.$' || true
[ "$tidy_status" -eq 0 ]
# A cppcheck that limits its analysis of branches says so and fails: let it look at them all.
exhaustive=()
# Read the whole help first: grep -q would stop reading early, and under pipefail the help's
# broken pipe would then count as "no such option".
cppcheck_help=$(cppcheck --help)
if [[ $cppcheck_help == *--check-level* ]]; then
    exhaustive=(--check-level=exhaustive)
fi
cppcheck "${exhaustive[@]}" --enable=warning,performance,portability --error-exitcode=1 --quiet \
    --std=c++17 src/
