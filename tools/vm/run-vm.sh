#!/usr/bin/env bash
# Boots Debian's kernel in QEMU and runs one command in it, on this machine's own root.
#
#   tools/vm/run-vm.sh --cache DIR --results DIR [options] -- COMMAND [ARG...]
#
# The guest shares this machine's root read-only (9p), mounts proc, sys, devtmpfs and tmpfs
# on /tmp (the host's folders there bound back in, read-only) and /run, mounts the results
# folder writable on /tmp/results, chroots into the shared root and runs COMMAND there as
# root, in /tmp/results. The results folder is emptied first. This script exits with
# COMMAND's exit code, or 125 when the guest did not get as far as reporting one.
#
# The kernel comes from the Debian package that tools/install-deps.sh downloads; the kernel
# and the initramfs (static busybox plus the modules for virtio, 9p, uhid, hid-generic, and for
# USB gadgets on dummy_hcd's three controllers with usbhid on the host side) are built once
# into the cache folder and reused. Nothing here uses the network.
#
# Options:
#   --deb FILE       the kernel package (default: the newest linux-image-*.deb in
#                    $VELTO_KERNEL_DIR or <source>/build/vm-kernel)
#   --timeout S      stop the guest after S seconds (default 600)
#   --memory MB      guest memory (default 1024)
#   --smp N          guest CPUs (default 2)
#   --env NAME=VALUE passed to COMMAND (repeatable)
# VELTO_VM_ACCEL=tcg|kvm forces the accelerator; otherwise KVM is used only when /dev/kvm is
# usable and a probe boot with it reached the guest's command (the verdict is cached).
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
source_dir="$(cd "$here/../.." && pwd)"

cache="" results="" deb="" timeout_s=600 memory=1024 smp=2
envs=()
while [ $# -gt 0 ]; do
  case "$1" in
    --cache) cache="$2"; shift 2 ;;
    --results) results="$2"; shift 2 ;;
    --deb) deb="$2"; shift 2 ;;
    --timeout) timeout_s="$2"; shift 2 ;;
    --memory) memory="$2"; shift 2 ;;
    --smp) smp="$2"; shift 2 ;;
    --env) envs+=("$2"); shift 2 ;;
    --) shift; break ;;
    *) echo "run-vm: unknown option $1" >&2; exit 2 ;;
  esac
done
if [ -z "$cache" ] || [ -z "$results" ] || [ $# -eq 0 ]; then
  echo "usage: run-vm.sh --cache DIR --results DIR [options] -- COMMAND [ARG...]" >&2
  exit 2
fi

die() { echo "run-vm: $*" >&2; exit 125; }

for tool in qemu-system-x86_64 dpkg-deb; do
  command -v "$tool" >/dev/null || die "$tool is missing: run tools/install-deps.sh"
done
busybox=/bin/busybox
# The initramfs has no C library: only the static build runs there.
if ! [ -x "$busybox" ] || ldd "$busybox" >/dev/null 2>&1; then
  die "a static $busybox is needed (package busybox-static): run tools/install-deps.sh"
fi

if [ -z "$deb" ]; then
  deb_dir="${VELTO_KERNEL_DIR:-$source_dir/build/vm-kernel}"
  deb="$(ls -1 "$deb_dir"/linux-image-*.deb 2>/dev/null | sort -V | tail -n 1 || true)"
  [ -n "$deb" ] || die "no kernel package in $deb_dir: run tools/install-deps.sh"
fi
[ -f "$deb" ] || die "no such kernel package: $deb"

case "$(cd "$results" 2>/dev/null && pwd || echo "$results")" in
  / | "$source_dir" | "$HOME") die "refusing $results as the results folder: it is emptied" ;;
esac
mkdir -p "$cache" "$results"
cache="$(cd "$cache" && pwd)"
results="$(cd "$results" && pwd)"

# ---- kernel and initramfs, built once per package and init script -------------------------

# The modules the guest needs; their own dependencies are added from each module's depends=.
wanted_modules=(virtio_pci 9pnet_virtio 9p uhid hid-generic
  dummy_hcd libcomposite usb_f_hid usbhid)
# Parameters for insmod: three device controllers, the ports 1-1, 2-1 and 3-1 on the host.
declare -A module_params=([dummy_hcd]="num=3")

module_depends() {  # prints the depends= list of a .ko, one name a line
  tr '\0' '\n' <"$1" | sed -n 's/^depends=//p' | head -n 1 | tr ',' '\n' | sed '/^$/d'
}

prepare() {
  local stamp_want stamp_have
  stamp_want="$(basename "$deb") $(stat -c %s "$deb") $(sha1sum "$here/guest-init.sh" | cut -c1-40)"
  stamp_want+=" ${wanted_modules[*]} ${module_params[*]}"
  stamp_have="$(cat "$cache/stamp" 2>/dev/null || true)"
  if [ "$stamp_want" = "$stamp_have" ] && [ -f "$cache/vmlinuz" ] && [ -f "$cache/initramfs.cpio" ]; then
    return
  fi
  echo "run-vm: preparing the kernel and initramfs from $(basename "$deb")" >&2
  local work="$cache/unpacked"
  rm -rf "$work" "$cache/initramfs" "$cache/stamp"
  mkdir -p "$work"
  dpkg-deb -x "$deb" "$work"
  local vmlinuz
  vmlinuz="$(ls -1 "$work"/boot/vmlinuz-* | head -n 1)"
  [ -f "$vmlinuz" ] || die "no vmlinuz in $deb"
  # QEMU boots the plain ELF kernel through its PVH entry, which skips the seconds the
  # compressed image spends unpacking itself under emulation; the compressed one is the
  # fallback.
  rm -f "$cache/vmlinux"
  cp "$vmlinuz" "$cache/vmlinuz"
  local offset
  offset="$(grep -abo $'\xfd7zXZ' "$vmlinuz" | head -n 1 | cut -d: -f1 || true)"
  if [ -n "$offset" ]; then
    # xz stops with an error at the bytes after its stream; the ELF header tells success.
    tail -c +$((offset + 1)) "$vmlinuz" | xz -dc >"$cache/vmlinux.tmp" 2>/dev/null || true
    if [ "$(head -c 4 "$cache/vmlinux.tmp" | od -An -tx1 | tr -d ' ')" = 7f454c46 ]; then
      mv "$cache/vmlinux.tmp" "$cache/vmlinux"
    fi
  fi
  rm -f "$cache/vmlinux.tmp"

  # Each module after the ones it depends on.
  local -A path=() done=()
  local ko name
  while IFS= read -r ko; do
    name="${ko##*/}"
    name="${name%.ko}"
    path[$name]="$ko"
    path[${name//-/_}]="$ko"
  done < <(find "$work/lib/modules" -name '*.ko')
  local order=()
  visit() {
    local m="$1" key="${1//-/_}" dep
    [ -n "${done[$key]:-}" ] && return
    [ -n "${path[$m]:-}" ] || die "module $m is not in $(basename "$deb")"
    done[$key]=1
    for dep in $(module_depends "${path[$m]}"); do visit "$dep"; done
    order+=("$m")
  }
  for name in "${wanted_modules[@]}"; do visit "$name"; done

  local root="$cache/initramfs"
  mkdir -p "$root/bin" "$root/modules" "$root/proc" "$root/sys" "$root/dev" "$root/newroot"
  cp "$busybox" "$root/bin/busybox"
  cp "$here/guest-init.sh" "$root/init"
  chmod 755 "$root/init"
  for name in "${order[@]}"; do
    cp "${path[$name]}" "$root/modules/${name//-/_}.ko"
    echo "${name//-/_}" >>"$root/modules/order"
    if [ -n "${module_params[$name]:-}" ]; then
      echo "${module_params[$name]}" >"$root/modules/${name//-/_}.params"
    fi
  done
  (cd "$root" && find . | LC_ALL=C sort | "$busybox" cpio -o -H newc 2>/dev/null) >"$cache/initramfs.cpio"
  rm -rf "$work"
  echo "$stamp_want" >"$cache/stamp"
}

# Guests booted side by side share the cache: one prepares it, the others wait.
exec 9>"$cache/.lock"
flock 9
prepare
# ---- the accelerator ----------------------------------------------------------------------

kernel="$cache/vmlinuz"
[ -f "$cache/vmlinux" ] && kernel="$cache/vmlinux"
qemu_base=(qemu-system-x86_64 -nodefaults -display none -no-reboot -m "$memory" -smp "$smp"
  -kernel "$kernel" -initrd "$cache/initramfs.cpio"
  -serial stdio -monitor none)
cmdline="console=ttyS0 panic=-1 quiet loglevel=3 mitigations=off"

boot() {  # boot ACCEL RESULTS TIMEOUT: the guest runs RESULTS/.vm-run
  local accel="$1" out="$2" limit="$3"
  timeout --kill-after=5 "$limit" "${qemu_base[@]}" -accel "$accel" -append "$cmdline" \
    -fsdev "local,id=hostroot,path=/,readonly=on,security_model=none,multidevs=remap" \
    -device "virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot" \
    -fsdev "local,id=results,path=$out,security_model=none,multidevs=remap" \
    -device "virtio-9p-pci,fsdev=results,mount_tag=results" </dev/null
}

accel="${VELTO_VM_ACCEL:-}"
if [ -z "$accel" ]; then
  accel=tcg
  if [ -r /dev/kvm ] && [ -w /dev/kvm ]; then
    if [ ! -f "$cache/kvm-verdict" ]; then
      probe="$cache/kvm-probe"
      rm -rf "$probe" && mkdir -p "$probe"
      echo 'exit 0' >"$probe/.vm-run"
      verdict=tcg
      if boot kvm "$probe" 20 >"$probe/console.log" 2>&1 && [ "$(cat "$probe/.vm-exit" 2>/dev/null)" = 0 ]; then
        verdict=kvm
      fi
      echo "$verdict" >"$cache/kvm-verdict"
      echo "run-vm: KVM probe boot: using $verdict" >&2
    fi
    accel="$(cat "$cache/kvm-verdict")"
  fi
fi
flock -u 9

# ---- the run ------------------------------------------------------------------------------

# Nothing of an earlier run may pass for a result of this one.
find "$results" -mindepth 1 -delete
{
  echo "export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
  echo "export HOME=/root TERM=dumb LANG=C.UTF-8 VELTO_VM_RESULTS=/tmp/results"
  for e in "${envs[@]}"; do printf 'export %q\n' "$e"; done
  printf 'cd /tmp/results && exec'
  printf ' %q' "$@"
  echo
} >"$results/.vm-run"

start=$(date +%s%N)
set +e
boot "$accel" "$results" "$timeout_s"
qemu_status=$?
set -e
ms=$((($(date +%s%N) - start) / 1000000))
elapsed="$((ms / 1000)).$(printf %03d $((ms % 1000)))"
status="$(cat "$results/.vm-exit" 2>/dev/null || true)"
if [ -z "$status" ]; then
  [ "$qemu_status" -eq 124 ] && die "the guest did not finish within $timeout_s s ($accel)"
  die "the guest stopped without an exit code (qemu exit $qemu_status, $accel)"
fi
echo "run-vm: guest command exited $status after ${elapsed} s ($accel)" >&2
exit "$status"
