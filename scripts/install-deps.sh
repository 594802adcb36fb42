#!/usr/bin/env bash
# Installs what building and testing Sarvelt needs, and only what is missing, from Debian's
# packages. Safe to run again; does nothing when everything is there.
set -euo pipefail

packages=(
  cmake make g++ git googletest            # native build and GoogleTest sources
  g++-mingw-w64-x86-64-posix               # 64-bit Windows build
  g++-mingw-w64-i686-posix                 # 32-bit Windows build
  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686   # windres
  wine wine64                              # runs the Windows build (64-bit only)
  xvfb xauth x11-utils xdotool imagemagick # GUI tests under a virtual display
  clang libclang-rt-14-dev                 # libFuzzer
  eatmydata sd rpl sed perl ripgrep hyperfine time python3  # benchmark peers, helpers, corpus generator
  util-linux procps psmisc                 # flock, setpriv, pkill, fuser for the fault tests
  wixl zip dpkg-dev                        # packages: MSI, zip, deb (dpkg-shlibdeps)
  msitools unzip man-db                    # package checks: msiinfo, msiextract, man -l
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: everything is installed"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
echo "install-deps: done"
