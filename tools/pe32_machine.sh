#!/bin/sh
# The emulated machine that runs the shipped PE32: Debian 12's own kernel (which, unlike the build
# machines' kernel, runs 32-bit code) with 32-bit Wine, under QEMU without KVM. Needs no root.
# usage: pe32_machine.sh image [COMMAND [ARG...]]
#            makes the image if this version of it is not made yet, then runs COMMAND holding it,
#            so that no other run prunes it meanwhile
#        pe32_machine.sh run COMMAND [ARG...]
#            boots the image and runs COMMAND inside, with the project folder shared at its own path;
#            the machine's writes are thrown away. COMMAND writes the seconds it may still take (the
#            sum of its own waits) to $QUIBEL_BUDGET_FILE; the machine is stopped once they are spent.
set -eu
PATH=$PATH:/usr/sbin:/sbin  # mke2fs, which a user's PATH leaves out
tools=$(cd "$(dirname "$0")" && pwd)
top=$(dirname "$tools")
base=${XDG_CACHE_HOME:-$HOME/.cache}/quibel-setup/pe32-machine

# What goes into the image. The guest stays Debian 12, the project's test platform, whatever the
# host runs; only the mirror is the host's.
suite=bookworm
packages=linux-image-amd64,initramfs-tools,xvfb,xauth,procps,wine,wine32,wine64,libwine:i386,fonts-wine
# Nothing the tests read: documentation, manuals and translations stay out.
trim="--dpkgopt=path-exclude=/usr/share/doc/* --dpkgopt=path-exclude=/usr/share/man/*
      --dpkgopt=path-exclude=/usr/share/info/* --dpkgopt=path-exclude=/usr/share/locale/*"
disk_size=8G        # the guest's root file system; the image holds only what is used of it
compress="-c -W -O qcow2 -o compression_type=zstd"
# Making the image took 6.3 GB at its peak here (the guest's root as a folder and as an archive,
# then as a folder and a disk, then the disk and the compressed image); it keeps 1.6 GB.
need_mb=8000
# Each machine takes two threads and 2 GB (-smp, -m below); no more run at once than this host holds.
machine_threads=2 machine_mb=2048
# A boot reaches its job in about 35 s here, Wine started; a machine three times slower is still
# not hung. The same allowance covers a job's work between its waits and the power-off.
start_allowance=120
# Making one prefix took up to 150 s here; four times that.
prefix_budget=600

fail() { echo "pe32_machine: $*" >&2; exit 1; }

# A stopped run (ctest's limit, Ctrl-C, a kill) takes its machine and its half-made image with it.
qemu= dog= io= new=
cleanup() {
    [ -z "$qemu" ] || kill "$qemu" 2>/dev/null || true
    [ -z "$dog" ] || kill "$dog" 2>/dev/null || true
    [ -z "$io" ] || rm -rf "$io"
    [ -z "$new" ] || prune "$new"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The image's key: what goes into it, not how these files word it.
key() {
    { echo "$suite $packages $trim $disk_size $compress"
      vminit
      sed -n '/^make_prefix()/,/^}/p' "$tools/wine_session.sh"
      awk '!/^#/ { print $1, $2, $3 }' "$tools/windows.list"
    } | grep -v '^[[:space:]]*#' | sha256sum | cut -c1-16
}

# A Debian mirror from this host's apt sources (deb822 first, then sources.list): the first deb
# source with a Debian release among its suites and main among its components. PE32_MIRROR, a
# URL, overrides it.
mirror() {
    if [ -n "${PE32_MIRROR:-}" ]; then echo "$PE32_MIRROR"; return; fi
    releases='^(buster|bullseye|bookworm|trixie|forky|duke|sid|oldoldstable|oldstable|stable|testing|unstable)$'
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        awk -v releases="$releases" '
            function take() { if (deb && release && main && enabled && uri) { print uri; exit } }
            function reset() { deb = release = main = 0; enabled = 1; uri = "" }
            BEGIN { reset() }
            /^[[:space:]]*#/ { next }
            /^[[:space:]]*$/ { take(); reset(); next }
            tolower($1) == "types:" { for (i = 2; i <= NF; i++) if ($i == "deb") deb = 1 }
            tolower($1) == "suites:" { for (i = 2; i <= NF; i++) if ($i ~ releases) release = 1 }
            tolower($1) == "components:" { for (i = 2; i <= NF; i++) if ($i == "main") main = 1 }
            tolower($1) == "enabled:" { enabled = tolower($2) != "no" }
            tolower($1) == "uris:" { uri = $2 }
            END { take() }' "$f"
    done | head -n 1 | grep . && return
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        # "deb [options] URI suite components...", the options dropped.
        sed 's/\[[^]]*\]//' "$f" | awk -v releases="$releases" '
            $1 == "deb" && $3 ~ releases { for (i = 4; i <= NF; i++) if ($i == "main") { print $2; exit } }'
    done | head -n 1 | grep .
}

# Holds one of the slots that bound how many machines run at once on this host, across every run
# and checkout of the user; waits for one when all are taken.
take_slot() {
    cores=$(nproc)
    free_mb=$(awk '$1 == "MemAvailable:" { print int($2 / 1024) }' /proc/meminfo)
    slots=$((cores / machine_threads < free_mb / machine_mb ? cores / machine_threads : free_mb / machine_mb))
    [ "$slots" -ge 1 ] || slots=1
    mkdir -p "$base/slots"
    said=
    while :; do
        slot=1
        while [ $slot -le $slots ]; do
            exec 7>"$base/slots/$slot"
            flock -n 7 && return
            slot=$((slot + 1))
        done
        [ -n "$said" ] || echo "pe32_machine: waiting for a machine: all $slots this host holds are running"
        said=1
        sleep 1
    done
}

# Stops the machine once its job has spent its budget, or has not declared one within the start
# allowance, and leaves the reason in IO/hung.
watchdog() {
    io=$1 started=$(date +%s)
    while sleep 1 && kill -0 "$qemu" 2>/dev/null; do
        deadline=$((started + start_allowance))
        budget=$(tr -cd 0-9 2>/dev/null <"$io/budget" || true)
        [ -z "$budget" ] || deadline=$(($(stat -c %Y "$io/budget") + budget + start_allowance))
        [ "$(date +%s)" -ge $deadline ] || continue
        if [ -n "$budget" ]; then
            echo "did not end within its job's budget of $budget s and $start_allowance s to spare" >"$io/hung"
        else
            echo "did not start its job within $start_allowance s" >"$io/hung"
        fi
        kill "$qemu"
        return
    done
}

# boot IMAGE_DIR DISK FORMAT SNAPSHOT IO: runs IO/job in the machine; its exit status becomes ours.
boot() {
    kernel_dir=$1 disk=$2 format=$3 snapshot=$4 io=$5
    rm -f "$io/status" "$io/budget" "$io/hung"
    : >"$io/output"
    set -- -accel tcg,thread=multi -cpu Haswell-noTSX -m $machine_mb -smp $machine_threads \
        -nographic -no-reboot -nic none \
        -kernel "$kernel_dir/vmlinuz" -initrd "$kernel_dir/initrd.img" \
        -drive "file=$disk,format=$format,if=virtio,snapshot=$snapshot" \
        -virtfs "local,path=$io,mount_tag=io,security_model=none,id=io" \
        -append "root=/dev/vda rw console=ttyS0 quiet panic=-1 init=/vminit"
    [ ! -s "$io/top" ] || set -- "$@" -virtfs "local,path=$(cat "$io/top"),mount_tag=top,security_model=none,id=top"
    take_slot
    # The job's output comes through the shared folder as it is written; the console (firmware,
    # kernel) is kept for a hang's report.
    qemu-system-x86_64 "$@" >"$io/console.log" 2>&1 </dev/null &
    qemu=$!
    watchdog "$io" &
    dog=$!
    tail -n +1 -f --pid=$qemu "$io/output"
    wait $qemu && rc=0 || rc=$?
    qemu=
    kill $dog 2>/dev/null || true
    dog=
    exec 7>&-
    if [ ! -s "$io/status" ]; then
        why=$(cat "$io/hung" 2>/dev/null || echo "ended (status $rc) before its job did")
        echo "pe32_machine: the machine $why; the console's last lines:" >&2
        grep -v "TCG doesn't support" "$io/console.log" | tail -n 25 | sed 's/^/  | /' >&2
        return 1
    fi
    return "$(cat "$io/status")"
}

# The guest's init: mounts what Wine and the shared folders need, runs the job, powers off.
vminit() {
    cat <<'EOF'
#!/bin/sh
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
export QUIBEL_PE32_MACHINE=1 QUIBEL_BUDGET_FILE=/io/budget
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

# Removes ENTRY of the cache unless it is an image that a run holds; never waits. Anything else
# there (a half-made image, what an older version of this script kept) is not in use.
prune() {
    if [ ! -f "$1/in-use" ]; then
        [ "$(id -u)" -ne 0 ] || awk -v dir="$1/" 'index($2, dir) == 1 { print $2 }' /proc/mounts | sort -r |
            while read -r mount; do umount -l "$mount"; done
        chmod -R u+w "$1" 2>/dev/null || true
        # What a stopped mmdebstrap left without root is owned by the user's subordinate ids.
        rm -rf "$1" 2>/dev/null || mmdebstrap --unshare-helper rm -rf "$1"
        return
    fi
    exec 6<"$1/in-use"
    if flock -n -x 6; then
        echo "pe32_machine: removing an image no run uses: $1"
        rm -rf "$1"
    fi
    exec 6<&-
}

# Prunes every entry of the cache but its lock, its slots and the image named KEEP.
prune_all() {
    for entry in "$base"/*; do
        case ${entry##*/} in lock | slots | "*" | "$1") ;; *) prune "$entry" ;; esac
    done
}

# The user's own cache; no root needed: the guest's root is made in a user namespace (as root, in a
# private mount namespace where there can be one) and made into a disk under fakeroot.
make_image() {
    dir=$1
    for command in qemu-system-x86_64:qemu-system-x86 qemu-img:qemu-utils mmdebstrap:mmdebstrap \
        fakeroot:fakeroot mke2fs:e2fsprogs; do
        command -v "${command%:*}" >/dev/null || fail "${command%:*} is missing: install the package ${command#*:}"
    done
    if [ "$(id -u)" -eq 0 ]; then
        # In a mount namespace of its own nothing mmdebstrap mounts outlives it. In a chroot, where /
        # cannot be made private, it runs plainly; it unmounts what it mounted unless it is killed,
        # and then prune does.
        bootstrap="mmdebstrap --mode=root"
        ! unshare --mount --propagation private true 2>/dev/null ||
            bootstrap="unshare --mount --propagation private $bootstrap"
    else
        command -v newuidmap >/dev/null || fail "newuidmap is missing: install the package uidmap"
        unshare --user true 2>/dev/null ||
            fail "this host does not let users make user namespaces, which making the image without root needs." \
                "Turn them on as root: sysctl -w user.max_user_namespaces=15000, and on Debian's kernel also" \
                "kernel.unprivileged_userns_clone=1 (put both into /etc/sysctl.d/ to keep them)."
        grep -q "^$(id -un):" /etc/subuid 2>/dev/null ||
            fail "$(id -un) has no subordinate user ids, which making the image without root needs." \
                "Give them as root: usermod --add-subuids 100000-165535 --add-subgids 100000-165535 $(id -un)"
        bootstrap="mmdebstrap --mode=unshare"
    fi
    url=$(mirror) || fail "no Debian mirror found in this host's apt sources (/etc/apt/sources.list.d/*.sources," \
        "/etc/apt/sources.list); name one with PE32_MIRROR=URL"

    # Whatever is here but this image, and images that no run holds, goes first: then the free space
    # counts what it frees.
    prune_all ""
    free_mb=$(df -Pm "$base" | awk 'NR == 2 { print $4 }')
    [ "$free_mb" -ge $need_mb ] ||
        fail "making the image needs $need_mb MB free under $base; there are $free_mb MB"

    new=$dir.new
    mkdir -p "$new"
    echo "pe32_machine: making the emulated machine's image in $dir (about 10 minutes, once)"
    # The guest's root is first a folder of mmdebstrap's own: inside the half-made image, so that
    # what a stop leaves goes with it, and on disk (/tmp may be a small tmpfs).
    mkdir -m 1777 "$new/tmp"
    # shellcheck disable=SC2086 # $bootstrap and $trim are lists of words
    TMPDIR=$new/tmp $bootstrap --variant=minbase --architectures=amd64,i386 --include=$packages $trim \
        $suite "$new/root.tar" "$url" >"$new/bootstrap.log" 2>&1 ||
        { tail -n 20 "$new/bootstrap.log" >&2; fail "making the guest's root failed (log above)"; }
    vminit >"$new/vminit"
    # One fakeroot session: the files keep the owners and modes the archive gives them.
    fakeroot sh -c 'set -e
        mkdir "$1/root"
        tar -C "$1/root" -xf "$1/root.tar"
        rm "$1/root.tar"
        install -m 755 "$1/vminit" "$1/root/vminit"
        cp -L "$1/root/vmlinuz" "$1/root/initrd.img" "$1/"
        mke2fs -q -t ext4 -d "$1/root" -L root "$1/root.img" "$2" >/dev/null' sh "$new" $disk_size
    chmod -R u+w "$new/root"
    rm -rf "$new/root" "$new/vminit" "$new/tmp"

    # The prefixes take minutes each under emulation, so they are made once, here, and kept.
    io=$(mktemp -d)
    cp "$tools/wine_session.sh" "$tools/windows.list" "$io/"
    names=$(awk '/^[a-z]/ { printf "%s ", $1 }' "$tools/windows.list")
    cat >"$io/job" <<EOF
set -e
echo $(($(echo $names | wc -w) * prefix_budget)) >"\$QUIBEL_BUDGET_FILE"
for windows in $names; do
    echo "making the \$windows prefix"
    sh /io/wine_session.sh --make-prefix \$windows /prefixes/\$windows
done
EOF
    boot "$new" "$new/root.img" raw off "$io" || fail "making the prefixes failed"
    rm -rf "$io"
    io=
    # Compressed, the image takes a third of the disk; its reads cost the tests little.
    # shellcheck disable=SC2086 # options
    qemu-img convert $compress "$new/root.img" "$new/root.qcow2"
    rm "$new/root.img" "$new/bootstrap.log"
    : >"$new/in-use"
    mv "$new" "$dir"
    new=
    du -sh "$dir" | awk '{ print "pe32_machine: image ready, " $1 " on disk" }'
}

# Makes the image under the lock that all runs share: a second run waits for the first and then
# finds its image made.
image() {
    dir=$base/$(key)
    mkdir -p "$base"
    exec 9>"$base/lock"
    if [ -f "$dir/in-use" ]; then
        flock -n 9 || return 0
    elif ! flock -n 9; then
        echo "pe32_machine: waiting for another run that is making an image in $base"
        flock 9
    fi
    [ -f "$dir/in-use" ] || make_image "$dir"
    # Older images go now, unless a run holds them.
    prune_all "${dir##*/}"
    exec 9>&-
}

case ${1:-} in
image)
    shift
    image
    [ $# -eq 0 ] || exec flock -o -s "$dir/in-use" "$@"
    ;;
run)
    shift
    dir=$base/$(key)
    [ -f "$dir/in-use" ] || fail "no image for this version of the tools; make it first with: tools/pe32_machine.sh image"
    exec 8<"$dir/in-use"
    flock -s 8
    [ -f "$dir/root.qcow2" ] || fail "the image in $dir was removed while this run waited; make it again"
    io=$(mktemp -d)
    printf '%s' "$top" >"$io/top"
    # The command goes into the job word for word, each word quoted for the guest's shell, and runs
    # in this folder where the guest has it.
    quote() { printf "'%s' " "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")"; }
    { printf 'cd %s 2>/dev/null || cd /\n' "$(quote "$PWD")"; for word in "$@"; do quote "$word"; done; } >"$io/job"
    boot "$dir" "$dir/root.qcow2" qcow2 on "$io"
    ;;
*)
    echo "usage: pe32_machine.sh image [COMMAND [ARG...]] | run COMMAND [ARG...]" >&2
    exit 2
    ;;
esac
