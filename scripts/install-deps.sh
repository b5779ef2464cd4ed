#!/usr/bin/env bash
# Installs the Debian packages Sentrel needs to build, run and test; does
# nothing when they are all present already.
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  qt6-base-dev libgl-dev libxcb1-dev fonts-dejavu-core
  libgtest-dev libgmock-dev libbenchmark-dev
  inotify-tools
  libsimpleini-dev libsqlite3-dev libsystemd-dev systemd-journal-remote
  clang libfuzzer-14-dev libclang-rt-14-dev
  librsvg2-bin desktop-file-utils appstream dpkg-dev file systemd
  xvfb openbox xdotool x11-utils
  e2fsprogs xfsprogs btrfs-progs
  bindfs
  pkexec dbus
  g++-mingw-w64-x86-64-posix wine64
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "Installing ${missing[*]} needs root (or sudo)." >&2; exit 1; }
  as_root=(sudo)
fi
echo "Installing: ${missing[*]}"
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
