# Sourced by the project's commands, and the one reader of tools/arrangements
# (the test VM is tools/vm.sh). Functions take what they use as arguments;
# the globals are the paths and switches below and what a command started,
# for its exit trap.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$ROOT/build
# Kept outside the checkout, for every clone: the compiler's cache and the
# test VM's image. Removing it only costs the time of making it again.
CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/brisvane

# What every command needs; the Wine loaders' packages come from the table.
PACKAGES=(
    g++-mingw-w64-i686 binutils-mingw-w64-i686
    g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
    wine xvfb cmake ccache googletest python3 unzip gcovr libwin-hivex-perl
    fonts-wqy-microhei icoutils imagemagick
)
# What the test VM needs here, installed only where a row runs in it.
VM_HOST_PACKAGES=(qemu-system-x86 qemu-utils debvm mmdebstrap gpgv debian-archive-keyring openssh-client)
# Set to 1 to run only the 64-bit twin, even where 32-bit programs run.
: "${BRISVANE_X64_ONLY:=}"
# Set to 1 to skip the test VM: rows that would run in it are skipped.
: "${BRISVANE_NO_VM:=}"

die() {
    echo "$(basename "$0"): $*" >&2
    exit 1
}

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

# Installs those of packages "$@" that are missing, with the i386
# architecture where one needs it. A mirror can be half synced for hours
# (docs/developing.md): an index that fails is left out, and an install that
# cannot then be resolved is tried once more with the release's own suite.
ensure_packages() {
    local missing=() p log suite
    for p; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q ' installed$' || missing+=("$p")
    done
    [ ${#missing[@]} = 0 ] && return 0
    echo "installing: ${missing[*]}"
    case " ${missing[*]}" in *:i386*)
        dpkg --print-foreign-architectures | grep -qx i386 || as_root dpkg --add-architecture i386 ;;
    esac
    log=$(mktemp)
    if ! as_root apt-get update -qq >"$log" 2>&1; then
        sed -n '/^[EW]: Failed to fetch /{s/ *\[IP: [^]]*\]//; s|/by-hash/[^ ]*||
            s|^.: Failed to fetch \([^ ]*\) *\(.*\)|apt-get update: left out \1 (\2); going on without it|p}' "$log"
        grep -q '^[EW]: Failed to fetch' "$log" || echo "apt-get update failed ($(tail -n 1 "$log")); going on with the indexes there are"
    fi
    # Quiet: where 32-bit programs cannot run, some i386 triggers report
    # "Exec format error" without failing the install. The loader is tried later.
    if ! apt_install "$log" "${missing[@]}" &&
        ! { grep -q 'Unable to correct problems\|Unmet dependencies' "$log" &&
            suite=$(. /etc/os-release && echo "$VERSION_CODENAME") &&
            echo "apt-get install could not resolve the packages, as the mirror's suites disagree; trying again with $suite's own (-t $suite)" &&
            apt_install "$log" -t "$suite" "${missing[@]}"; }; then
        echo "$(basename "$0"): apt-get install ${missing[*]} failed; if a line above says the mirror left an index out, wait for it to sync and try again, or install these packages by hand. apt's last lines:" >&2
        tail -n 5 "$log" >&2
        rm -f "$log"
        exit 1
    fi
    rm -f "$log"
}

# apt-get install "$@", its output in LOG.
apt_install() { as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${@:2}" >"$1" 2>&1; }

# Everything but the test VM: the packages above and every loader's.
ensure_base_packages() {
    local tool name
    # shellcheck disable=SC2046
    ensure_packages "${PACKAGES[@]}" $(for name in $(arrangement_names); do arrangement "$name" package; done | sort -u)
    for tool in i686-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-posix cmake ccache Xvfb wineserver convert; do
        command -v "$tool" >/dev/null || die "$tool is missing after the install; install it and try again"
    done
}

arrangement_names() { awk '!/^#/ { print $1 }' "$ROOT/tools/arrangements"; }

# Fields "$@" of arrangement NAME's row, in that order, one a line: loader,
# package, arch (its prefix's), folder (absolute), cpu, fallback ("vm" or
# "-"), and prefix, its own under build/wine/.
arrangement() {
    local name=$1 row _ loader package arch folder cpu fallback prefix field
    row=$(awk -v name="$name" '!/^#/ && $1 == name' "$ROOT/tools/arrangements")
    [ -n "$row" ] || die "no arrangement named $name in tools/arrangements"
    read -r _ loader package arch folder cpu fallback <<<"$row"
    folder=$BUILD/${folder#.}
    folder=${folder%/}
    prefix=$BUILD/wine/$name
    for field in "${@:2}"; do echo "${!field}"; done
}

# Where each arrangement runs, found out by trying its loader: one line
# each, "NAME here", "NAME vm" (in the test VM) or "NAME skipped REASON". A
# loader that is missing altogether is an error.
probe_arrangements() {
    local name loader package cpu fallback status
    for name in $(arrangement_names); do
        read -r loader package cpu fallback < <(arrangement "$name" loader package cpu fallback | paste -sd' ')
        if [ -n "$BRISVANE_X64_ONLY" ] && [ "$cpu" != x86_64 ]; then
            echo "$name skipped BRISVANE_X64_ONLY is set"
            continue
        fi
        [ -x "$loader" ] || die "$loader is missing; install $package (apt-get install $package)"
        status=0
        "$loader" --version >/dev/null 2>&1 || status=$?
        case $status,$fallback,$BRISVANE_NO_VM in
        0,*) echo "$name here" ;;
        126,vm,) echo "$name vm" ;;
        126,vm,*) echo "$name skipped this machine cannot run 32-bit programs, and BRISVANE_NO_VM is set" ;;
        126,*) echo "$name skipped this machine cannot run 32-bit programs" ;;
        *) die "$loader does not start (exit code $status); reinstall $package" ;;
        esac
    done
}

# Of PLACES (probe_arrangements' lines): the arrangements at PLACE, in the
# table's order; where arrangement NAME runs, and why it is skipped if it is.
names_at() { awk -v place="$2" '$2 == place { print $1 }' <<<"$1"; }
place_of() { awk -v name="$2" '$1 == name { print $2 }' <<<"$1"; }
skip_reason() { awk -v name="$2" '$1 == name && $2 == "skipped" { $1 = $2 = ""; sub(/^ +/, ""); print }' <<<"$1"; }

# How many times longer the waits of arrangement NAME's tests may take,
# given PLACES. In the test VM, software emulation runs about ten times
# slower than this machine (KVM is faster, but whether it works is known
# only once the guest boots, after the limits are set). The rows here share
# this machine's two cores with the guests, where there are any.
time_scale() {
    case $(place_of "$1" "$2"),$(names_at "$1" vm) in
    vm,*) echo 6 ;;
    *,?*) echo 2 ;;
    *) echo 1 ;;
    esac
}

# PLACES as CMake takes them, all it knows of each row: NAME|loader|build
# folder|cpu|time scale|place, the place "here", "vm" or "skipped: REASON".
cmake_places() {
    local name place list=
    for name in $(arrangement_names); do
        place=$(place_of "$1" "$name")
        [ "$place" = skipped ] && place="skipped: $(skip_reason "$1" "$name")"
        list+="${list:+;}$name|$(arrangement "$name" loader folder cpu | paste -sd'|')|$(time_scale "$1" "$name")|$place"
    done
    echo "$list"
}

# For the commands that show the tool: the first arrangement of PLACES that
# runs here, said on stderr in one line when it is not the shipped tool.
pick_arrangement() {
    local name
    name=$(names_at "$1" here | head -n 1)
    [ -n "$name" ] || die "no arrangement runs on this machine"
    if [ "$(arrangement "$name" cpu)" = x86_64 ]; then
        echo "using the 64-bit twin $(arrangement "$name" folder | sed "s|^$ROOT/||")/brisvane.exe under 64-bit Wine:" \
            "$(skip_reason "$1" "$(arrangement_names | head -n 1)" | grep . || echo "this machine cannot run 32-bit programs")" >&2
    fi
    echo "$name"
}

# The Wine environment of arrangement NAME, one VAR=value a line, with its
# own prefix or PREFIX: no install prompts, a crash ends the process (with
# Wine's one line on stderr) instead of waiting in winedbg, the Chinese
# ANSI code page (936) for Wine alone, and for the 64-bit twin, its gcov
# counts at their Linux paths (Z:). The build writes it for CTest's
# wrapper too (build/wine-NAME.env).
wine_env() {
    printf '%s\n' "WINEPREFIX=${2:-$(arrangement "$1" prefix)}" "WINEARCH=$(arrangement "$1" arch)" \
        WINEDEBUG=-all 'WINEDLLOVERRIDES=mscoree,mshtml=;winedbg.exe=d' LC_ALL=zh_CN.UTF-8
    [ "$(arrangement "$1" cpu)" != x86_64 ] || echo GCOV_PREFIX=Z:
}

# "$@" in the Wine environment ENV (wine_env's lines). Through env: bash
# itself would warn that no glibc locale zh_CN is made, which is fine.
with_wine() {
    local vars
    mapfile -t vars <<<"$1"
    env "${vars[@]}" "${@:2}"
}

# Windows program "$@" in arrangement NAME's own prefix, with its loader.
run_wine() { with_wine "$(wine_env "$1")" "$(arrangement "$1" loader)" "${@:2}"; }

XVFB_PID=
# A private X display, never a fixed number: the machine is shared. Sets
# DISPLAY for what the command runs next.
start_display() {
    local fifo n=
    fifo=$(mktemp -u)
    mkfifo "$fifo"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fifo" 2>/dev/null &
    XVFB_PID=$!
    read -r n <"$fifo" || true
    rm -f "$fifo"
    [ -n "$n" ] || die "Xvfb did not start; check that the xvfb package works"
    export DISPLAY=:$n
}

# The Wine environments whose servers this command started.
STARTED_WINE=()
# However the command ends: its servers, then its display.
stop_wine_and_display() {
    local env
    for env in "${STARTED_WINE[@]}"; do
        with_wine "$env" wineserver -k 2>/dev/null || true
        with_wine "$env" wineserver -w 2>/dev/null || true
    done
    STARTED_WINE=()
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
    XVFB_PID=
    return 0
}

# A file system of 8 KiB mounted at DIR, for the backup proof's desktop on
# a disk that fills; its Windows path goes to the tests in
# BRISVANE_SMALL_DISK. Only root mounts one: elsewhere the proof denies the
# desktop with a DACL instead. unmount_small_disk takes it away again.
mount_small_disk() {
    local dir=$1
    [ "$(id -u)" = 0 ] || return 0
    mkdir -p "$dir"
    mountpoint -q "$dir" || mount -t tmpfs -o size=8k,mode=0777 brisvane-small-disk "$dir" 2>/dev/null || return 0
    export BRISVANE_SMALL_DISK="Z:${dir//\//\\}"
}

unmount_small_disk() { ! mountpoint -q "$1" 2>/dev/null || umount "$1" 2>/dev/null || true; }

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

# Arrangement NAME's own sandbox prefix (or PREFIX, in the test VM's
# guest), the only kind any command here uses, made if it is not there.
ensure_prefix() {
    local name=$1 prefix=${2:-$(arrangement "$1" prefix)} loader link fonts
    if [ ! -f "$prefix/.brisvane-ready" ]; then
        echo "creating the $name Wine prefix in ${prefix#"$ROOT"/}"
        # A win64 prefix is made by the 64-bit loader, whatever runs in it later.
        loader=$(arrangement "$name" loader)
        [ "$(arrangement "$name" arch)" = win64 ] && loader=/usr/lib/wine/wine64
        make_prefix "$(wine_env "$name" "$prefix")" "$loader" ||
            die "wineboot failed in ${prefix#"$ROOT"/} (its output: ${prefix#"$ROOT"/}.log); remove it and try again"
        touch "$prefix/.brisvane-ready"
    fi
    # Wine links the user's Desktop and Documents to the Linux home folder;
    # the project's programs and tests write there, so they stay in the prefix.
    for link in "$prefix"/drive_c/users/*/*; do [ -L "$link" ] && rm "$link" && mkdir "$link"; done
    # Wine draws the caption buttons with Marlett, which the prefix otherwise
    # does not find (the close button would show a bare "r").
    fonts=$prefix/drive_c/windows/Fonts
    [ -f "$fonts/marlett.ttf" ] || cp /usr/share/wine/fonts/marlett.ttf "$fonts/"
}

# A persistent wineserver for arrangement NAME's prefix (or PREFIX), with
# Wine's own services already up, so that no helper process inherits (and
# holds open) a test's output pipes.
start_wine() {
    local name=$1 prefix=${2:-$(arrangement "$1" prefix)} env drop=()
    env=$(wine_env "$name" "$prefix")
    # A run that was killed leaves its server behind, and a second one will
    # not start. Only ever this checkout's prefixes, which no one else uses.
    case $prefix in "$BUILD"/wine/* | /srv/wine/*) ;; *) die "$prefix is not one of the project's prefixes" ;; esac
    if with_wine "$env" wineserver -k 2>/dev/null; then
        echo "stopped the wineserver an earlier run left in ${prefix#"$ROOT"/}"
        with_wine "$env" wineserver -w
    fi
    # The server opens every file its programs open. As root it would
    # override file permissions, and a folder's DACL (which Wine keeps in
    # them) would deny nothing; a user's server, or Windows, would deny.
    [ "$(id -u)" != 0 ] || drop=(setpriv --bounding-set -dac_override,-dac_read_search)
    with_wine "$env" "${drop[@]}" wineserver -p || die "wineserver does not start in ${prefix#"$ROOT"/}" \
        "(exit code $?); stop what runs Wine there (WINEPREFIX=$prefix wineserver -k) and try again"
    STARTED_WINE+=("$env")
    with_wine "$env" "$(arrangement "$name" loader)" cmd /c exit >/dev/null 2>&1 </dev/null ||
        die "Wine does not start in ${prefix#"$ROOT"/}; remove that folder and try again"
}

# Keeps arrangement NAME's desktop open on DISPLAY until its server stops
# (see "hold" in harness/helper.cpp); returns once it is open.
hold_desktop() {
    local name=$1 out
    out=$(mktemp)
    run_wine "$name" "$(arrangement "$name" folder)/brisvane_drive.exe" hold </dev/null >"$out" 2>/dev/null &
    poll "Wine's desktop for $name" $! 0 grep -qs holding "$out" ||
        { rm -f "$out"; die "Wine's desktop does not open in build/wine/$name; remove that folder and try again"; }
    rm -f "$out"
}

# Arrangement NAME made ready for Windows programs: its prefix, made if
# need be, and its server up. The display is start_display's.
start_arrangement() {
    ensure_prefix "$1"
    start_wine "$1"
}

# The shipped tool, and every other build folder of the table through it,
# for the arrangements' PLACES; the rest ("$@") goes to cmake --build. Each
# arrangement's Wine environment goes to build/wine-NAME.env, for CTest's
# wrapper. Compilations go through ccache, with paths taken relative to the
# checkout so that any clone shares them; a damaged entry is compiled again.
# The release's own check builds from clean copies without it.
build() {
    local name
    mkdir -p "$BUILD"
    for name in $(arrangement_names); do wine_env "$name" >"$BUILD/wine-$name.env"; done
    export CCACHE_DIR=$CACHE/ccache CCACHE_BASEDIR=$ROOT CCACHE_MAXSIZE=2G
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" \
        -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache \
        -DCMAKE_BUILD_TYPE=Release -DBRISVANE_PLACES="$(cmake_places "$1")" >/dev/null
    cmake --build "$BUILD" -j"$(nproc)" "${@:2}"
    echo "SHA-256 $(sha256sum "$BUILD/brisvane.exe" | cut -d' ' -f1)  build/brisvane.exe"
}

# The 64-bit twin's coverage in one line, from the gcov counts that its
# processes left in build folder FOLDER: each program's of its own sources,
# less the compiler's own branches and the lines marked GCOVR_EXCL_* in the
# source, each beside its reason. Where CTest ran every test (NARROWED
# empty: the arguments it was given), a program below 100% of its lines or
# branches fails, and the lines left uncovered are named; they are also in
# FOLDER/coverage-NAME.txt and coverage-NAME-branches.txt.
coverage_summary() {
    local folder=$1 narrowed=$2 name filter targets report line= missing= status=0
    while read -r name filter targets; do
        # shellcheck disable=SC2046,SC2086
        report=$(cd "$ROOT" && gcovr --gcov-executable x86_64-w64-mingw32-gcov -r . -s --exclude-throw-branches \
            --exclude-unreachable-branches -f "$filter" --txt "$folder/coverage-$name.txt" \
            --json "$folder/coverage-$name.json" $(printf "$folder/CMakeFiles/%s.dir " $targets) &&
            gcovr -r "$ROOT" -a "$folder/coverage-$name.json" -b --txt "$folder/coverage-$name-branches.txt") ||
            { echo "$(basename "$0"): gcovr could not read ${folder#"$ROOT"/}'s counts; run the tests again" >&2; return 1; }
        line+="${line:+; }$name $(awk '/^lines:/ { l = $2 } /^branches:/ { b = $2 } END { print l " lines, " b " branches" }' <<<"$report")"
        grep -q '^lines: 100.0%' <<<"$report" && grep -q '^branches: 100.0%' <<<"$report" && continue
        status=1
        missing+=$(awk -v name="$name" 'FNR == 1 { kind = FILENAME ~ /branches/ ? "branches" : "lines" }
            NF == 5 && $4 ~ /%$/ { print "not covered, " name ": " $1 " " kind " " $5 }' \
            "$folder/coverage-$name.txt" "$folder/coverage-$name-branches.txt")$'\n'
    done <<'PROGRAMS'
backup backup/ brisvane-backup
tool (app|cleanup|platform)/ brisvane_core brisvane
PROGRAMS
    echo "coverage, x64: $line"
    [ -n "$narrowed" ] || [ $status = 0 ] && return 0
    printf '%s' "$missing"
    echo "$(basename "$0"): coverage is below 100%: reach the lines above with a test, or mark one no test can reach GCOVR_EXCL_LINE (or _BR_LINE, _START/_STOP), with the reason beside it" >&2
    return 1
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
