#!/bin/sh
# The emulated machine that runs the shipped PE32: Debian's own kernel (which, unlike the build
# machines' kernel, runs 32-bit code) with 32-bit Wine, under QEMU without KVM.
# usage: pe32_machine.sh image               makes the image once; kept under the user's cache and
#                                            made again when this script or wine_session.sh changes
#        pe32_machine.sh run COMMAND [ARG...] boots it, runs COMMAND inside with the project folder
#                                            shared at its own path, throws the machine's writes away
set -eu
tools=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$tools")
cache=${XDG_CACHE_HOME:-$HOME/.cache}/quibel-setup/pe32-machine
# The prefixes inside are made by wine_session.sh, so the image depends on it too.
stamp=$(cat "$tools/pe32_machine.sh" "$tools/wine_session.sh" | sha256sum | cut -c1-16)
need_mb=9000        # the guest's root folder (2.5 GB), its image and the prefixes, with room to spare
# Seconds a boot may take before the guest counts as hung: under the tests' own limit, so that a
# hang is reported here with the console's last lines.
boot_limit=${PE32_BOOT_LIMIT:-1500}

fail() { echo "pe32_machine: $*" >&2; exit 1; }

# A run that is stopped (ctest's time limit, Ctrl-C) takes the machine with it.
qemu= io=
trap '[ -z "$qemu" ] || kill "$qemu" 2>/dev/null; [ -z "$io" ] || rm -rf "$io"' EXIT
trap 'exit 130' INT TERM

# The Debian mirror this machine's own apt uses (deb822 sources first, then sources.list).
mirror() {
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk '/^#/ { next }
             /^$/ { if (deb && bookworm && uri) { print uri; exit } deb = bookworm = 0; uri = ""; next }
             $1 == "Types:" { for (i = 2; i <= NF; i++) if ($i == "deb") deb = 1 }
             $1 == "Suites:" { for (i = 2; i <= NF; i++) if ($i == "bookworm") bookworm = 1 }
             $1 == "URIs:" { uri = $2 }
             END { if (deb && bookworm && uri) print uri }' "$f" | head -n 1
    done | head -n 1 | grep . && return
    [ -f /etc/apt/sources.list ] && awk '$1 == "deb" && $3 == "bookworm" { print $2; exit }' /etc/apt/sources.list | grep .
}

# boot DISK_MODE IO_DIR: runs IO_DIR/job in the machine; its exit status becomes ours.
boot() {
    mode=$1 io=$2
    rm -f "$io/status"
    : >"$io/output"
    set -- -accel tcg,thread=multi -cpu Haswell-noTSX -m 2048 -smp 2 -nographic -no-reboot \
        -kernel "$cache/vmlinuz" -initrd "$cache/initrd.img" \
        -drive "file=$cache/root.img,format=raw,if=virtio,snapshot=$mode" \
        -virtfs "local,path=$io,mount_tag=io,security_model=none,id=io" \
        -append "root=/dev/vda rw console=ttyS0 quiet panic=-1 init=/vminit"
    [ ! -s "$io/top" ] || set -- "$@" -virtfs "local,path=$(cat "$io/top"),mount_tag=top,security_model=none,id=top"
    # The job's output comes through the shared folder as it is written; the console (firmware,
    # kernel) is kept for a hang's report.
    timeout "$boot_limit" qemu-system-x86_64 "$@" >"$io/console.log" 2>&1 </dev/null &
    qemu=$!
    tail -n +1 -f --pid=$qemu "$io/output"
    wait $qemu && rc=0 || rc=$?
    qemu=
    if [ ! -s "$io/status" ]; then
        [ $rc -eq 124 ] && why="did not power off within $boot_limit s" || why="ended (status $rc) before the job did"
        echo "pe32_machine: the machine $why; the console's last lines:" >&2
        tail -n 25 "$io/console.log" | sed 's/^/  | /' >&2
        return 1
    fi
    return "$(cat "$io/status")"
}

# The guest's init: mounts what Wine and the shared folders need, runs the job, powers off.
vminit() {
    cat <<'EOF'
#!/bin/sh
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root QUIBEL_PE32_MACHINE=1
# The initramfs has mounted proc, sys and dev already when it boots the disk.
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sys /sys
mountpoint -q /dev || mount -t devtmpfs dev /dev
mkdir -p /dev/pts /dev/shm; mount -t devpts devpts /dev/pts; mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /tmp; mount -t tmpfs tmpfs /run
modprobe 9pnet_virtio; modprobe 9p
share() { mkdir -p "$2" && mount -t 9p -o trans=virtio,version=9p2000.L,msize=1048576 "$1" "$2"; }
share io /io
[ ! -s /io/top ] || share top "$(cat /io/top)"
cd /io && sh ./job </dev/null >>/io/output 2>&1
echo $? >/io/status
sync
echo o >/proc/sysrq-trigger
sleep 60
EOF
}

make_image() {
    [ "$(id -u)" -eq 0 ] || fail "making the image needs root (debootstrap and chroot); run as root"
    command -v qemu-system-x86_64 >/dev/null || fail "qemu-system-x86_64 is missing: apt-get install qemu-system-x86"
    command -v debootstrap >/dev/null || fail "debootstrap is missing: apt-get install debootstrap"
    parent=$(dirname "$cache")
    mkdir -p "$parent"
    free_mb=$(df -Pm "$parent" | awk 'NR == 2 { print $4 }')
    [ "$free_mb" -ge $need_mb ] || fail "making the image needs $need_mb MB free under $parent; there are $free_mb MB"
    url=$(mirror) || fail "no Debian bookworm mirror found in /etc/apt/sources.list.d/*.sources or /etc/apt/sources.list"

    new=$cache.new
    rm -rf "$new" "$cache"
    mkdir -p "$new"
    root=$new/root
    echo "pe32_machine: making the emulated machine's image under $cache (about 15 minutes, once)"
    debootstrap --variant=minbase --include=linux-image-amd64,initramfs-tools,xvfb,xauth,procps \
        bookworm "$root" "$url" >"$new/debootstrap.log" 2>&1 ||
        { tail -n 20 "$new/debootstrap.log" >&2; fail "debootstrap failed (log above)"; }
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    echo "deb $url bookworm main" >"$root/etc/apt/sources.list"
    mount -t proc proc "$root/proc"
    chroot "$root" sh -c 'dpkg --add-architecture i386 && apt-get update &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends wine wine32 wine64 libwine:i386 fonts-wine &&
        apt-get clean' >"$new/packages.log" 2>&1 && rc=0 || rc=$?
    umount "$root/proc"
    [ $rc -eq 0 ] || { tail -n 20 "$new/packages.log" >&2; fail "installing Wine in the guest failed (log above)"; }
    vminit >"$root/vminit"
    chmod +x "$root/vminit"
    cp -L "$root/vmlinuz" "$new/vmlinuz"
    cp -L "$root/initrd.img" "$new/initrd.img"
    mke2fs -q -t ext4 -d "$root" -L root "$new/root.img" 8G >/dev/null
    rm -rf "$root"
    mv "$new" "$cache"

    # The prefixes take minutes each under emulation, so they are made once, here, and kept.
    io=$(mktemp -d)
    cp "$tools/wine_session.sh" "$io/"
    cat >"$io/job" <<'EOF'
set -e
for windows in win64 winxp win98; do
    echo "making the $windows prefix"
    sh /io/wine_session.sh --make-prefix $windows /prefixes/$windows
done
EOF
    boot off "$io" || { rm -rf "$cache"; fail "making the prefixes failed"; }
    echo "$stamp" >"$cache/stamp"
    du -sh "$cache" | awk '{ print "pe32_machine: image ready, " $1 " on disk" }'
}

case ${1:-} in
image)
    [ "$(cat "$cache/stamp" 2>/dev/null)" = "$stamp" ] || make_image
    ;;
run)
    shift
    [ "$(cat "$cache/stamp" 2>/dev/null)" = "$stamp" ] ||
        fail "no image for this version of the tools; make it first with: tools/pe32_machine.sh image"
    io=$(mktemp -d)
    printf '%s' "$top" >"$io/top"
    # The command goes into the job word for word, each word quoted for the guest's shell, and runs
    # in this folder where the guest has it.
    quote() { printf "'%s' " "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")"; }
    { printf 'cd %s 2>/dev/null || cd /\n' "$(quote "$PWD")"; for word in "$@"; do quote "$word"; done; } >"$io/job"
    boot on "$io"
    ;;
*)
    echo "usage: pe32_machine.sh image | run COMMAND [ARG...]" >&2
    exit 2
    ;;
esac
