# Shared by the project's commands: installs what is missing, finds out which
# arrangements this machine can run, builds, and owns the private X display
# and the project's own Wine prefixes. Sourced, never run on its own; the
# test VM, for the rows this machine cannot run, is tools/vm.sh.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$ROOT/build
# Kept outside the checkout, for every clone: the compiler's cache and the
# test VM's image. Removing it only costs the time of making it again.
CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/brisvane

PACKAGES=(
    g++-mingw-w64-i686 binutils-mingw-w64-i686
    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
    wine wine64 wine32:i386 xvfb
    cmake googletest python3 unzip
    fonts-wqy-microhei icoutils imagemagick
    qemu-system-x86 qemu-utils debvm mmdebstrap openssh-client ccache
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
    for tool in i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix cmake ccache Xvfb wineserver convert; do
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

# How many times longer the waits of an arrangement's tests may take. In
# the test VM, software emulation runs about ten times slower than this
# machine (KVM is faster, but whether it works is known only once the guest
# boots, after the limits are set). The rows here share this machine's two
# cores with the guests, side by side, where there are any.
VM_TIME_SCALE=6
time_scale() {
    if [ "${PLACE[$1]}" = vm ]; then
        echo "$VM_TIME_SCALE"
    elif [ -n "$(runnable_names vm)" ]; then
        echo 2
    else
        echo 1
    fi
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

# The Wine environment of the arrangement last read, one VAR=value a line:
# its prefix, no install prompts, a crash ends the process instead of
# waiting in winedbg, and the Chinese ANSI code page (936) for Wine alone.
wine_env_lines() {
    printf '%s\n' "WINEPREFIX=$A_PREFIX" "WINEARCH=$A_ARCH" WINEDEBUG=-all \
        'WINEDLLOVERRIDES=mscoree,mshtml=;winedbg.exe=d' LC_ALL=zh_CN.UTF-8
}
wine_env() {
    export WINEPREFIX=$A_PREFIX WINEARCH=$A_ARCH WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
}
run_wine() {
    with_wine "$(wine_env_lines)" "$A_LOADER" "$@"
}

# "$@" in the Wine environment ENV (wine_env's lines). Through env: bash
# itself would warn that no glibc locale zh_CN is made, which is fine.
with_wine() {
    local vars
    mapfile -t vars <<<"$1"
    shift
    env "${vars[@]}" "$@"
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
        # A win64 prefix is made by the 64-bit loader, whatever runs in it later.
        local boot=$A_LOADER
        [ "$A_ARCH" = win64 ] && boot=/usr/lib/wine/wine64
        make_prefix "$(wine_env_lines)" "$boot" ||
            die "wineboot failed in ${A_PREFIX#"$ROOT"/} (its output: ${A_PREFIX#"$ROOT"/}.log); remove it and try again"
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

# A new prefix, made by LOADER in the Wine environment ENV (wine_env's
# lines); what is left of a failed attempt goes first. Wine's own errors go
# to PREFIX.log, kept only on failure. The test VM's image holds prefixes
# made by this function: its text is part of the image's key (tools/vm.sh).
make_prefix() {
    local env=$1 loader=$2 prefix
    prefix=$(sed -n 's/^WINEPREFIX=//p' <<<"$env")
    with_wine "$env" wineserver -k 2>/dev/null || true
    with_wine "$env" wineserver -w 2>/dev/null || true
    rm -rf "$prefix"
    mkdir -p "$prefix"
    # Wine gives its first start in a new prefix 5 minutes to set it up,
    # and goes on without it after that, while the set-up itself goes on:
    # on a slow machine (an emulated one under load) the start fails, and
    # another, once that set-up has ended, finds the prefix made.
    local init=(with_wine "$env" env WINEDEBUG=-all,err+all "$loader" wineboot -i)
    "${init[@]}" >"$prefix.log" 2>&1 ||
        { with_wine "$env" wineserver -w && "${init[@]}" >>"$prefix.log" 2>&1; } || return 1
    rm -f "$prefix.log"
    with_wine "$env" wineserver -w
    # Unmanaged windows: no 2 s wait per hidden window, and Wine draws the caption.
    with_wine "$env" "$loader" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    with_wine "$env" wineserver -w
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
# Compilations go through ccache, with paths taken relative to the checkout
# so that any clone shares them; a damaged entry is compiled again. The
# release's own check builds from clean copies without it.
build() {
    export CCACHE_DIR=$CACHE/ccache CCACHE_BASEDIR=$ROOT CCACHE_MAXSIZE=2G
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" \
        -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
        -DCMAKE_BUILD_TYPE=Release -DBRISVANE_ARRANGEMENTS="$(cmake_arrangements)" >/dev/null
    cmake --build "$BUILD" -j"$(nproc)" "$@"
    echo "SHA-256 $(sha256sum "$BUILD/brisvane.exe" | cut -d' ' -f1)  build/brisvane.exe"
}

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
