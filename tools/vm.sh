# The test VM: a small Debian guest whose kernel runs 32-bit programs, for
# the rows this machine cannot run. Built from Debian's packages by debvm and
# cached per recipe, with a fresh prefix for each of those rows made in it
# once, on a disk of its own. Each such row gets a guest of its own, booted
# once per test run from the same image (under software emulation, restored
# from one saved with the image instead), with one virtual CPU, this
# checkout shared at its own path, and reached by ssh on a loopback port:
# the rows run side by side. Its disks are throw-away snapshots: every run
# starts from the image's prefix, and nothing of a run stays in it.
# Sourced after tools/common.sh, here and in the guest.

VM_DIR=$BUILD/vm

# The image's recipe, kept together: its packages, the room on its disks and
# how its file system is made. Its key is the hash of the text between the
# two marker lines, of make_prefix (tools/common.sh; its prefixes are made
# in it), of the rows it holds prefixes for and of debvm's version: change
# one of those and the next run makes a new image; change anything else and
# the cached one stays.
# --- recipe ---
VM_PACKAGES=(linux-image-amd64 wine wine64 wine32:i386 xvfb fonts-wqy-microhei fonts-wine)
# Room on the guest's disk beside what is installed, for work beside the
# tests (a prefix made by hand, say). The image file is sparse: room costs
# no space here until the guest uses it, and then only in its snapshot.
VM_ROOM_MB=2560
# A row's prefix disk, mounted at build/wine/ in its guest: a wow64 prefix
# takes 1.3 GB (Wine copies its DLLs into it), and its tests a little more.
# Sparse, like the image's room.
VM_WINE_MB=3072
# debvm installs the packages with mmdebstrap as a tarball, which mke2fs turns
# into the ext4 image debvm-run boots (much faster than debvm's own ext2
# step). No documentation, and no kernel modules for hardware a VM does not
# have. Into folder $1, which holds the guest's ssh key.
vm_recipe() {
    local exclude=('/usr/share/doc/*' '/usr/share/man/*' '/usr/share/info/*' '/usr/share/locale/*'
        '/lib/modules/*/kernel/sound/*' '/lib/modules/*/kernel/drivers/'{gpu,media,infiniband,net/wireless,net/ethernet}'/*')
    as_root debvm-create -r bookworm -s ext4 -s packagelists -o "$1/rootfs.tar" -k "$1/id_ed25519.pub" -- \
        --architectures=amd64,i386 --include="$(IFS=,; echo "${VM_PACKAGES[*]}")" \
        --aptopt='Acquire::Languages "none"' --dpkgopt=force-unsafe-io "${exclude[@]/#/--dpkgopt=path-exclude=}" &&
        mkdir "$1/root" &&
        as_root tar -xpf "$1/rootfs.tar" -C "$1/root" --numeric-owner --xattrs --xattrs-include='*' &&
        as_root mke2fs -q -t ext4 -L debvm -d "$1/root" "$1/rootfs.ext4" \
            "$(($(du -sm "$1/root" | cut -f1) * 9 / 8 + 256 + VM_ROOM_MB))M" &&
        as_root rm -rf "$1/root" "$1/rootfs.tar" &&
        as_root chown "$(id -u):$(id -g)" "$1/rootfs.ext4"
}
# --- end of recipe ---

# In the guest: this checkout at its own path, over 9p with the page cache
# (Wine reads a program's image in one go).
MOUNT_CHECKOUT="mkdir -p '$ROOT' && mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,cache=loose checkout '$ROOT'"
# The guest in use: its folder in build/vm/, named after its row, holds its
# port, its emulator's pid, its console and session logs, and why it failed.
GUEST=

# The image's folder in the cache, named after its recipe's key.
vm_image() {
    local key
    key=$( (sed -n '/^# --- recipe ---$/,/^# --- end of recipe ---$/p' "$ROOT/tools/vm.sh"
        declare -f make_prefix
        vm_names
        dpkg-query -W debvm) | sha256sum | cut -c1-16)
    echo "$CACHE/vm-$key"
}

# The rows that run in the VM where this machine cannot run them.
vm_names() (
    local name
    for name in $(arrangement_names); do
        arrangement "$name"
        [ "$A_ELSE" = vm ] && echo "$name"
    done
    return 0
)

# Runs "$@" in the background with its output in LOG, saying every 30 s
# that it goes on; returns its exit code.
with_progress() {
    local what=$1 log=$2
    shift 2
    "$@" >"$log" 2>&1 &
    poll "$what" $! 0 false || wait $!
}

# Why the guest in use (or, with none, every guest) cannot run its rows, and
# what to do, for their tests to say.
vm_failed() {
    echo "$1; $2, or set BRISVANE_NO_VM=1 to skip the VM" >"${GUEST:-$VM_DIR}/failed"
    return 1
}

# Why the rows of guest NAME fail, if they do.
vm_failure() {
    cat "$VM_DIR/failed" 2>/dev/null || cat "$VM_DIR/$1/failed" 2>/dev/null
}

# Makes the file system of a new image in a folder beside the cache, whose
# path it prints; the run's own guests then make its prefixes (start_vm).
# A half-built image is never used: it is renamed into place whole. Called
# with the cache's lock held.
make_vm_image() {
    local image=$1 work
    # Earlier attempts that failed left their logs; the new one has its own.
    rm -rf "$CACHE"/vm-*.part.*
    echo "making the test VM image in $CACHE (about 8 minutes, once per recipe;" \
        "BRISVANE_NO_VM=1 skips the VM and its tests)" >&2
    work=$(mktemp -d "$image.part.XXXXXX")
    ssh-keygen -q -t ed25519 -N '' -C brisvane-test-vm -f "$work/id_ed25519" ||
        vm_image_failed "$work" "ssh-keygen failed" "check the openssh-client package" || return 1
    with_progress "making the image" "$work/image.log" vm_recipe "$work" >&2 ||
        vm_image_failed "$work" "the test VM image could not be made: $(tail -n 1 "$work/image.log")" \
            "see $work/image.log" || return 1
    echo "the image's file system is made after $SECONDS s" >&2
    echo "$work"
}

# A failed attempt in folder $1 keeps only its logs, which the cause ($2)
# and what to do ($3), if given, may name.
vm_image_failed() {
    as_root rm -rf "$1/root" "$1/rootfs.tar" "$1"/*.ext4 "$1"/*.ext4.part
    [ $# = 1 ] || GUEST= vm_failed "$2" "$3"
}

vm_ssh() {
    ssh -F none -o BatchMode=yes -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null \
        -o LogLevel=ERROR -o ConnectTimeout=20 -o ControlPath="$GUEST/ssh.sock" \
        -i "$(cat "$VM_DIR/image")/id_ed25519" -p "$(cat "$GUEST/port")" root@127.0.0.1 "$@"
}

# A free loopback port for the guest's ssh.
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# The probe guest's firmware: from the reset vector into long mode with
# paging, as a kernel goes first, then a write to port 0xf4, which ends qemu
# with code 99. Loaded at 0xF0000, where the firmware's last 64 KiB lie.
KVM_PROBE_CODE=(
    fa b8 00 f0 8e d8 31 c0 8e c0        # cli; ds = 0xf000; es = 0
    bf 00 10 b9 00 30 66 31 c0 fc f3 aa  # zero 0x1000-0x3fff: the page tables
    26 66 c7 06 00 10 03 20 00 00        # PML4[0] -> 0x2000
    26 66 c7 06 00 20 03 30 00 00        # PDPT[0] -> 0x3000
    26 66 c7 06 00 30 83 00 00 00        # PD[0]: the first 2 MiB, one page
    66 b8 00 10 00 00 0f 22 d8           # cr3 = 0x1000
    0f 20 e0 66 83 c8 20 0f 22 e0        # cr4.PAE
    66 b9 80 00 00 c0 0f 32 66 0d 00 01 00 00 0f 30  # EFER.LME
    66 0f 01 16 90 00                    # lgdt [0x90]
    0f 20 c0 66 0d 01 00 00 80 0f 22 c0  # cr0.PE and cr0.PG
    66 ea 71 00 0f 00 08 00              # jmp far 8:0xf0071, into 64-bit code
    b0 31 e6 f4 f4 eb fd                 # 0x71: al = 0x31; out 0xf4, al; hlt
    00 00 00 00 00 00 00 00 ff ff 00 00 00 9a af 00 ff ff 00 00 00 92 cf 00  # 0x78: the GDT
    17 00 78 00 0f 00                    # 0x90: its limit and base
)

# Whether guests boot with KVM in this run, decided once before any boots
# and kept in build/vm/accel; said in one line. A writable /dev/kvm is not
# enough: on nested machines qemu has aborted while setting up the CPU, and
# guests have hung entering long mode, before their kernel printed a line.
# A probe guest with the CPU debvm-run asks for under KVM tells both in a
# few milliseconds, and a hang within half a second.
choose_accel() {
    local why= rom=$VM_DIR/kvm-probe.rom status=0 start
    if [ ! -w /dev/kvm ]; then
        why="there is no writable /dev/kvm"
    else
        { printf "$(printf '\\x%s' "${KVM_PROBE_CODE[@]}")"
            head -c $((0xfff0 - ${#KVM_PROBE_CODE[@]})) /dev/zero | tr '\0' '\364'
            printf '\xea\x00\x00\x00\xf0'    # the reset vector: jmp far 0xf000:0
            head -c 11 /dev/zero | tr '\0' '\364'; } >"$rom"
        start=$(date +%s%N)
        # In a subshell of its own, so that an abort is only in the log.
        (timeout 0.5 qemu-system-x86_64 -machine q35,accel=kvm -cpu host -m 16 -nodefaults -nographic \
            -no-user-config -bios "$rom" -device isa-debug-exit,iobase=0xf4,iosize=1 \
            </dev/null >"$VM_DIR/kvm-probe.log" 2>&1; exit $?) 2>/dev/null || status=$?
        case $status in
        99)
            echo kvm >"$VM_DIR/accel"
            echo "test VM: KVM (a probe guest reached long mode under it in $((($(date +%s%N) - start) / 1000000)) ms)"
            return 0
            ;;
        124) why="a probe guest under KVM did not reach long mode within 0.5 s" ;;
        *) why="qemu fails under KVM: $(grep -v '^qemu-system-x86_64: warning' "$VM_DIR/kvm-probe.log" | head -n 1)" ;;
        esac
    fi
    echo tcg >"$VM_DIR/accel"
    echo "test VM: software emulation, as $why"
}

# Boots the image in folder $1 as the guest in use, with the rest for
# qemu, and waits until it answers, then mounts the checkout at its own
# path and the prefix disk at build/wine/ in it; with KVM where
# choose_accel found that it works, and should the guest still not answer
# under it, with software emulation after all.
boot_vm() {
    local image=$1 booted=
    shift
    if [ "$(cat "$VM_DIR/accel")" = kvm ]; then
        boot_guest "$image" KVM 60 -machine accel=kvm "$@" && booted=1
        if [ -z "$booted" ]; then
            stop_vm
            rm -f "$GUEST/failed"
            echo "the test VM for ${GUEST##*/} did not boot with KVM; trying software emulation"
        fi
    fi
    [ -n "$booted" ] || boot_guest "$image" "software emulation" 360 -machine accel=tcg -cpu qemu64 "$@" || return 1
    vm_ssh "$MOUNT_CHECKOUT" ||
        vm_failed "the test VM could not mount $ROOT over 9p" "see build/vm/${GUEST##*/}/console.log" || return 1
    mount_wine_disk
}

# In the guest in use: its prefix disk over build/wine/, which hides the
# checkout's own prefixes there from it.
mount_wine_disk() {
    vm_ssh "mkdir -p '$BUILD/wine' && mount -L brisvane-wine '$BUILD/wine'" </dev/null ||
        vm_failed "the test VM could not mount its prefix disk" "see build/vm/${GUEST##*/}/console.log"
}

# Boots the image in folder $1 with $2 and waits up to $3 s for it to
# answer; the rest goes to qemu.
boot_guest() {
    local image=$1 how=$2 limit=$3 start=$SECONDS status=0
    shift 3
    free_port >"$GUEST/port"
    echo "booting the test VM for ${GUEST##*/} ($how)"
    # What the guest's root writes to the share is this user's here, its
    # owner in the guest kept in extended attributes.
    # One virtual CPU: its tests run one at a time, and each of Wine's many
    # client-server round trips then stays on it, instead of waking another,
    # which emulation makes slow when this machine is busy.
    setsid debvm-run -i "$image/rootfs.ext4" -s "$(cat "$GUEST/port")" -- -snapshot -m 4G -smp 1 "$@" \
        -virtfs "local,path=$ROOT,mount_tag=checkout,security_model=mapped-xattr" \
        </dev/null >"$GUEST/console.log" 2>&1 9>&- &
    echo $! >"$GUEST/qemu.pid"
    poll "booting ${GUEST##*/}" "$(cat "$GUEST/qemu.pid")" "$limit" \
        vm_ssh -o ControlMaster=yes -o ControlPersist=yes true 2>/dev/null || status=$?
    # A damaged image fails the same way every time until it is made anew.
    local advice="see build/vm/${GUEST##*/}/console.log; if the image is damaged, remove $image"
    [ $status != 1 ] || vm_failed "the test VM stopped while booting" "$advice" || return 1
    [ $status != 2 ] || vm_failed "the test VM did not answer within $limit s" "$advice" || return 1
    echo "the test VM for ${GUEST##*/} answers after $((SECONDS - start)) s"
}

# Inside the guest: arrangement NAME's prefix made.
guest_prefix() {
    arrangement "$1" && wine_env && ensure_prefix
}

# Inside the guest: the display and the arrangement's server, each reported
# on a line of its own; then it stays, holding them.
guest_session() {
    start_display
    # Should Wine not start, its display must go too: the session's ssh
    # ends only once nothing holds its output.
    trap stop_all EXIT
    echo "display $DISPLAY"
    guest_prefix "$1"
    start_wine
    echo "session ready"
    exec sleep infinity
}

# Everything the VM rows need: the image, then a guest for each row, side
# by side; on any failure build/vm/failed (every row) or build/vm/NAME/failed
# says why in one line, and each of those rows' tests fails with it. The
# first run of a recipe makes the image: its guests make their prefixes,
# each on a disk of its own that is copied into the image, and the image is
# renamed into place once every row's is there. One checkout makes it while
# any other waits.
start_vm() {
    local start=$SECONDS image boot name pids=() pid status=0
    rm -rf "$VM_DIR"
    mkdir -p "$VM_DIR" "$CACHE"
    choose_accel
    image=$(vm_image)
    exec 9>"$CACHE/lock"
    flock -n 9 || { echo "waiting for another checkout to make the test VM image"; flock 9; }
    if [ -f "$image/rootfs.ext4" ]; then
        boot=$image
        exec 9>&-
    else
        boot=$(make_vm_image "$image") ||
            { [ -f "$VM_DIR/failed" ] || vm_failed "the test VM image could not be made" "see above"; return 1; }
    fi
    echo "$boot" >"$VM_DIR/image"
    for name in "$@"; do
        start_guest "$boot" "$name" $start &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do wait "$pid" || status=1; done
    [ "$boot" != "$image" ] || return $status
    for name in $(vm_names); do
        [ -f "$boot/$name.ext4" ] || { vm_image_failed "$boot"; return 1; }
    done
    rm -f "$boot"/*.log
    mv -T "$boot" "$image" 2>/dev/null || { rm -rf "$boot"; return $status; }
    echo "$image" >"$VM_DIR/image"
    echo "the test VM image is complete after $((SECONDS - start)) s"
    # Images of older recipes are no longer used.
    find "$CACHE" -maxdepth 1 -name 'vm-*' ! -name "${image##*/}" -exec rm -rf {} +
    return $status
}

# A blank prefix disk in FILE.
blank_wine_disk() {
    truncate -s "${VM_WINE_MB}M" "$1" && /sbin/mke2fs -q -t ext4 -L brisvane-wine -E root_owner=0:0 "$1" ||
        vm_failed "a blank prefix disk could not be made in ${1%/*}" "check the e2fsprogs package"
}

# Guest NAME booted from the image in folder IMAGE, with its Wine session
# started on a snapshot of the image's disk of its prefix, or under software
# emulation restored so (see saved_guest). An image without that disk yet
# is a new one: the guest makes the prefix on a blank disk, which is copied
# into the image before anything else runs on it.
start_guest() {
    local image=$1 name=$2 start=$3 disk new=
    # The guest and its ssh connections outlive the lock on the cache.
    exec 9>&-
    GUEST=$VM_DIR/$name
    mkdir -p "$GUEST"
    arrangement "$name"
    if [ "$(cat "$VM_DIR/accel")" = tcg ] && restore_or_save_guest "$image"; then
        echo "the test VM for $name is ready after $((SECONDS - start)) s"
        return 0
    fi
    if [ -f "$image/$name.ext4" ]; then
        # Under the guest's -snapshot, as its system disk is.
        disk="file=$image/$name.ext4"
    else
        new=1
        disk="file=$GUEST/wine.ext4,snapshot=off"
        blank_wine_disk "$GUEST/wine.ext4" || return 1
    fi
    boot_vm "$image" -drive "$disk,format=raw,if=virtio,cache=unsafe,discard=unmap" || return 1
    if [ -n "$new" ]; then
        make_guest_prefix "$image" || return 1
        echo "the $name prefix is made after $((SECONDS - start)) s"
    fi
    vm_ssh "cd '$ROOT' && . tools/common.sh && . tools/vm.sh && guest_session $name" >"$GUEST/session.log" 2>&1 </dev/null &
    poll "the test VM's Wine for $name" $! 0 grep -qs '^session ready' "$GUEST/session.log" ||
        vm_failed "the test VM could not start Wine: $(tail -n 1 "$GUEST/session.log")" \
            "see build/vm/$name/session.log" || return 1
    sed -n 's/^display :/DISPLAY=:/p' "$GUEST/session.log" >"$GUEST/ready"
    echo "the test VM for $name is ready after $((SECONDS - start)) s"
}

# Under software emulation a boot and Wine's first start take a minute or
# more of both cores. So each row's guest is booted once per image, its Wine
# session started, and the guest saved as it is then: its memory in a file,
# its disks as overlays of the image's. Every later run restores it in a few
# seconds, on snapshots of those overlays, and mounts the checkout in it. In
# the image's folder, named after qemu's version and how it is made and
# restored, and renamed into place whole.
saved_guest() {
    local key
    key=$( (declare -f run_saved_guest save_guest restore_guest guest_saved_session guest_zero_free
        qemu-system-x86_64 --version | head -n 1) | sha256sum | cut -c1-12)
    echo "$1/$A_NAME.saved-$key"
}

# The guest of the row last read, restored from what the image's folder $1
# holds of it, saved first if it holds nothing yet. Should either fail, the
# guest is stopped, and what was saved goes: the row's guest boots instead,
# and the next run saves it anew.
restore_or_save_guest() {
    local saved
    saved=$(saved_guest "$1")
    if [ -d "$saved" ] || save_guest "$1" "$saved"; then
        restore_guest "$saved" && return 0
        echo "the test VM for $A_NAME could not be restored ($(cat "$GUEST/failed")); booting it instead"
        rm -rf "$saved"
    fi
    stop_vm
    rm -f "$GUEST/failed"
    return 1
}

# qemu as debvm-run starts it, given the saved guest's folder $1, its
# prefix disk's -drive options $2 and the rest: the same machine and devices
# every time, as a restore needs.
run_saved_guest() {
    local saved=$1 wine=$2
    shift 2
    free_port >"$GUEST/port"
    setsid qemu-system-x86_64 -no-user-config -nographic -machine q35,accel=tcg -cpu qemu64 -m 4G -smp 1 \
        -kernel "$saved/vmlinuz" -initrd "$saved/initrd.img" -append "root=LABEL=debvm rw console=ttyS0" \
        -drive "file=$saved/root.qcow2,format=qcow2,if=virtio,cache=unsafe,discard=unmap" \
        -drive "$wine,if=virtio,cache=unsafe,discard=unmap" \
        -object rng-random,filename=/dev/urandom,id=rng0 -device virtio-rng-pci,rng=rng0 \
        -netdev "user,id=net0,hostfwd=tcp:127.0.0.1:$(cat "$GUEST/port")-:22" -device virtio-net-pci,netdev=net0 \
        -virtfs "local,path=$ROOT,mount_tag=checkout,security_model=mapped-xattr" \
        -monitor "unix:$GUEST/monitor.sock,server=on,wait=off" "$@" \
        </dev/null >"$GUEST/console.log" 2>&1 9>&- &
    echo $! >"$GUEST/qemu.pid"
}

# Commands to the guest's qemu, one after another, and what it answers.
vm_monitor() {
    python3 -c '
import socket, sys
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1])
def answer():
    data = b""
    while not data.endswith(b"(qemu) "):
        chunk = s.recv(4096)
        if not chunk:
            break
        data += chunk
    return data.decode(errors="replace").replace("\r", "")
answer()
for command in sys.argv[2:]:
    s.sendall(command.encode() + b"\n")
    sys.stdout.write(answer())
' "$GUEST/monitor.sock" "$@"
}

# Inside the guest, detached from ssh: the display and the server of row
# NAME, on its prefix disk at /srv/wine/, where it is for good. Nothing of
# it is in the checkout, which is not mounted while the guest is saved.
guest_saved_session() {
    mkdir -p /srv/wine && mount -L brisvane-wine /srv/wine || return 1
    cd / || return 1
    setsid bash -c ". '$ROOT/tools/common.sh' && . '$ROOT/tools/vm.sh' && BUILD=/srv &&
        guest_session $1" </dev/null >/srv/session.log 2>&1 &
}

# Inside the guest, before it is saved: the page cache dropped and free
# memory zeroed, as qemu saves only the pages that hold something. A new
# prefix's files would otherwise take gigabytes of the image, and as long to
# read back at every restore. The tests read what they use again.
guest_zero_free() {
    local free
    sync && echo 3 >/proc/sys/vm/drop_caches && mkdir -p /run/zero &&
        mount -t tmpfs -o size=100% zero /run/zero || return 1
    free=$(sed -n 's/^MemFree: *\([0-9]*\) kB$/\1/p' /proc/meminfo)
    # A margin, so that nothing else runs short meanwhile. Pages the kernel
    # hands out are zeroed: no copying, and under emulation three times
    # faster than writing zeros.
    fallocate -l $((free / 1024 - 256))M /run/zero/fill
    umount /run/zero
}

# The guest of the row last read, booted from the image in folder $1 with
# its prefix's disk, its Wine session started, and saved into folder $2. A
# new image has no such disk yet: the guest makes the prefix on a blank one,
# which goes into the image once the guest is saved, as it then is.
save_guest() {
    local image=$1 saved=$2 work link wine start=$SECONDS
    # What a run stopped while saving left.
    find "$image" -maxdepth 1 -name "${saved##*/}.part.*" -mmin +60 -exec rm -rf {} +
    work=$(mktemp -d "$saved.part.XXXXXX") || return 1
    if [ -f "$image/$A_NAME.ext4" ]; then
        echo "booting the test VM for $A_NAME to save it, once per image (software emulation)"
        wine="file=$work/wine.qcow2,format=qcow2"
        qemu-img create -q -f qcow2 -F raw -b "../$A_NAME.ext4" "$work/wine.qcow2" || { rm -rf "$work"; return 1; }
    else
        echo "booting the test VM for $A_NAME to make its prefix and save it (software emulation)"
        wine="file=$image/$A_NAME.ext4.part,format=raw"
        blank_wine_disk "$image/$A_NAME.ext4.part" || { rm -rf "$work"; return 1; }
    fi
    for link in vmlinuz initrd.img; do
        link=$(/sbin/debugfs -R "stat $link" "$image/rootfs.ext4" 2>/dev/null | sed -n 's/^Fast link dest: "\(.*\)"$/\1/p')
        [ -n "$link" ] && /sbin/debugfs -R "cat /$link" "$image/rootfs.ext4" >"$work/${link##*/}" 2>/dev/null ||
            { rm -rf "$work" "$image/$A_NAME.ext4.part"; return 1; }
    done
    mv "$work"/vmlinuz-* "$work/vmlinuz" && mv "$work"/initrd.img-* "$work/initrd.img" &&
        qemu-img create -q -f qcow2 -F raw -b ../rootfs.ext4 "$work/root.qcow2" ||
        { rm -rf "$work" "$image/$A_NAME.ext4.part"; return 1; }
    run_saved_guest "$work" "$wine"
    poll "booting ${GUEST##*/}" "$(cat "$GUEST/qemu.pid")" 360 \
        vm_ssh -o ControlMaster=yes -o ControlPersist=yes true 2>/dev/null &&
        vm_ssh "$MOUNT_CHECKOUT && . '$ROOT/tools/common.sh' && . '$ROOT/tools/vm.sh' && guest_saved_session $A_NAME" \
            </dev/null &&
        poll "the test VM's Wine for $A_NAME" "$(cat "$GUEST/qemu.pid")" 900 \
            vm_ssh "grep -qs '^session ready' /srv/session.log" </dev/null &&
        vm_ssh "sed -n 's/^display :/DISPLAY=:/p' /srv/session.log && umount '$ROOT'" </dev/null >"$work/display" &&
        [ -s "$work/display" ] && vm_ssh "$(declare -f guest_zero_free) && guest_zero_free" </dev/null &&
        vm_ssh -O exit 2>/dev/null &&
        vm_monitor stop "migrate_set_parameter max-bandwidth 4G" "migrate -d \"exec:cat >'$work/state'\"" >/dev/null &&
        poll "saving the test VM for $A_NAME" "$(cat "$GUEST/qemu.pid")" 300 \
            eval 'vm_monitor "info migrate" | grep -q "^Migration status: \(completed\|failed\)"' &&
        vm_monitor "info migrate" | grep -q "^Migration status: completed" &&
        { vm_monitor quit >/dev/null; poll "stopping ${GUEST##*/}" "$(cat "$GUEST/qemu.pid")" 60 false; true; } || {
        echo "the test VM for $A_NAME could not be saved (see build/vm/$A_NAME/console.log); booting it instead"
        stop_vm
        rm -rf "$work" "$image/$A_NAME.ext4.part"
        return 1
    }
    rm -f "$GUEST/qemu.pid"
    if [ ! -f "$image/$A_NAME.ext4" ]; then
        mv "$image/$A_NAME.ext4.part" "$image/$A_NAME.ext4" &&
            qemu-img create -q -f qcow2 -F raw -b "../$A_NAME.ext4" "$work/wine.qcow2" || { rm -rf "$work"; return 1; }
        echo "the $A_NAME prefix is made after $((SECONDS - start)) s"
    fi
    # Another checkout may have saved it first: theirs is kept. Guests saved
    # the way older checkouts did are no longer used.
    mv -T "$work" "$saved" 2>/dev/null || rm -rf "$work"
    find "$image" -maxdepth 1 -name "$A_NAME.saved-*" ! -name "${saved##*/}" ! -name '*.part.*' -exec rm -rf {} +
    echo "the test VM for $A_NAME is saved after $((SECONDS - start)) s ($(du -sh "$saved" | cut -f1))"
}

# The row's guest restored from folder $1 on snapshots of its disks, its
# clock set, the checkout mounted at its own path and the prefix over
# build/wine/ in it, and its Wine session still there.
restore_guest() {
    local saved=$1 start=$SECONDS status=0
    run_saved_guest "$saved" "file=$saved/wine.qcow2,format=qcow2" -snapshot -incoming "exec:cat '$saved/state'"
    # It was saved stopped, and so it is once loaded.
    poll "restoring ${GUEST##*/}" "$(cat "$GUEST/qemu.pid")" 120 \
        eval 'vm_monitor "info status" 2>/dev/null | grep -qx "VM status: paused"' &&
        vm_monitor cont >/dev/null &&
        poll "restoring ${GUEST##*/}" "$(cat "$GUEST/qemu.pid")" 60 \
            vm_ssh -o ControlMaster=yes -o ControlPersist=yes true 2>/dev/null || status=$?
    [ $status = 0 ] || vm_failed "the restored guest did not answer" "see build/vm/${GUEST##*/}/console.log" || return 1
    vm_ssh "date -s @$(date +%s) >/dev/null && pgrep -x Xvfb >/dev/null && pgrep wineserver >/dev/null &&
        $MOUNT_CHECKOUT && mkdir -p '$BUILD/wine' && mount --bind /srv/wine '$BUILD/wine'" </dev/null ||
        vm_failed "the restored guest could not mount $ROOT" "see build/vm/${GUEST##*/}/console.log" || return 1
    cp "$saved/display" "$GUEST/ready"
    echo "the test VM for ${GUEST##*/} is restored after $((SECONDS - start)) s"
}

# For a new image in folder IMAGE: the prefix of the row last read made
# afresh by the guest in use, on its blank disk, which is then copied into
# the image, unmounted while it is.
make_guest_prefix() {
    local image=$1
    with_progress "making the $A_NAME prefix" "$image/$A_NAME.log" \
        vm_ssh "cd '$ROOT' && . tools/common.sh && . tools/vm.sh && guest_prefix $A_NAME && umount '$BUILD/wine'" \
        </dev/null ||
        vm_failed "the test VM could not make the $A_NAME prefix: $(tail -n 1 "$image/$A_NAME.log")" \
            "see $image/$A_NAME.log" || return 1
    cp --sparse=always "$GUEST/wine.ext4" "$image/$A_NAME.ext4.part" &&
        mv "$image/$A_NAME.ext4.part" "$image/$A_NAME.ext4" ||
        vm_failed "the $A_NAME prefix could not be copied into $image" "check the room in ${image%/*}" || return 1
    mount_wine_disk
}

# Once the build is there: each ready guest's desktop held, as here.
vm_hold_desktops() {
    local name pids=() pid
    for name in "$@"; do
        (
            GUEST=$VM_DIR/$name
            [ -f "$GUEST/ready" ] || exit 0
            vm_ssh "cd '$ROOT' && export $(cat "$GUEST/ready") && . tools/common.sh &&
                arrangement $name && wine_env && hold_desktop" </dev/null ||
                vm_failed "Wine's desktop does not open in the test VM" "see the line above"
        ) &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do wait "$pid" || true; done
}

# For the commands: the guests for rows "$@" made and booted in the
# background, while the build goes on here.
VM_JOB=
vm_start_background() {
    [ $# = 0 ] && return 0
    setsid bash -c '. "$1/tools/common.sh" && . "$1/tools/vm.sh" && shift && start_vm "$@"' - "$ROOT" "$@" &
    VM_JOB=$!
}

# Once the build is there: waits for those guests, holds their desktops,
# and says of each that is not there why.
vm_wait() {
    [ -n "$VM_JOB" ] || return 0
    wait "$VM_JOB" || true
    vm_hold_desktops "$@"
    local name why
    for name in "$@"; do
        why=$(vm_failure "$name") && echo "the test VM for $name is not there: $why"
    done
    return 0
}

# However the command ends: its guests' job and the guests themselves.
vm_end() {
    [ -z "$VM_JOB" ] || kill -- -"$VM_JOB" 2>/dev/null || true
    stop_vms
}

# The guest in use is powered off with its emulator's process group; its
# disks were snapshots, so nothing of it stays.
stop_vm() {
    [ -f "$GUEST/qemu.pid" ] || return 0
    vm_ssh -O exit 2>/dev/null || true
    kill -- -"$(cat "$GUEST/qemu.pid")" 2>/dev/null || true
    rm -f "$GUEST/qemu.pid" "$GUEST/ready"
}

# Every guest, side by side. Waits for those alone: the caller's other
# jobs (a held desktop) end only once their servers stop.
stop_vms() {
    local file pids=() pid
    for file in "$VM_DIR"/*/qemu.pid; do
        [ -f "$file" ] || continue
        (GUEST=${file%/qemu.pid} && stop_vm) &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do wait "$pid"; done
    # A new image's prefix disks, as the guests left them: the image has
    # its own copies, and each holds a gigabyte or more.
    rm -f "$VM_DIR"/*/wine.ext4
}
