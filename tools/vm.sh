# The test VM, for the rows this machine cannot run: a small Debian guest
# per row, its image made by debvm and cached per recipe with each row's
# prefix on a disk of its own. Each guest is booted and saved once, its Wine
# session up, and restored in seconds on throw-away snapshots. Sourced after
# tools/common.sh, here and in the guest; build/vm/ holds what later
# processes (tools/vm-exec) need, and why a guest failed.

VM_DIR=$BUILD/vm

# --- recipe ---
VM_PACKAGES=(linux-image-amd64 wine wine64 wine32:i386 xvfb fonts-wqy-microhei fonts-wine)
# The release's own suites only: a throw-away guest with no network service
# needs no security updates, and without them no half-synced security index
# can stop the image, and the same recipe gives the same packages.
VM_MIRRORS=('deb http://deb.debian.org/debian bookworm main' 'deb http://deb.debian.org/debian bookworm-updates main')
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
# have. apt stays root: its sandbox user cannot write a /dev/null that some
# containers make a plain file. Into folder $1, which holds the guest's ssh key.
vm_recipe() {
    local exclude=('/usr/share/doc/*' '/usr/share/man/*' '/usr/share/info/*' '/usr/share/locale/*'
        '/lib/modules/*/kernel/sound/*' '/lib/modules/*/kernel/drivers/'{gpu,media,infiniband,net/wireless,net/ethernet}'/*')
    as_root debvm-create -r bookworm -s ext4 -s packagelists -o "$1/rootfs.tar" -k "$1/id_ed25519.pub" -- \
        --architectures=amd64,i386 --include="$(IFS=,; echo "${VM_PACKAGES[*]}")" \
        --aptopt='Acquire::Languages "none"' --aptopt='APT::Sandbox::User "root"' --dpkgopt=force-unsafe-io "${exclude[@]/#/--dpkgopt=path-exclude=}" \
        "${VM_MIRRORS[@]}" &&
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
vm_names() {
    local name
    for name in $(arrangement_names); do [ "$(arrangement "$name" fallback)" != vm ] || echo "$name"; done
}

# A function of these files, with its arguments after it, in a bash of its
# own: for setsid and flock, which run programs.
VM_BASH=(bash -c '. "$1/tools/common.sh" && . "$1/tools/vm.sh" && shift && "$@"' - "$ROOT")

# Function "$@" of these files with the cache's lock held, by flock alone:
# what it starts (a guest outlives it) never holds the lock on.
with_cache_lock() {
    flock -n "$CACHE/lock" true || echo "waiting for another checkout to make the test VM image"
    flock -o "$CACHE/lock" "${VM_BASH[@]}" "$@"
}

# Records in FOLDER (a guest's, or build/vm for every guest) why its rows
# cannot run (CAUSE) and what to do (ADVICE), for their tests to say.
# Returns 1.
vm_set_failure() {
    echo "$2; $3, or set BRISVANE_NO_VM=1 to skip the VM" >"$1/failed"
    return 1
}

# Records that the guest of folder GUEST could not be DONE (saved, restored)
# as STEP failed, and what to do (ADVICE, or read its console). Returns 1.
guest_failed() {
    vm_set_failure "$1" "the test VM for ${1##*/} could not be $2: $3 failed" "${4:-see build/vm/${1##*/}/console.log}"
}

# Why the rows of guest NAME fail, if they do.
vm_get_failure() { cat "$VM_DIR/failed" 2>/dev/null || cat "$VM_DIR/$1/failed" 2>/dev/null; }

# Prints kvm where guests can run under KVM, as kvm-ok decides it (a
# writable /dev/kvm and a CPU with vmx or svm), else tcg, software
# emulation; says which and why on stderr.
vm_choose_accel() {
    local why="there is no writable /dev/kvm"
    [ -w /dev/kvm ] && why="the CPU has neither vmx nor svm" && grep -qwE 'vmx|svm' /proc/cpuinfo &&
        { echo "test VM: KVM" >&2; echo kvm; return; }
    echo "test VM: software emulation, as $why" >&2
    echo tcg
}

# A failed attempt in folder $1 keeps only its logs, which the cause ($2)
# and what to do ($3), if given, may name.
vm_image_failed() {
    as_root rm -rf "$1/root" "$1/rootfs.tar" "$1"/*.ext4 "$1"/*.ext4.part
    [ $# = 1 ] || vm_set_failure "$VM_DIR" "$2" "$3"
}

# ssh "$@" into the guest of folder GUEST, with the key of the image that
# build/vm/image names; nothing goes to its input.
guest_ssh() {
    ssh -F none -o BatchMode=yes -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null \
        -o LogLevel=ERROR -o ConnectTimeout=20 -o ControlPath="$1/ssh.sock" \
        -i "$(cat "${1%/*}/image")/id_ed25519" -p "$(cat "$1/port")" root@127.0.0.1 "${@:2}" </dev/null
}

# Waits up to LIMIT s for the guest of folder GUEST to answer, and keeps
# its ssh connection for the commands that follow; poll's exit codes.
guest_answers() {
    poll "${3:-booting} ${1##*/}" "$(cat "$1/qemu.pid")" "$2" \
        guest_ssh "$1" -o ControlMaster=yes -o ControlPersist=yes true 2>/dev/null
}

# Whether the qemu of guest folder GUEST answers COMMAND with a line PATTERN starts.
guest_says() { guest_monitor "$1" "$2" 2>/dev/null | grep -q "^$3"; }

# Commands to the qemu of guest folder GUEST, one after another, and what
# it answers.
guest_monitor() {
    python3 -c 'import socket, sys
s = socket.socket(socket.AF_UNIX)
s.connect(sys.argv[1])
def answer(data=b""):
    while not data.endswith(b"(qemu) ") and (chunk := s.recv(4096)):
        data += chunk
    return data.decode(errors="replace").replace("\r", "")
answer()
for command in sys.argv[2:]:
    s.sendall(command.encode() + b"\n")
    sys.stdout.write(answer())' "$1/monitor.sock" "${@:2}"
}

# Starts the qemu of guest folder GUEST under ACCEL (kvm or tcg) with the
# kernel and system disk in folder SAVED, the prefix disk's -drive options
# WINE and the rest: the same machine every time, as a restore needs. One
# virtual CPU: Wine's many client-server round trips then stay on it instead
# of waking another, which emulation makes slow on a busy machine. What the
# guest's root writes to the share is this user's, its owner in xattrs.
guest_qemu() {
    local guest=$1 accel=$2 saved=$3 wine=$4 cpu=qemu64
    shift 4
    [ "$accel" = kvm ] && cpu=host
    # A free loopback port for its ssh.
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' >"$guest/port"
    setsid qemu-system-x86_64 -no-user-config -nographic -machine "q35,accel=$accel" -cpu $cpu -m 4G -smp 1 \
        -kernel "$saved/vmlinuz" -initrd "$saved/initrd.img" -append "root=LABEL=debvm rw console=ttyS0" \
        -drive "file=$saved/root.qcow2,format=qcow2,if=virtio,cache=unsafe,discard=unmap" \
        -drive "$wine,if=virtio,cache=unsafe,discard=unmap" \
        -object rng-random,filename=/dev/urandom,id=rng0 -device virtio-rng-pci,rng=rng0 \
        -netdev "user,id=net0,hostfwd=tcp:127.0.0.1:$(cat "$guest/port")-:22" -device virtio-net-pci,netdev=net0 \
        -virtfs "local,path=$ROOT,mount_tag=checkout,security_model=mapped-xattr" \
        -monitor "unix:$guest/monitor.sock,server=on,wait=off" "$@" \
        </dev/null >"$guest/console.log" 2>&1 &
    echo $! >"$guest/qemu.pid"
}

# Where the image in folder IMAGE keeps row NAME's guest saved under ACCEL:
# named after qemu's version and how the guest is started and saved.
guest_saved_dir() {
    local key
    key=$( (declare -f guest_qemu guest_save guest_save_steps in_guest_session in_guest_saved_session in_guest_zero_free
        qemu-system-x86_64 --version | head -n 1) | sha256sum | cut -c1-12)
    echo "$1/$2.saved-$3-$key"
}

# Inside the guest: arrangement NAME's display and server, on its prefix
# PREFIX (made if need be), each reported on a line of its own; then it
# stays, holding them.
in_guest_session() {
    start_display
    # Should Wine not start, its display must go too: the session's ssh
    # ends only once nothing holds its output.
    trap stop_wine_and_display EXIT
    echo "display $DISPLAY"
    ensure_prefix "$1" "$2"
    start_wine "$1" "$2"
    echo "session ready"
    exec sleep infinity
}

# Inside the guest, detached from ssh: row NAME's session on its prefix
# disk at /srv/wine/, where it is for good. Nothing of it is in the
# checkout, which is not mounted while the guest is saved.
in_guest_saved_session() {
    mkdir -p /srv/wine && mount -L brisvane-wine /srv/wine || return 1
    cd / || return 1
    setsid "${VM_BASH[@]}" in_guest_session "$1" "/srv/wine/$1" </dev/null >/srv/session.log 2>&1 &
}

# Inside the guest, before it is saved: the page cache dropped and free
# memory zeroed, as qemu saves only the pages that hold something. A new
# prefix's files would otherwise take gigabytes of the image, and as long to
# read back at every restore. The tests read what they use again.
in_guest_zero_free() {
    local free
    sync && echo 3 >/proc/sys/vm/drop_caches && mkdir -p /run/zero &&
        mount -t tmpfs -o size=100% zero /run/zero || return 1
    free=$(sed -n 's/^MemFree: *\([0-9]*\) kB$/\1/p' /proc/meminfo)
    # A margin, so that nothing else runs short meanwhile. Pages the kernel
    # hands out are zeroed: under emulation three times faster than zeros written.
    fallocate -l $((free / 1024 - 256))M /run/zero/fill
    umount /run/zero
}

# The kernel and initrd of the image in folder IMAGE, copied into FOLDER.
guest_kernel() {
    local link
    for link in vmlinuz initrd.img; do
        link=$(/sbin/debugfs -R "stat $link" "$1/rootfs.ext4" 2>/dev/null | sed -n 's/^Fast link dest: "\(.*\)"$/\1/p')
        [ -n "$link" ] && /sbin/debugfs -R "cat /$link" "$1/rootfs.ext4" >"$2/$(basename "${link%%-[0-9]*}")" 2>/dev/null ||
            return 1
    done
}

# Row NAME's guest, in folder GUEST, booted under ACCEL from the image in
# folder IMAGE with its prefix's disk, its Wine session started, and saved
# into folder SAVED: its memory in a file, its disks as overlays of the
# image's. A new image has no such disk yet: the guest makes the prefix on
# a blank one, which goes into the image once the guest is saved, as it
# then is. Returns 2 when the guest does not answer, 1 on other failures.
guest_save() {
    local guest=$1 image=$2 name=$3 accel=$4 saved=$5 work limit=360 start=$SECONDS status
    # What a run stopped while saving left.
    find "$image" -maxdepth 1 -name "${saved##*/}.part.*" -mmin +60 -exec rm -rf {} +
    work=$(mktemp -d "$saved.part.XXXXXX") || return 1
    [ "$accel" = kvm ] && limit=60
    guest_save_steps "$guest" "$image" "$name" "$accel" "$work" $limit || {
        status=$?
        guest_stop "$guest"
        rm -rf "$work" "$image/$name.ext4.part"
        return $status
    }
    rm -f "$guest/qemu.pid"
    if [ ! -f "$image/$name.ext4" ]; then
        mv "$image/$name.ext4.part" "$image/$name.ext4" &&
            qemu-img create -q -f qcow2 -F raw -b "../$name.ext4" "$work/wine.qcow2" || { rm -rf "$work"; return 1; }
        echo "the $name prefix is made after $((SECONDS - start)) s"
    fi
    # Another checkout may have saved it first: theirs is kept. Guests saved
    # the way older checkouts did are no longer used.
    mv -T "$work" "$saved" 2>/dev/null || rm -rf "$work"
    find "$image" -maxdepth 1 -name "$name.saved-*" ! -name "${saved##*/}" ! -name '*.part.*' -exec rm -rf {} +
    echo "the test VM for $name is saved after $((SECONDS - start)) s ($(du -sh "$saved" | cut -f1))"
}

# guest_save's steps, one a line, into folder WORK, the guest given LIMIT
# seconds to answer; a failure is recorded with its step.
guest_save_steps() {
    local guest=$1 image=$2 name=$3 accel=$4 work=$5 limit=$6 wine pid room="check the room in $2"
    local failed=(guest_failed "$guest" saved) logs="see build/vm/$3/console.log and /srv/session.log in it"
    if [ -f "$image/$name.ext4" ]; then
        echo "booting the test VM for $name to save it, once per image ($accel)"
        wine="file=$work/wine.qcow2,format=qcow2"
        qemu-img create -q -f qcow2 -F raw -b "../$name.ext4" "$work/wine.qcow2" ||
            "${failed[@]}" "making its prefix disk's overlay" "$room" || return
    else
        echo "booting the test VM for $name to make its prefix and save it ($accel)"
        wine="file=$image/$name.ext4.part,format=raw"
        truncate -s "${VM_WINE_MB}M" "$image/$name.ext4.part" || "${failed[@]}" "making its prefix disk" "$room" || return
        /sbin/mke2fs -q -t ext4 -L brisvane-wine -E root_owner=0:0 "$image/$name.ext4.part" ||
            "${failed[@]}" "making its prefix disk's file system" "$room" || return
    fi
    guest_kernel "$image" "$work" || "${failed[@]}" "copying the kernel out of the image" "$room" || return
    qemu-img create -q -f qcow2 -F raw -b ../rootfs.ext4 "$work/root.qcow2" ||
        "${failed[@]}" "making its system disk's overlay" "$room" || return
    guest_qemu "$guest" "$accel" "$work" "$wine"
    pid=$(cat "$guest/qemu.pid")
    guest_answers "$guest" "$limit" || {
        vm_set_failure "$guest" "the test VM for $name did not answer within $limit s ($accel)" \
            "see build/vm/$name/console.log; if the image is damaged, remove $image"
        return 2
    }
    guest_ssh "$guest" "$MOUNT_CHECKOUT && . '$ROOT/tools/common.sh' && . '$ROOT/tools/vm.sh' &&
        in_guest_saved_session $name" || "${failed[@]}" "starting its Wine session" "$logs" || return
    poll "the test VM's Wine for $name" "$pid" 900 guest_ssh "$guest" "grep -qs '^session ready' /srv/session.log" ||
        "${failed[@]}" "waiting for its Wine session" "$logs" || return
    guest_ssh "$guest" "sed -n 's/^display :/DISPLAY=:/p' /srv/session.log && umount '$ROOT'" >"$work/display" &&
        [ -s "$work/display" ] || "${failed[@]}" "reading its display and unmounting the checkout" "$logs" || return
    guest_ssh "$guest" "$(declare -f in_guest_zero_free) && in_guest_zero_free" ||
        "${failed[@]}" "zeroing its free memory" "$logs" || return
    guest_ssh "$guest" -O exit 2>/dev/null || "${failed[@]}" "closing its ssh connection" "$logs" || return
    guest_monitor "$guest" stop "migrate_set_parameter max-bandwidth 4G" "migrate -d \"exec:cat >'$work/state'\"" \
        >/dev/null || "${failed[@]}" "starting to save its memory" "$logs" || return
    poll "saving the test VM for $name" "$pid" 300 \
        guest_says "$guest" "info migrate" 'Migration status: \(completed\|failed\)' &&
        guest_says "$guest" "info migrate" "Migration status: completed" || "${failed[@]}" "saving its memory" "$logs" || return
    guest_monitor "$guest" quit >/dev/null
    poll "stopping $name" "$pid" 60 false || true
}

# The guest of folder GUEST restored under ACCEL from folder SAVED on
# snapshots of its disks, its clock set, the checkout mounted at its own
# path and the prefix over build/wine/, its Wine session still there.
guest_restore() {
    local guest=$1 saved=$2 accel=$3 start=$SECONDS failed=(guest_failed "$1" restored)
    guest_qemu "$guest" "$accel" "$saved" "file=$saved/wine.qcow2,format=qcow2" -snapshot -incoming "exec:cat '$saved/state'"
    # It was saved stopped, and so it is once loaded.
    poll "restoring ${guest##*/}" "$(cat "$guest/qemu.pid")" 120 guest_says "$guest" "info status" 'VM status: paused$' ||
        "${failed[@]}" "loading its saved state" || return
    guest_monitor "$guest" cont >/dev/null || "${failed[@]}" "letting it go on" || return
    guest_answers "$guest" 60 restoring || "${failed[@]}" "reaching it by ssh" || return
    guest_ssh "$guest" "date -s @$(date +%s) >/dev/null && pgrep -x Xvfb >/dev/null && pgrep wineserver >/dev/null" ||
        "${failed[@]}" "setting its clock and finding its Wine session" || return
    guest_ssh "$guest" "$MOUNT_CHECKOUT && mkdir -p '$BUILD/wine' && mount --bind /srv/wine '$BUILD/wine'" ||
        "${failed[@]}" "mounting $ROOT in it" || return
    cp "$saved/display" "$guest/ready"
    echo "the test VM for ${guest##*/} is restored after $((SECONDS - start)) s, ready after $SECONDS s"
}

# Row NAME's guest from the image in folder IMAGE under ACCEL: restored from
# its saved state, which is made first where the image has none, and made
# anew should it not restore. Under KVM, a guest that does not answer is
# tried again with software emulation.
guest_start() {
    local image=$1 name=$2 accel=$3 guest=$VM_DIR/$2 saved try status
    mkdir -p "$guest"
    for try in 1 2 3; do
        saved=$(guest_saved_dir "$image" "$name" "$accel")
        status=0
        [ -d "$saved" ] || guest_save "$guest" "$image" "$name" "$accel" "$saved" || status=$?
        if [ $status = 2 ] && [ "$accel" = kvm ]; then
            echo "the test VM for $name did not answer under KVM; trying software emulation"
            accel=tcg
            continue
        fi
        [ $status = 0 ] || return 1
        guest_restore "$guest" "$saved" "$accel" && rm -f "$guest/failed" && return 0
        [ $try = 1 ] || return 1
        echo "$(cut -d";" -f1 "$guest/failed"); saving it anew"
        guest_stop "$guest"
        rm -rf "$saved"
    done
    return 1
}

# Everything the VM rows "$@" need: the image, then a guest for each row,
# side by side; on any failure build/vm/failed (every row) or
# build/vm/NAME/failed says why in one line, for their tests. One checkout
# makes a new image while any other waits; an image is renamed into place
# whole, so one that is there needs no lock.
vm_start() {
    local image accel
    rm -rf "$VM_DIR"
    mkdir -p "$VM_DIR" "$CACHE"
    accel=$(vm_choose_accel)
    echo "$accel" >"$VM_DIR/accel"
    image=$(vm_image)
    with_cache_lock true
    if [ -f "$image/rootfs.ext4" ]; then
        vm_guests "$image" "$accel" "$@"
    else
        with_cache_lock vm_new_image "$image" "$accel" "$@"
    fi
}

# The guests of rows "$@" from the image in folder IMAGE under ACCEL, side
# by side; 1 if any fails.
vm_guests() {
    local image=$1 accel=$2 name pids=() pid status=0
    echo "$image" >"$VM_DIR/image"
    for name in "${@:3}"; do
        guest_start "$image" "$name" "$accel" &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do wait "$pid" || status=1; done
    return $status
}

# With the cache's lock held: the image IMAGE for rows "$@" under ACCEL,
# unless another checkout made it meanwhile. Its file system is made in a
# folder beside it, where the guests then make every row's prefix
# (guest_save); a half-built image is never used, as it is renamed into
# place once they are all there.
vm_new_image() {
    local image=$1 accel=$2 work name status=0
    [ ! -f "$image/rootfs.ext4" ] || { vm_guests "$image" "$accel" "${@:3}"; return; }
    # Earlier attempts that failed left their logs; the new one has its own.
    rm -rf "$CACHE"/vm-*.part.*
    echo "making the test VM image in $CACHE (about 8 minutes, once per recipe;" \
        "BRISVANE_NO_VM=1 skips the VM and its tests)" >&2
    work=$(mktemp -d "$image.part.XXXXXX") ||
        vm_set_failure "$VM_DIR" "the test VM image could not be made" "see above" || return
    ssh-keygen -q -t ed25519 -N '' -C brisvane-test-vm -f "$work/id_ed25519" ||
        vm_image_failed "$work" "ssh-keygen failed" "check the openssh-client package" || return
    vm_recipe "$work" >"$work/image.log" 2>&1 &
    poll "making the image" $! 0 false >&2 || wait $! ||
        vm_image_failed "$work" "the test VM image could not be made: $(grep -m 1 '^E: ' "$work/image.log" ||
            tail -n 1 "$work/image.log")" "see $work/image.log" || return
    echo "the image's file system is made after $SECONDS s" >&2
    vm_guests "$work" "$accel" "${@:3}" || status=1
    for name in $(vm_names); do
        [ -f "$work/$name.ext4" ] || { vm_image_failed "$work"; return 1; }
    done
    rm -f "$work"/*.log
    mv -T "$work" "$image" 2>/dev/null || { rm -rf "$work"; return $status; }
    echo "$image" >"$VM_DIR/image"
    echo "the test VM image is complete after $SECONDS s"
    # Images of older recipes are no longer used.
    find "$CACHE" -maxdepth 1 -name 'vm-*' ! -name "${image##*/}" -exec rm -rf {} +
    return $status
}

# For the commands: the guests for rows "$@" made and started in the
# background, while the build goes on here.
VM_JOB=
vm_start_background() {
    [ $# = 0 ] && return 0
    setsid "${VM_BASH[@]}" vm_start "$@" &
    VM_JOB=$!
}

# Once the build is there: waits for the guests of rows "$@", holds their
# desktops as here, and says of each that is not there why.
vm_wait() {
    local name why pids=() pid
    [ -n "$VM_JOB" ] || return 0
    wait "$VM_JOB" || true
    for name; do
        [ -f "$VM_DIR/$name/ready" ] || continue
        guest_ssh "$VM_DIR/$name" "cd '$ROOT' && export $(cat "$VM_DIR/$name/ready") && . tools/common.sh &&
            hold_desktop $name" ||
            vm_set_failure "$VM_DIR/$name" "Wine's desktop does not open in the test VM" "see the line above" &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do wait "$pid" || true; done
    for name; do why=$(vm_get_failure "$name") && echo "the test VM for $name is not there: $why"; done
    return 0
}

# The guest of folder GUEST powered off with its emulator's process group;
# its disks were snapshots, so nothing of it stays.
guest_stop() {
    [ -f "$1/qemu.pid" ] || return 0
    guest_ssh "$1" -O exit 2>/dev/null || true
    kill -- -"$(cat "$1/qemu.pid")" 2>/dev/null || true
    rm -f "$1/qemu.pid" "$1/ready"
}

# However the command ends: its guests' job, then every guest, side by side.
vm_stop() {
    local file pids=() pid
    [ -z "$VM_JOB" ] || kill -- -"$VM_JOB" 2>/dev/null || true
    for file in "$VM_DIR"/*/qemu.pid; do
        guest_stop "${file%/qemu.pid}" &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do wait "$pid"; done
}
