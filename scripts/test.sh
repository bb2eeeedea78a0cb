#!/usr/bin/env bash
# Builds the launcher and runs the whole suite twice: a normal build, and one
# with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

# python3-pyte plays the terminal screen in the terminal tests.
./scripts/install-deps.sh python3-pyte
# The tests make their fixtures with the usual modes; the launcher refuses a
# cache path that others could write, which a umask of 000 would give them.
umask 022
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DQZ_SANITIZE=ON
cmake --build build-sanitize -j "$jobs"
ctest --test-dir build-sanitize --output-on-failure -j "$jobs"

# No test may write into the checkout: anything the suite leaves there (or
# anything not committed) fails the run.
if git rev-parse --is-inside-work-tree > /dev/null 2>&1 && [ -n "$(git status --porcelain)" ]; then
  echo "FAILED: the checkout is not clean after the tests:" >&2
  git status --porcelain >&2
  exit 1
fi
