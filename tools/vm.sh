# The test VM, for the rows this machine cannot run: a Debian guest per row,
# booted by debvm-run on a snapshot of one image, whose first boot makes the
# VM rows' prefixes. Sourced after tools/common.sh, here and in the guest;
# build/vm/ holds what cmake/wine-run needs, and why a guest failed.

VM_DIR=$BUILD/vm
# The recipe, which names the image: the release's own suites only (no
# half-synced security index can stop it), room for the prefixes and tests.
VM_PACKAGES=(linux-image-amd64 wine wine64 wine32:i386 xvfb xauth fonts-wqy-microhei fonts-wine)
VM_MIRRORS=('deb http://deb.debian.org/debian bookworm main' 'deb http://deb.debian.org/debian bookworm-updates main')
VM_ROOM_MB=6144
# Raised by hand when the image is made otherwise.
VM_IMAGE_VERSION=2

vm_image() {
    echo "$CACHE/vm-$( (printf '%s\n' "$VM_IMAGE_VERSION" "$VM_ROOM_MB" "${VM_PACKAGES[@]}" "${VM_MIRRORS[@]}"
        vm_names; dpkg-query -W debvm) | sha256sum | cut -c1-16)"
}
vm_names() {
    local name
    for name in $(arrangement_names); do [ "$(arrangement "$name" fallback)" != vm ] || echo "$name"; done
}

# mke2fs makes the image of the tarball, faster than debvm's ext2 step; apt
# stays root, as its sandbox user cannot write a /dev/null some containers make a file.
vm_recipe() {
    local exclude=('/usr/share/doc/*' '/usr/share/man/*' '/usr/share/info/*' '/usr/share/locale/*'
        '/lib/modules/*/kernel/sound/*' '/lib/modules/*/kernel/drivers/'{gpu,media,infiniband,net/wireless,net/ethernet}'/*')
    as_root debvm-create -r bookworm -s ext4 -s packagelists -o "$1/rootfs.tar" -k "$1/id_ed25519.pub" -- \
        --architectures=amd64,i386 --include="$(IFS=,; echo "${VM_PACKAGES[*]}")" \
        --aptopt='Acquire::Languages "none"' --aptopt='APT::Sandbox::User "root"' --dpkgopt=force-unsafe-io \
        "${exclude[@]/#/--dpkgopt=path-exclude=}" "${VM_MIRRORS[@]}" &&
        mkdir "$1/root" && as_root tar -xpf "$1/rootfs.tar" -C "$1/root" --numeric-owner --xattrs --xattrs-include='*' &&
        as_root mke2fs -q -t ext4 -L debvm -d "$1/root" "$1/rootfs.ext4" \
            "$(($(du -sm "$1/root" | cut -f1) * 9 / 8 + 256 + VM_ROOM_MB))M" &&
        as_root rm -rf "$1/root" "$1/rootfs.tar" && as_root chown "$(id -u):$(id -g)" "$1/rootfs.ext4"
}

# In the guest: this checkout over 9p, its build/wine/ the image's own.
MOUNT_CHECKOUT="mkdir -p '$ROOT' /srv/wine && mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,cache=loose checkout '$ROOT' &&
    mkdir -p '$BUILD/wine' && mount --bind /srv/wine '$BUILD/wine' && cd '$ROOT'"

# FOLDER CAUSE ADVICE: why a guest's rows (build/vm: every guest's) cannot run; 1.
vm_set_failure() { echo "$2; $3, or set BRISVANE_NO_VM=1 to skip the VM" >"$1/failed"; return 1; }
vm_get_failure() { cat "$VM_DIR/failed" 2>/dev/null || cat "$VM_DIR/$1/failed" 2>/dev/null; }

# KVM as kvm-ok decides it, else tcg: debvm-run takes a /dev/kvm alone.
vm_accel() { [ -w /dev/kvm ] && grep -qwE 'vmx|svm' /proc/cpuinfo && echo kvm || echo tcg; }

guest_ssh() {
    ssh -F none -o BatchMode=yes -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR \
        -o ConnectTimeout=20 -o ControlPath="$1/ssh.sock" -i "$(cat "$VM_DIR/image")/id_ed25519" \
        -p "$(cat "$1/port")" root@127.0.0.1 "${@:2}" </dev/null
}

# GUEST IMAGE LIMIT QEMU-OPTIONS. One CPU: Wine's round trips to its server
# stay on it; emulated, a plain one, as under -cpu max 32-bit Wine dies.
guest_boot() {
    local guest=$1 image=$2 limit=$3 port cpu=qemu64
    [ "$(vm_accel)" = tcg ] || cpu=host
    mkdir -p "$guest"
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    echo "$port" >"$guest/port"
    setsid debvm-run -i "$image/rootfs.ext4" -s "$port" -- -machine "accel=$(vm_accel)" -cpu $cpu -m 4G -smp 1 \
        -virtfs "local,path=$ROOT,mount_tag=checkout,security_model=mapped-xattr" "${@:4}" \
        </dev/null >"$guest/console.log" 2>&1 9>&- &
    echo $! >"$guest/qemu.pid"
    poll "booting ${guest##*/}" $! "$limit" debvm-waitssh -q -t 10 "127.0.0.1:$port" &&
        guest_ssh "$guest" -o ControlMaster=yes -o ControlPersist=yes true 2>/dev/null ||
        vm_set_failure "$guest" "the test VM for ${guest##*/} did not answer within $limit s ($(vm_accel))" \
            "see build/vm/${guest##*/}/console.log; if the image is damaged, remove $image"
}

in_guest_session() {
    start_wine "$1" null
    trap stop_wine EXIT
    echo ready
    sleep infinity
}

guest_start() {
    local image=$1 name=$2 guest=$VM_DIR/$2 start=$SECONDS
    local failed=(vm_set_failure "$guest") logs="see /run/session.log in it"
    guest_boot "$guest" "$image" 360 -snapshot || return
    guest_ssh "$guest" "$MOUNT_CHECKOUT && { setsid \
        bash -c '. tools/common.sh && . tools/vm.sh && in_guest_session $name' </dev/null >/run/session.log 2>&1 & }" ||
        "${failed[@]}" "the test VM for $name could not start its Wine session" "$logs" || return
    poll "the test VM's Wine for $name" "$(cat "$guest/qemu.pid")" 900 guest_ssh "$guest" "grep -qs '^ready' /run/session.log" ||
        "${failed[@]}" "the test VM's Wine for $name did not start" "$logs" || return
    touch "$guest/ready"
    echo "the test VM for $name is ready after $((SECONDS - start)) s"
}

# With the cache's lock held: the image, unless another checkout made it meanwhile.
vm_new_image() {
    local image=$1 work guest=$VM_DIR/image-boot
    [ ! -f "$image/rootfs.ext4" ] && rm -rf "$CACHE"/vm-*.part.* || return 0
    echo "making the test VM image in $CACHE (about 10 minutes, once per recipe;" \
        "BRISVANE_NO_VM=1 skips the VM and its tests)" >&2
    work=$(mktemp -d "$image.part.XXXXXX") && echo "$work" >"$VM_DIR/image" &&
        ssh-keygen -q -t ed25519 -N '' -C brisvane-test-vm -f "$work/id_ed25519" ||
        vm_set_failure "$VM_DIR" "the test VM image could not be made" "see above" || return
    vm_recipe "$work" >"$work/image.log" 2>&1 &
    poll "making the image" $! 0 false >&2 || wait $! ||
        vm_set_failure "$VM_DIR" "the test VM image could not be made: $(grep -m 1 '^E: ' "$work/image.log" ||
            tail -n 1 "$work/image.log")" "see $work/image.log" || return
    echo "the image's file system is made after $SECONDS s" >&2
    guest_boot "$guest" "$work" 600 || { cp "$guest/failed" "$VM_DIR/failed"; return 1; }
    guest_ssh "$guest" "$MOUNT_CHECKOUT && xvfb-run -a bash -c 'set -e; . tools/common.sh
        for name in $(vm_names | paste -sd' '); do ensure_prefix \$name; done'" ||
        vm_set_failure "$VM_DIR" "the test VM image could not make its prefixes" \
            "see the lines above and build/vm/image-boot/console.log" || { kill -- -"$(cat "$guest/qemu.pid")"; return 1; }
    guest_ssh "$guest" poweroff || true
    poll "powering off the new image" "$(cat "$guest/qemu.pid")" 120 false || [ $? = 1 ] ||
        { kill -- -"$(cat "$guest/qemu.pid")"; vm_set_failure "$VM_DIR" "the new test VM image did not power off" \
            "see build/vm/image-boot/console.log"; return; }
    rm -f "$work"/*.log
    mv -T "$work" "$image" 2>/dev/null || rm -rf "$work"
    echo "the test VM image is complete after $SECONDS s"
    find "$CACHE" -maxdepth 1 -name 'vm-*' ! -name "${image##*/}" -exec rm -rf {} +
}

vm_start() {
    local image name pids=() pid status=0
    rm -rf "$VM_DIR"
    mkdir -p "$VM_DIR" "$CACHE"
    image=$(vm_image)
    if [ ! -f "$image/rootfs.ext4" ]; then
        flock -n "$CACHE/lock" true || echo "waiting for another checkout to make the test VM image"
        (flock 9 && vm_new_image "$image") 9>"$CACHE/lock" || return 1
    fi
    echo "$image" >"$VM_DIR/image"
    for name; do
        guest_start "$image" "$name" &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do wait "$pid" || status=1; done
    return $status
}

VM_JOB=
vm_start_background() {
    [ $# = 0 ] && return 0
    setsid bash -c '. "$1/tools/common.sh" && . "$1/tools/vm.sh" && shift && vm_start "$@"' - "$ROOT" "$@" &
    VM_JOB=$!
}

# Waits for the guests, holds their desktops, and says why one is not there.
vm_wait() {
    local name why pids=() pid
    [ -n "$VM_JOB" ] || return 0
    wait "$VM_JOB" || true
    for name; do
        [ -f "$VM_DIR/$name/ready" ] || continue
        guest_ssh "$VM_DIR/$name" "cd '$ROOT' && . tools/common.sh && hold_desktop $name" ||
            vm_set_failure "$VM_DIR/$name" "Wine's desktop does not open in the test VM" "see the line above" &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do wait "$pid" || true; done
    for name; do why=$(vm_get_failure "$name") && echo "the test VM for $name is not there: $why"; done
    return 0
}

# Every guest's emulator; their disks were snapshots.
vm_stop() {
    local file
    [ -z "$VM_JOB" ] || kill -- -"$VM_JOB" 2>/dev/null || true
    for file in "$VM_DIR"/*/qemu.pid; do
        [ ! -f "$file" ] || kill -- -"$(cat "$file")" 2>/dev/null || true
        rm -f "$file"
    done
}
