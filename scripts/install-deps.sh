#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need, and
# any further ones named on the command line, when any of them is missing.
set -euo pipefail

# The launcher is linked with libcurl (release build) and bzip2 built from
# Debian's source packages (dpkg-dev unpacks them), OpenSSL, c-ares and
# zlib; the tests run it in a BusyBox chroot under strace, with certificates
# made by openssl, compare its unpacking with Info-ZIP's unzip on archives
# that zip, bsdtar and Python's zipfile make, and keep the code's format
# with clang-format.
packages=(g++ cmake make pkgconf zlib1g-dev libcurl4-openssl-dev libgtest-dev libgmock-dev
  unzip zip nginx-light dpkg-dev libssl-dev libc-ares-dev busybox-static
  strace openssl python3 util-linux binutils libarchive-tools clang-format "$@")

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
