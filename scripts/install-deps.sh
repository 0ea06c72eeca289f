#!/usr/bin/env bash
# Installs everything the build and the tests need on Debian 12. Quick when all is there already.
# With --missing, as anyone: only prints what is not installed (nothing when all is); with --list,
# the whole list. Everything any script, test or benchmark runs comes from these packages, their
# dependencies or Debian's minimal base: scripts/check-deps.sh (the lint test "deps") holds it.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev clang-format
  googletest
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64
  wine wine64 wine32:i386
  xvfb x11-utils xdotool imagemagick
  fonts-ipafont-gothic fonts-wine
  iproute2 iputils-ping tcpdump fping nmap
  alsa-utils sox zip unzip file procps time
  git shellcheck
)

if [ "${1:-}" = --list ]; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [ "$status" = installed ] || missing+=("$p")
done

if [ "${1:-}" = --missing ]; then
  [ ${#missing[@]} -eq 0 ] || echo "${missing[*]}"
  exit 0
fi
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: run as root (apt-get) to install ${missing[*]}" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
