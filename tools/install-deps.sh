#!/usr/bin/env bash
# Installs the Debian packages the project needs. Does nothing when they are all present.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  fonts-dejavu-core  # a fixed-pitch face Qt reports as one, for the HID log and the dump
  libgtest-dev libgmock-dev libbenchmark-dev
  clang-format clang-tidy
  # the window icon (Qt's SVG plugins) and a fixed-pitch font Qt reports as one
  libqt6svg6 fonts-dejavu-core
  # the Debian packages (CPack's dependency scan) and their checks
  dpkg-dev file lintian desktop-file-utils appstream man-db
  clang libclang-rt-14-dev llvm  # fuzzing: libFuzzer, llvm-cov and llvm-profdata
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps: installing ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
