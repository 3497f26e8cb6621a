#!/bin/sh
# The emulated machine's init (pe32_machine.py): mounts what Wine and the shared folders need,
# runs /io/job with its output and status in /io, and powers off. A boot that makes the saved
# state runs /io/start/job instead, lets go of the share and waits on the console: a restored machine
# goes on from there, with its own shares.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
# The initramfs has mounted proc, sys and dev already when it boots the disk.
mkdir -p /dev/pts /dev/shm; mount -t devpts devpts /dev/pts; mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /tmp; mount -t tmpfs tmpfs /run; mount -t cgroup2 cgroup2 /sys/fs/cgroup
modprobe 9pnet_virtio; modprobe 9p; modprobe overlay
share() { mkdir -p "$2" && mount -t 9p -o trans=virtio,version=9p2000.L,msize=1048576 "$1" "$2"; }
share io /io
if [ -d /io/start ]; then
    # A share cannot be saved mounted: what the start needs is copied out first.
    cp -r /io/start /run/ && umount /io && cd /run/start && sh ./job </dev/null >/dev/ttyS0 2>&1 &&
        echo "pe32_init: ready to be saved" >/dev/ttyS0 || { echo o >/proc/sysrq-trigger; sleep 60; }
    # The restored machine reads the host's time here, as its clock stood still while it was saved.
    read -r now </dev/ttyS0
    date -s "@$now" >/dev/null
    cd / && share io /io
fi
share top "$(cat /io/top)"
cd /io && sh ./job </dev/null >>/io/output 2>&1
echo $? >/io/status
# A disk left clean: the image's boot keeps it, and a later boot need not replay its journal.
sync; mount -o remount,ro /
echo o >/proc/sysrq-trigger
sleep 60
