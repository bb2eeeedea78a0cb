#!/usr/bin/env bash
# Builds the launcher and runs the whole suite: a normal build, its launcher
# checked for reproducibility; the arm64 launcher, cross-built, checked the
# same way, with the end-to-end rows run again against it under qemu; and a
# build with AddressSanitizer and UndefinedBehaviorSanitizer.
# QZ_ARM64=0 leaves arm64 out.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
# The tests make their fixtures with the usual modes; the launcher refuses a
# cache path that others could write, which a umask of 000 would give them.
umask 022
jobs=$(nproc)
arm64=${QZ_ARM64:-1}
# Where the time goes: each part says when it starts.
part() { echo "== $* (at ${SECONDS} s)"; }

# The code keeps one format; a file that drifts from it fails here first.
find launcher payload agent tools tests \( -name '*.cc' -o -name '*.h' \) -print0 |
  xargs -0 clang-format --dry-run --Werror

# Lets the kernel start arm64 programs through qemu's static emulator. The F
# flag has the emulator opened at registration, so that it also starts
# programs inside a chroot that holds no emulator. Needs root.
enableArm64Emulation() {
  local entry=/proc/sys/fs/binfmt_misc/qemu-aarch64
  [ -e /proc/sys/fs/binfmt_misc/register ] ||
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null || return 1
  if [ -e $entry ]; then
    grep -qx enabled $entry || echo 1 >$entry || return 1
  else
    update-binfmts --enable qemu-aarch64 >/dev/null 2>&1 || return 1
  fi
  grep -qx enabled $entry && grep -q '^flags: .*F' $entry
}
if [ "$arm64" = 1 ] && ! enableArm64Emulation; then
  echo "SKIPPED arm64: qemu-aarch64 cannot be registered with binfmt_misc (flag F) here" >&2
  arm64=0
fi

# A release launcher is one static executable for its machine: no program
# interpreter, no dynamic section, no symbol table (its symbols are beside it).
checkStaticLauncher() { # FILE MACHINE
  local headers
  headers=$(LC_ALL=C readelf -lhdS "$1")
  grep -q "Machine: *$2\$" <<<"$headers" && grep -q "There is no dynamic section" <<<"$headers" &&
    ! grep -qE "INTERP|\.symtab" <<<"$headers" && grep -q "\.gnu_debuglink" <<<"$headers" &&
    [ -s "$1.debug" ] || { echo "NOT STATIC: $1 ($2)" >&2; return 1; }
  echo "Static: $1, $(stat -c %s "$1") bytes stripped, for $2"
}

# The arm64 launchers in tree DIR, one with the x86-64 build's test key for
# its rows; ARGS... go to the configure.
arm64Build() { # DIR ARGS...
  local dir=$1
  shift
  cmake --preset arm64 -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j "$jobs" --target qz-bootstrap "${arm64Targets[@]}" >/dev/null
}

part "release build"
release=(-DCMAKE_BUILD_TYPE=Release)
arm64Tests=()
[ "$arm64" = 0 ] || arm64Tests=(-DQZ_TEST_LAUNCHER_BUILD="$PWD/build-arm64")
cmake -S . -B build "${release[@]}" "${arm64Tests[@]}"
cmake --build build -j "$jobs"
checkStaticLauncher build/bin/qz-bootstrap "Advanced Micro Devices X86-64"
arm64Targets=(qz-bootstrap-signed)
if [ "$arm64" = 1 ]; then
  part "arm64 build"
  arm64Build build-arm64 -DQZ_TEST_AGENT_PUBLIC_KEY="$PWD/build/tests/agent-key/agent-key.pub.pem"
  checkStaticLauncher build-arm64/bin/qz-bootstrap AArch64
  grep -q '^fetched libssl-dev:arm64 ' build-arm64/bin/qz-bootstrap.versions ||
    { echo "NOT RECORDED: the arm64 OpenSSL in build-arm64/bin/qz-bootstrap.versions" >&2; exit 1; }
fi
part "release suite"
ctest --test-dir build --output-on-failure -j "$jobs" -LE arm64
if [ "$arm64" = 1 ]; then
  # Mostly waiting on the emulator and the rows' servers: one more than cores.
  part "arm64 rows under qemu"
  ctest --test-dir build --output-on-failure -j $((jobs + 1)) -L arm64
fi

# A launcher is reproducible: a second clean tree elsewhere, with the same
# options, built from the same source versions (its record of them equal to
# the first's), must give the same bytes. The arm64 one is checked against a
# tree that builds the launcher's own code again but links the first tree's
# fetched and built third-party archives (QZ_THIRD_PARTY_DIR).
checkReproducible() { # TREE BUILD-COMMAND...
  local first=$1/bin/qz-bootstrap again=build-repro/bin/qz-bootstrap
  shift
  rm -rf build-repro
  "$@"
  if ! cmp -s "$first.versions" "$again.versions"; then
    echo "NOT COMPARABLE: the two trees were built from different versions" >&2
    diff -u "$first.versions" "$again.versions" | sed 's/^/  /' >&2 || true
    echo "  (a tree keeps the sources it fetched first; rm -rf it to take what apt offers now)" >&2
    rm -rf build-repro
    return 1
  fi
  local difference
  if ! difference=$(cmp "$first" "$again" 2>&1); then
    echo "NOT REPRODUCIBLE: two builds from the same source versions differ" >&2
    echo "  $first: $(stat -c %s "$first") bytes" >&2
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
  echo "Reproducible: build-repro, from the same versions, gave the same bytes as $first"
}
x86Again() {
  cmake -S . -B build-repro "${release[@]}" >/dev/null
  cmake --build build-repro -j "$jobs" --target qz-bootstrap >/dev/null
}
part "reproducibility"
checkReproducible build x86Again
if [ "$arm64" = 1 ]; then
  arm64Targets=()
  checkReproducible build-arm64 arm64Build build-repro -DQZ_THIRD_PARTY_DIR="$PWD/build-arm64/third_party"
fi

part "sanitizer build and suite"
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DQZ_SANITIZE=ON
cmake --build build-sanitize -j "$jobs"
ctest --test-dir build-sanitize --output-on-failure -j "$jobs"
part "done"

# No test may write into the checkout: anything the suite leaves there (or
# anything not committed) fails the run.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1 && [ -n "$(git status --porcelain)" ]; then
  echo "FAILED: the checkout is not clean after the tests:" >&2
  git status --porcelain >&2
  exit 1
fi
