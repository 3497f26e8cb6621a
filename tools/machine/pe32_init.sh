#!/bin/sh
# The emulated machine's init (pe32_machine.py): mounts what Wine and the shared folders need,
# runs /io/job with its output and status in /io, and powers off.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
# The initramfs has mounted proc, sys and dev already when it boots the disk.
mkdir -p /dev/pts /dev/shm; mount -t devpts devpts /dev/pts; mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /tmp; mount -t tmpfs tmpfs /run
modprobe 9pnet_virtio; modprobe 9p; modprobe overlay
share() { mkdir -p "$2" && mount -t 9p -o trans=virtio,version=9p2000.L,msize=1048576 "$1" "$2"; }
share io /io
share top "$(cat /io/top)"
cd /io && sh ./job </dev/null >>/io/output 2>&1
echo $? >/io/status
# A disk left clean: the image's boot keeps it, and a later boot need not replay its journal.
sync; mount -o remount,ro /
echo o >/proc/sysrq-trigger
sleep 60
