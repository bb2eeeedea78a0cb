#!/usr/bin/env bash
# Builds the launcher and runs the whole suite twice: a normal build, and one
# with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
# The tests make their fixtures with the usual modes; the launcher refuses a
# cache path that others could write, which a umask of 000 would give them.
umask 022
jobs=$(nproc)

# The code keeps one format; a file that drifts from it fails here first.
find launcher payload agent tools tests \( -name '*.cc' -o -name '*.h' \) -print0 |
  xargs -0 clang-format --dry-run --Werror

release=(-DCMAKE_BUILD_TYPE=Release)
cmake -S . -B build "${release[@]}"
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"

# The release launcher is reproducible: a second clean tree elsewhere, with
# the same options, built from the same source versions (its record of them
# equal to build's), must give the same bytes.
checkReproducible() {
  local again=build-repro/bin/qz-bootstrap
  rm -rf build-repro
  cmake -S . -B build-repro "${release[@]}" >/dev/null
  cmake --build build-repro -j "$jobs" --target qz-bootstrap >/dev/null
  if ! cmp -s build/bin/qz-bootstrap.versions "$again.versions"; then
    echo "NOT COMPARABLE: the two trees were built from different versions" >&2
    diff -u build/bin/qz-bootstrap.versions "$again.versions" | sed 's/^/  /' >&2 || true
    echo "  (a tree keeps the sources it fetched first; rm -rf build to take what apt offers now)" >&2
    rm -rf build-repro
    return 1
  fi
  local difference
  if ! difference=$(cmp build/bin/qz-bootstrap "$again" 2>&1); then
    echo "NOT REPRODUCIBLE: two builds from the same source versions differ" >&2
    echo "  build/bin/qz-bootstrap: $(stat -c %s build/bin/qz-bootstrap) bytes" >&2
    echo "  $again: $(stat -c %s "$again") bytes" >&2
    # cmp counts bytes from 1; "EOF on" means one file is a prefix of the other.
    local byte offset
    byte=$(sed -n 's/.* differ: byte \([0-9]*\),.*/\1/p' <<<"$difference")
    offset=${byte:+$((byte - 1))}
    echo "  first differing offset: ${offset:-end of the shorter file} ($difference)" >&2
    rm -rf build-repro
    return 1
  fi
  rm -rf build-repro
  echo "Reproducible: build-repro, from the same versions, gave the same qz-bootstrap"
}
checkReproducible

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
