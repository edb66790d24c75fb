#!/usr/bin/env bash
# Installs what the project needs on a fresh Debian machine: the native
# toolchain and libraries, the cross compilers and qemu-user for the two
# 32-bit targets, clang with libFuzzer for the fuzz targets and valgrind.
# Does nothing when everything is already there.
#
#   ./setup.sh          what the build and the tests need
#   ./setup.sh --bench  also GLib (the GQueue anchor of build/objkit_bench) and
#                       Lua 5.4 and Tcl 8.6 (the anchors of bench/compare.py)
#   ./setup.sh --coverage  also gcovr (the summary of .ci/coverage)
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config python3
  libgtest-dev googletest libedit-dev libbenchmark-dev
  g++-powerpc-linux-gnu g++-i686-linux-gnu qemu-user
  libc6-i386 lib32stdc++6 lib32gcc-s1  # the i686 death tests re-run natively
  clang libclang-rt-dev                 # the fuzz targets: clang's libFuzzer and sanitizers
  valgrind                              # the script tests under memcheck
)
case "${1:-}" in
  "") ;;
  --bench) packages+=(libglib2.0-dev lua5.4 tcl8.6) ;;
  --coverage) packages+=(gcovr) ;;
  *) echo "usage: $0 [--bench | --coverage]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "setup: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
