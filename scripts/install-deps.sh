#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need, and
# any further ones named on the command line, when any of them is missing;
# adds the arm64 architecture to dpkg, whose package lists the arm64 build
# fetches its libraries from.
set -euo pipefail

# The launcher is linked with libcurl (release build) and bzip2 built from
# Debian's source packages (dpkg-dev unpacks them), OpenSSL, c-ares and
# zlib; the tests run it in a BusyBox chroot under strace, with certificates
# made by openssl, compare its unpacking with Info-ZIP's unzip on archives
# that zip, bsdtar and Python's zipfile make, and keep the code's format
# with clang-format.
packages=(g++ cmake make pkgconf zlib1g-dev libcurl4-openssl-dev libgtest-dev libgmock-dev
  unzip zip nginx-light dpkg-dev libssl-dev libc-ares-dev busybox-static
  strace openssl python3 util-linux binutils libarchive-tools clang-format)
# The arm64 launcher: Debian's cross compiler (its binutils strip and split
# the symbols), and qemu's user-mode emulator, whose static build binfmt_misc
# can start from inside a chroot too. Its libraries (libssl-dev, libc-ares-dev,
# zlib1g-dev) and BusyBox are not installed: the arm64 build fetches their
# :arm64 packages into its own tree (cmake/target_packages.cmake). Installed,
# each would pull its amd64 twin to exactly its version (Multi-Arch: same),
# and busybox-static:arm64 would replace the amd64 BusyBox the tests copy.
packages+=(g++-aarch64-linux-gnu qemu-user qemu-user-static binfmt-support "$@")

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

# The lists refreshed before anything is installed, and whenever the arm64
# architecture is new to dpkg (or its lists were never fetched).
update=no
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  $sudo dpkg --add-architecture arm64
  update=yes
fi
apt-cache show libssl-dev:arm64 >/dev/null 2>&1 || update=yes

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] || update=yes
[ "$update" = no ] || $sudo apt-get update -qq
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
