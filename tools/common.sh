# Shared by the project's commands: installs what is missing, finds out which
# arrangements this machine can run, builds, and owns the private X display
# and the project's own Wine prefixes. Sourced, never run on its own.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$ROOT/build

PACKAGES=(
    g++-mingw-w64-i686 binutils-mingw-w64-i686
    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
    wine wine64 wine32:i386 xvfb
    cmake googletest python3 unzip
    fonts-wqy-microhei icoutils imagemagick
    qemu-system-x86 debvm mmdebstrap openssh-client zstd
)

# Where the tests run. Each arrangement has its own prefix, build/wine/NAME.
# A row whose loader this machine cannot run goes to the test VM where its
# last column says so. The commands that show the tool pick the first row
# this machine runs itself.
#   name   Wine loader            its package  prefix  build folder  CPU     or else
ARRANGEMENTS=(
    "win32 /usr/lib/wine/wine     wine32:i386  win32   build         i686    vm"
    "wow64 /usr/lib/wine/wine     wine32:i386  win64   build         i686    vm"
    "x64   /usr/lib/wine/wine64   wine64       win64   build/x64     x86_64  -"
)
# Set to 1 to run only the 64-bit twin, even where 32-bit programs run.
: "${BRISVANE_X64_ONLY:=}"
# Set to 1 to skip the test VM: rows that would run in it are skipped.
: "${BRISVANE_NO_VM:=}"

die() {
    echo "$(basename "$0"): $*" >&2
    exit 1
}

as_root() {
    if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

ensure_packages() {
    local missing=() p
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q ' installed$' || missing+=("$p")
    done
    [ ${#missing[@]} = 0 ] && return 0
    echo "installing: ${missing[*]}"
    dpkg --print-foreign-architectures | grep -qx i386 || as_root dpkg --add-architecture i386
    as_root apt-get update -qq
    # Quiet: where 32-bit programs cannot run, some i386 triggers report
    # "Exec format error" without failing the install. The loader is tried below.
    local log
    log=$(mktemp)
    if ! as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >"$log" 2>&1; then
        tail -n 5 "$log" >&2
        rm -f "$log"
        die "apt-get install ${missing[*]} failed (its last lines above)"
    fi
    rm -f "$log"
    local tool
    for tool in i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix cmake Xvfb wineserver convert; do
        command -v "$tool" >/dev/null || die "$tool is missing after the install; install it and try again"
    done
}

# Reads one row of the table into A_NAME, A_LOADER, A_PACKAGE, A_ARCH,
# A_FOLDER (absolute), A_CPU, A_ELSE and A_PREFIX.
arrangement() {
    local row
    for row in "${ARRANGEMENTS[@]}"; do
        read -r A_NAME A_LOADER A_PACKAGE A_ARCH A_FOLDER A_CPU A_ELSE <<<"$row"
        if [ "$A_NAME" = "$1" ]; then
            A_FOLDER=$ROOT/$A_FOLDER
            A_PREFIX=$BUILD/wine/$A_NAME
            return 0
        fi
    done
    die "no arrangement named $1"
}

arrangement_names() {
    local row
    for row in "${ARRANGEMENTS[@]}"; do echo "${row%% *}"; done
}

# Why this machine cannot run an arrangement, found out by trying its loader;
# empty when it can, itself or in the test VM (PLACE host or vm). A loader
# that is missing altogether is an error.
declare -A SKIP_REASON=() PLACE=()
probe_arrangements() {
    local name status
    for name in $(arrangement_names); do
        arrangement "$name"
        SKIP_REASON[$name]=
        PLACE[$name]=host
        if [ -n "$BRISVANE_X64_ONLY" ] && [ "$A_CPU" != x86_64 ]; then
            SKIP_REASON[$name]="BRISVANE_X64_ONLY is set"
            continue
        fi
        [ -x "$A_LOADER" ] || die "$A_LOADER is missing; install $A_PACKAGE (apt-get install $A_PACKAGE)"
        status=0
        "$A_LOADER" --version >/dev/null 2>&1 || status=$?
        case $status in
        0) ;;
        126)
            if [ "$A_ELSE" != vm ]; then
                SKIP_REASON[$name]="this machine cannot run 32-bit programs"
            elif [ -n "$BRISVANE_NO_VM" ]; then
                SKIP_REASON[$name]="this machine cannot run 32-bit programs, and BRISVANE_NO_VM is set"
            else
                PLACE[$name]=vm
            fi
            ;;
        *) die "$A_LOADER does not start (exit code $status); reinstall $A_PACKAGE" ;;
        esac
    done
}

runnable() {
    [ -z "${SKIP_REASON[$1]}" ]
}

# Arrangements that run, on this machine (host) or in the test VM (vm).
runnable_names() {
    local name
    for name in $(arrangement_names); do
        runnable "$name" && [ "${PLACE[$name]}" = "${1:-host}" ] && echo "$name"
    done
    return 0
}

# The table as CMake takes it: name|loader|prefix architecture|prefix|build
# folder|CPU|status|time scale, where status is "runs", "vm" or why it is
# skipped. In a subshell, so the arrangement picked stays picked.
cmake_arrangements() (
    local name list= status
    for name in $(arrangement_names); do
        arrangement "$name"
        status=${SKIP_REASON[$name]:-runs}
        [ "$status" = runs ] && [ "${PLACE[$name]}" = vm ] && status=vm
        list+="${list:+;}$A_NAME|$A_LOADER|$A_ARCH|$A_PREFIX|$A_FOLDER|$A_CPU|$status|$(time_scale "$name")"
    done
    echo "$list"
)

# How many times longer the waits of an arrangement's tests may take.
time_scale() {
    if [ "${PLACE[$1]}" = vm ]; then echo "$VM_TIME_SCALE"; else echo 1; fi
}

# For the commands that show the tool: the first arrangement this machine
# runs, said in one line when it is not the shipped tool.
pick_arrangement() {
    local names first=${ARRANGEMENTS[0]%% *}
    names=($(runnable_names))
    [ ${#names[@]} -gt 0 ] || die "no arrangement runs on this machine"
    arrangement "${names[0]}"
    if [ "$A_CPU" = x86_64 ]; then
        echo "using the 64-bit twin ${A_FOLDER#"$ROOT"/}/brisvane.exe under 64-bit Wine:" \
            "${SKIP_REASON[$first]:-this machine cannot run 32-bit programs}"
    fi
}

# The Wine environment of the arrangement last read: its prefix, no install
# prompts, and a crash ends the process instead of waiting in winedbg.
wine_env() {
    export WINEPREFIX=$A_PREFIX WINEARCH=$A_ARCH WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
}

# Chinese ANSI code page (936) for the Windows side. Set through env: bash
# itself would warn that no such glibc locale is generated, which is fine.
run_wine() {
    env LC_ALL=zh_CN.UTF-8 "$A_LOADER" "$@"
}

XVFB_PID=
# A private X display, never a fixed number: the machine is shared.
start_display() {
    local fifo
    fifo=$(mktemp -u)
    mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" 2>/dev/null &
    XVFB_PID=$!
    local n=
    read -r n <"$fifo" || true
    rm -f "$fifo"
    [ -n "$n" ] || die "Xvfb did not start; check that the xvfb package works"
    export DISPLAY=:$n
}

STARTED_PREFIXES=()
stop_all() {
    stop_vm
    local prefix
    for prefix in "${STARTED_PREFIXES[@]}"; do
        WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
        WINEPREFIX=$prefix wineserver -w 2>/dev/null || true
    done
    STARTED_PREFIXES=()
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
    XVFB_PID=
    return 0
}

# The arrangement's own sandbox prefix, the only kind any command here uses.
ensure_prefix() {
    if [ ! -f "$A_PREFIX/.brisvane-ready" ]; then
        echo "creating the $A_NAME Wine prefix in ${A_PREFIX#"$ROOT"/}"
        # What is left of a failed attempt goes once its server has.
        wineserver -k 2>/dev/null || true
        wineserver -w 2>/dev/null || true
        rm -rf "$A_PREFIX"
        mkdir -p "$A_PREFIX"
        # A win64 prefix is made by the 64-bit loader, whatever runs in it later.
        local boot=$A_LOADER
        [ "$A_ARCH" = win64 ] && boot=/usr/lib/wine/wine64
        # Wine's own errors are kept for the log, which stays only on failure.
        # Wine gives its first start in a new prefix 5 minutes to set it up,
        # and goes on without it after that, while the set-up itself goes on:
        # on a slow machine (an emulated one under load) the start fails, and
        # another, once that set-up has ended, finds the prefix made.
        local init=(env LC_ALL=zh_CN.UTF-8 WINEDEBUG=-all,err+all "$boot" wineboot -i)
        "${init[@]}" >"$A_PREFIX.log" 2>&1 || { wineserver -w && "${init[@]}" >>"$A_PREFIX.log" 2>&1; } ||
            die "wineboot failed in ${A_PREFIX#"$ROOT"/} (its output: ${A_PREFIX#"$ROOT"/}.log); remove it and try again"
        rm -f "$A_PREFIX.log"
        wineserver -w
        # Unmanaged windows: no 2 s wait per hidden window, and Wine draws the caption.
        env LC_ALL=zh_CN.UTF-8 "$boot" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
        wineserver -w
        touch "$A_PREFIX/.brisvane-ready"
    fi
    # Wine links the user's Desktop and Documents to the Linux home folder;
    # the project's programs and tests write there, so they stay in the prefix.
    local link
    for link in "$A_PREFIX"/drive_c/users/*/*; do
        [ -L "$link" ] && rm "$link" && mkdir "$link"
    done
    # Wine draws the caption buttons with Marlett, which the prefix otherwise
    # does not find (the close button would show a bare "r").
    local fonts=$A_PREFIX/drive_c/windows/Fonts
    [ -f "$fonts/marlett.ttf" ] || cp /usr/share/wine/fonts/marlett.ttf "$fonts/"
}

# A persistent wineserver with Wine's own services already up, so that no
# helper process inherits (and holds open) a test's output pipes.
start_wine() {
    # The server opens every file its programs open. As root it would
    # override file permissions, and a folder's DACL (which Wine keeps in
    # them) would deny nothing; a user's server, or Windows, would deny.
    if [ "$(id -u)" = 0 ]; then
        setpriv --bounding-set -dac_override,-dac_read_search wineserver -p
    else
        wineserver -p
    fi
    STARTED_PREFIXES+=("$A_PREFIX")
    run_wine cmd /c exit >/dev/null 2>&1 </dev/null ||
        die "Wine does not start in ${A_PREFIX#"$ROOT"/}; remove that folder and try again"
}

# Keeps the arrangement's desktop open until its server stops (see "hold" in
# tools/driver/main.cpp); returns once it is open.
hold_desktop() {
    local out
    out=$(mktemp)
    run_wine "$A_FOLDER/brisvane_drive.exe" hold </dev/null >"$out" 2>/dev/null &
    poll "Wine's desktop for $A_NAME" $! 0 grep -qs holding "$out" ||
        { rm -f "$out"; die "Wine's desktop does not open in ${A_PREFIX#"$ROOT"/}; remove that folder and try again"; }
    rm -f "$out"
}

# Everything the commands need before Windows programs run: the display and
# the arrangement's prefix with its server up.
start_arrangement() {
    wine_env
    ensure_prefix
    start_wine
}

# The shipped tool, and every other build folder of the table through it.
build() {
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DBRISVANE_ARRANGEMENTS="$(cmake_arrangements)" >/dev/null
    cmake --build "$BUILD" -j"$(nproc)" "$@"
    echo "SHA-256 $(sha256sum "$BUILD/brisvane.exe" | cut -d' ' -f1)  build/brisvane.exe"
}

# The test VM: a small Debian guest whose kernel runs 32-bit programs, for
# the rows this machine cannot run. Built from Debian's packages by debvm and
# cached per recipe, with a fresh prefix for each of those rows made in it
# once; booted once per test run with this checkout shared at its own path,
# and reached by ssh on a loopback port. Its disk is a throw-away snapshot;
# each checkout gets its own copies of the prefixes, in build/wine/.
VM_DIR=$BUILD/vm
VM_CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/brisvane
# The waits' scale in the VM: software emulation runs about ten times
# slower than this machine. KVM is faster, but whether it works is known
# only once the guest boots, after the tests' limits are set.
VM_TIME_SCALE=6
VM_PACKAGES=(linux-image-amd64 wine wine64 wine32:i386 xvfb fonts-wqy-microhei fonts-wine)
# debvm installs the packages with mmdebstrap as a tarball, which mke2fs turns
# into the ext4 image debvm-run boots (much faster than debvm's own ext2
# step). No documentation, and no kernel modules for hardware a VM does not have.
vm_recipe() {
    local exclude=('/usr/share/doc/*' '/usr/share/man/*' '/usr/share/info/*' '/usr/share/locale/*'
        '/lib/modules/*/kernel/sound/*' '/lib/modules/*/kernel/drivers/'{gpu,media,infiniband,net/wireless,net/ethernet}'/*')
    as_root debvm-create -r bookworm -s ext4 -s packagelists -o "$1/rootfs.tar" -k "$1/id_ed25519.pub" -- \
        --architectures=amd64,i386 --include="$(IFS=,; echo "${VM_PACKAGES[*]}")" \
        --aptopt='Acquire::Languages "none"' "${exclude[@]/#/--dpkgopt=path-exclude=}" &&
        mkdir "$1/root" &&
        as_root tar -xpf "$1/rootfs.tar" -C "$1/root" --numeric-owner --xattrs --xattrs-include='*' &&
        as_root mke2fs -q -t ext4 -L debvm -d "$1/root" "$1/rootfs.ext4" \
            "$(($(du -sm "$1/root" | cut -f1) * 9 / 8 + 256))M" &&
        as_root rm -rf "$1/root" "$1/rootfs.tar" &&
        as_root chown "$(id -u):$(id -g)" "$1/rootfs.ext4"
}

# The image's folder, named after its recipe (with how its prefixes are
# made): a changed recipe is a new image.
vm_image() {
    local key
    key=$( (declare -f vm_recipe ensure_vm_image guest_prefixes ensure_prefix wine_env; echo "${VM_PACKAGES[*]}" "$(vm_names)"; dpkg-query -W debvm) |
        sha256sum | cut -c1-16)
    echo "$VM_CACHE/vm-$key"
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

# Polls every second until "$@" succeeds, saying every 30 s that WHAT goes
# on. Gives up with 1 once process PID has ended, or with 2 after LIMIT
# seconds (0 for none).
poll() {
    local what=$1 pid=$2 limit=$3 start=$SECONDS next=$((SECONDS + 30))
    shift 3
    until "$@"; do
        kill -0 "$pid" 2>/dev/null || return 1
        [ "$limit" = 0 ] || [ $SECONDS -lt $((start + limit)) ] || return 2
        [ $SECONDS -lt $next ] || echo "  $what: $((next += 30, SECONDS - start)) s so far"
        sleep 1
    done
}

# Runs "$@" in the background with its output in LOG, saying every 30 s
# that it goes on; returns its exit code.
with_progress() {
    local what=$1 log=$2
    shift 2
    "$@" >"$log" 2>&1 &
    poll "$what" $! 0 false || wait $!
}

# Why the VM rows cannot run, and what to do, for their tests to say.
vm_failed() {
    echo "$1; $2, or set BRISVANE_NO_VM=1 to skip the VM" >"$VM_DIR/failed"
    return 1
}

# Builds the image and its prefixes unless this recipe's are cached. A
# half-built image is never used: it is made beside the cache and renamed
# into place whole. One checkout makes it while any other waits.
ensure_vm_image() (
    local image work
    image=$(vm_image)
    mkdir -p "$VM_CACHE"
    exec 9>"$VM_CACHE/lock"
    flock -n 9 || { echo "waiting for another checkout to make the test VM image"; flock 9; }
    [ -f "$image/rootfs.ext4" ] && return 0
    # Earlier attempts that failed left their logs; the new one has its own.
    rm -rf "$VM_CACHE"/vm-*.part.*
    echo "making the test VM image in $VM_CACHE (about 10 minutes, once per recipe;" \
        "BRISVANE_NO_VM=1 skips the VM and its tests)"
    work=$(mktemp -d "$image.part.XXXXXX")
    ssh-keygen -q -t ed25519 -N '' -C brisvane-test-vm -f "$work/id_ed25519" ||
        vm_image_failed "$work" "ssh-keygen failed" "check the openssh-client package" || return 1
    with_progress "making the image" "$work/image.log" vm_recipe "$work" ||
        vm_image_failed "$work" "the test VM image could not be made: $(tail -n 1 "$work/image.log")" \
            "see $work/image.log" || return 1
    echo "$work" >"$VM_DIR/image"
    boot_vm "$work" || { stop_vm; vm_image_failed "$work"; return 1; }
    # Fresh prefixes, made once here and copied into each checkout.
    with_progress "making the VM's prefixes" "$work/prefixes.log" \
        vm_ssh "cd '$ROOT' && . tools/common.sh && guest_prefixes '$work/prefixes' $(echo $(vm_names))" ||
        { stop_vm; vm_image_failed "$work" "the test VM could not make its prefixes: $(tail -n 1 "$work/prefixes.log")" \
            "see $work/prefixes.log"; return 1; }
    vm_ssh sync
    stop_vm
    # Wine copies its DLLs into each prefix: packed, they take a third.
    tar -C "$work/prefixes" --xattrs --xattrs-include='*' -I 'zstd -T0' -cf "$work/prefixes.tar.zst" . ||
        vm_image_failed "$work" "the VM's prefixes could not be packed" "check the zstd package" || return 1
    rm -rf "$work/prefixes" "$work/image.log" "$work/prefixes.log"
    mv -T "$work" "$image" 2>/dev/null || rm -rf "$work"
    # Images of older recipes are no longer used.
    find "$VM_CACHE" -maxdepth 1 -name 'vm-*' ! -name "${image##*/}" -exec rm -rf {} +
)

# A failed attempt in folder $1 keeps only its logs, which the cause ($2)
# and what to do ($3), if given, may name.
vm_image_failed() {
    as_root rm -rf "$1/root" "$1/rootfs.tar" "$1/rootfs.ext4"
    find "$1/prefixes" -mindepth 1 -maxdepth 1 -type d -exec rm -rf {} + 2>/dev/null
    [ $# = 1 ] || vm_failed "$2" "$3"
}

vm_ssh() {
    ssh -F none -o BatchMode=yes -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null \
        -o LogLevel=ERROR -o ConnectTimeout=20 -o ControlPath="$VM_DIR/ssh.sock" \
        -i "$(cat "$VM_DIR/image")/id_ed25519" -p "$(cat "$VM_DIR/port")" root@127.0.0.1 "$@"
}

# A free loopback port for the guest's ssh.
free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Boots the image in folder $1 and waits until it answers, then mounts the
# checkout, and the image's folder, each at its own path. With KVM first
# where /dev/kvm is there: on some machines (nested ones) it is, and the
# guest's kernel still hangs, so software emulation is the fallback.
boot_vm() {
    local image=$1 tag
    if [ -w /dev/kvm ]; then
        boot_guest "$image" KVM 60 && return 0
        stop_vm
        rm -f "$VM_DIR/failed"
        echo "the test VM did not boot with KVM; trying software emulation"
    fi
    boot_guest "$image" "software emulation" 360 -machine accel=tcg -cpu qemu64 || return 1
    for tag in checkout:"$ROOT" image:"$image"; do
        vm_ssh "mkdir -p '${tag#*:}' && mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,cache=loose ${tag%%:*} '${tag#*:}'" ||
            vm_failed "the test VM could not mount ${tag#*:} over 9p" "see build/vm/console.log" || return 1
    done
}

# Boots the image in folder $1 with $2 and waits up to $3 s for it to
# answer; the rest goes to qemu.
boot_guest() {
    local image=$1 how=$2 limit=$3 start=$SECONDS status=0
    shift 3
    free_port >"$VM_DIR/port"
    echo "booting the test VM ($how)"
    # The shares' ownership is kept in extended attributes, so that the
    # guest's root owns its prefixes whoever runs the tests here.
    # One virtual CPU: the tests run one at a time, and each of Wine's many
    # client-server round trips then stays on it, instead of waking the
    # other, which emulation makes slow when this machine is busy.
    setsid debvm-run -i "$image/rootfs.ext4" -s "$(cat "$VM_DIR/port")" -- -snapshot -m 4G -smp 1 "$@" \
        -virtfs "local,path=$ROOT,mount_tag=checkout,security_model=mapped-xattr" \
        -virtfs "local,path=$image,mount_tag=image,security_model=mapped-xattr" \
        </dev/null >"$VM_DIR/console.log" 2>&1 &
    echo $! >"$VM_DIR/qemu.pid"
    poll booting "$(cat "$VM_DIR/qemu.pid")" "$limit" \
        vm_ssh -o ControlMaster=yes -o ControlPersist=yes true 2>/dev/null || status=$?
    # A damaged image fails the same way every time until it is made anew.
    local advice="see build/vm/console.log; if the image is damaged, remove $image"
    [ $status != 1 ] || vm_failed "the test VM stopped while booting" "$advice" || return 1
    [ $status != 2 ] || vm_failed "the test VM did not answer within $limit s" "$advice" || return 1
    echo "the test VM answers after $((SECONDS - start)) s"
}


# Inside the guest: each arrangement's prefix made in FOLDER/NAME, side by
# side; false if any could not be made.
guest_prefixes() {
    local folder=$1 name pids=() pid status=0
    shift
    for name in "$@"; do
        (arrangement "$name" && A_PREFIX=$folder/$name && wine_env && ensure_prefix) &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do wait "$pid" || status=1; done
    return $status
}

# Inside the guest: the display and each arrangement's server, each reported
# on a line of its own; then it stays, holding them.
guest_session() {
    start_display
    echo "display $DISPLAY"
    local name
    for name in "$@"; do
        arrangement "$name"
        wine_env
        ensure_prefix
        start_wine
        echo "ready $name"
    done
    echo "session ready"
    exec sleep infinity
}

# Everything the VM rows need, in order; on any failure build/vm/failed says
# why in one line, and each of their tests fails with it.
start_vm() {
    local names=("$@") start=$SECONDS image name
    rm -rf "$VM_DIR"
    mkdir -p "$VM_DIR"
    ensure_vm_image || { [ -f "$VM_DIR/failed" ] || vm_failed "the test VM image could not be made" "see above"; return 1; }
    image=$(vm_image)
    echo "$image" >"$VM_DIR/image"
    # This checkout's own copies of the prefixes, kept from run to run.
    for name in "${names[@]}"; do
        arrangement "$name"
        [ -f "$A_PREFIX/.brisvane-ready" ] && continue
        rm -rf "$A_PREFIX"
        mkdir -p "${A_PREFIX%/*}"
        tar -C "${A_PREFIX%/*}" --xattrs --xattrs-include='*' -I zstd -xf "$image/prefixes.tar.zst" "./$name"
    done
    boot_vm "$image" || return 1
    vm_ssh "cd '$ROOT' && . tools/common.sh && guest_session ${names[*]}" >"$VM_DIR/session.log" 2>&1 </dev/null &
    poll "the test VM's Wine" $! 0 grep -qs '^session ready' "$VM_DIR/session.log" ||
        vm_failed "the test VM could not start Wine: $(tail -n 1 "$VM_DIR/session.log")" \
            "see build/vm/session.log" || return 1
    sed -n 's/^display :/DISPLAY=:/p' "$VM_DIR/session.log" >"$VM_DIR/ready"
    echo "the test VM is ready for ${names[*]} after $((SECONDS - start)) s"
}

# Once the build is there: each of the VM rows' desktops held, as here.
vm_hold_desktops() {
    vm_ssh "cd '$ROOT' && export $(cat "$VM_DIR/ready") && . tools/common.sh &&
        for name in $*; do arrangement \$name && wine_env && hold_desktop || exit 1; done" </dev/null ||
        vm_failed "Wine's desktop does not open in the test VM" "see the line above"
}

# The guest is powered off with its emulator's process group; its disk was a
# snapshot, so nothing of it stays but the prefixes in build/wine/.
stop_vm() {
    [ -f "$VM_DIR/qemu.pid" ] || return 0
    # First the guest's Wine saves its registries, and what the guest wrote
    # reaches this checkout: its share is cached as a disk would be.
    timeout 120 vm_ssh "for p in '$BUILD'/wine/*/; do WINEPREFIX=\$p wineserver -k; WINEPREFIX=\$p wineserver -w; done
        sync" </dev/null >/dev/null 2>&1 || true
    vm_ssh -O exit 2>/dev/null || true
    kill -- -"$(cat "$VM_DIR/qemu.pid")" 2>/dev/null || true
    rm -f "$VM_DIR/qemu.pid" "$VM_DIR/ready"
}
