#!/bin/busybox sh
# The guest's /init (inside the initramfs made by run-vm.sh): loads the modules (with the
# parameters in NAME.params), mounts the host's root read-only, configfs and the results share
# writable, runs /tmp/results/.vm-run in a chroot of the host's root, leaves its exit code in
# /tmp/results/.vm-exit and stops.
/bin/busybox --install -s /bin
export PATH=/bin

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
# What udev would add; devtmpfs is one instance, so the chroot's /dev has them too.
ln -s /proc/self/fd /dev/fd
ln -s /proc/self/fd/0 /dev/stdin
ln -s /proc/self/fd/1 /dev/stdout
ln -s /proc/self/fd/2 /dev/stderr

fail() {
  echo "guest-init: $*"
  reboot -f
}

for m in $(cat /modules/order); do
  params=""
  [ -f "/modules/$m.params" ] && params=$(cat "/modules/$m.params")
  # shellcheck disable=SC2086
  insmod "/modules/$m.ko" $params || fail "insmod $m failed"
done

r=/newroot
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=512000,cache=loose hostroot $r ||
  fail "the host's root could not be mounted"
mount -t proc proc $r/proc
mount -t sysfs sysfs $r/sys
mount -t configfs configfs $r/sys/kernel/config || fail "configfs could not be mounted"
mount -t devtmpfs devtmpfs $r/dev
mount -t tmpfs -o mode=1777 tmpfs $r/dev/shm 2>/dev/null
# The guest's /tmp is its own, but a project checked out under the host's /tmp must stay
# where its paths say: each of the host's folders there is bound back in, read-only.
mkdir -p /hosttmp
mount -o bind $r/tmp /hosttmp
mount -t tmpfs -o mode=1777 tmpfs $r/tmp
for d in /hosttmp/*/; do
  [ -d "$d" ] || continue
  name=$(basename "$d")
  [ "$name" = results ] && continue
  mkdir -p "$r/tmp/$name" && mount -o bind "$d" "$r/tmp/$name"
done
mount -t tmpfs -o mode=755 tmpfs $r/run
mkdir -p $r/tmp/results
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 results $r/tmp/results ||
  fail "the results share could not be mounted"

chroot $r /bin/bash /tmp/results/.vm-run
echo $? >$r/tmp/results/.vm-exit
sync
umount $r/tmp/results
reboot -f
