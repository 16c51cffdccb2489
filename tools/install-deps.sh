#!/usr/bin/env bash
# Installs the Debian packages the project needs, and downloads the kernel package the kernel
# tests boot (into build/vm-kernel, or $VELTO_KERNEL_DIR). Does nothing when all is present.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  fonts-dejavu-core  # a fixed-pitch face Qt reports as one, for the HID log and the dump
  libgtest-dev libgmock-dev libbenchmark-dev
  dbus-daemon  # the desktop tests' private system and session bus
  clang-format clang-tidy
  libqt6svg6  # the window icon (Qt's SVG plugins)
  # the Debian packages (CPack's dependency scan) and their checks
  dpkg-dev file lintian desktop-file-utils appstream man-db
  clang libclang-rt-14-dev llvm  # fuzzing: libFuzzer, llvm-cov and llvm-profdata
  qemu-system-x86 busybox-static xz-utils  # the kernel tests
  udev  # the kernel tests run the device rule in udevd inside the guest
)

if [ "$(id -u)" -eq 0 ]; then sudo=(); else sudo=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
updated=false
apt_update() {
  $updated && return
  "${sudo[@]}" apt-get update -qq
  updated=true
}

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  apt_update
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The kernel tests boot Debian's current kernel: the package linux-image-amd64 depends on,
# downloaded and kept as it is (never installed on this machine).
kernel_dir="${VELTO_KERNEL_DIR:-$(cd "$(dirname "$0")/.." && pwd)/build/vm-kernel}"
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }'
}
kernel="$(kernel_package)"
if [ -z "$kernel" ]; then
  apt_update
  kernel="$(kernel_package)"
fi
if [ -z "$kernel" ]; then
  echo "install-deps: no package list names the kernel linux-image-amd64 depends on" >&2
  exit 1
fi
if ! ls "$kernel_dir/${kernel}_"*.deb >/dev/null 2>&1; then
  echo "install-deps: downloading $kernel for the kernel tests into $kernel_dir"
  mkdir -p "$kernel_dir"
  rm -f "$kernel_dir"/linux-image-*.deb
  (cd "$kernel_dir" && apt-get download -q "$kernel") || true
  if ! ls "$kernel_dir/${kernel}_"*.deb >/dev/null 2>&1; then
    echo "install-deps: could not download $kernel: the kernel tests cannot run" >&2
    exit 1
  fi
fi
