# Sourced by the project's commands: the one reader of tools/arrangements,
# and packages, prefixes, the display and the build.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$ROOT/build
CACHE=${XDG_CACHE_HOME:-$HOME/.cache}/brisvane
PACKAGES=(g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
    wine xvfb xauth cmake ccache googletest python3 python3-pefile unzip gcovr libwin-hivex-perl
    fonts-wqy-microhei icoutils imagemagick)
VM_HOST_PACKAGES=(qemu-system-x86 qemu-utils debvm mmdebstrap gpgv debian-archive-keyring openssh-client)
: "${BRISVANE_X64_ONLY:=}" "${BRISVANE_NO_VM:=}"

die() { echo "$(basename "$0"): $*" >&2; exit 1; }
as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

# The packages "$@" that are missing. A mirror can be half synced for hours:
# an index that fails is left out, an unresolvable install tried with the release's own suite.
ensure_packages() {
    local missing=() p out suite
    for p; do dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q ' installed$' || missing+=("$p"); done
    [ ${#missing[@]} = 0 ] && return 0
    echo "installing: ${missing[*]}"
    case " ${missing[*]}" in *:i386*) dpkg --print-foreign-architectures | grep -qx i386 || as_root dpkg --add-architecture i386 ;; esac
    out=$(apt_get update) || sed -n '/^[EW]: Failed to fetch /{s/ *\[IP: [^]]*\]//; s|/by-hash/[^ ]*||
        s|^.: Failed to fetch \([^ ]*\) *\(.*\)|apt-get update: left out \1 (\2); going on without it|p}' <<<"$out" | grep . ||
        echo "apt-get update failed ($(tail -n 1 <<<"$out")); going on with the indexes there are"
    # Quiet: where 32-bit programs cannot run, i386 triggers say "Exec format error".
    out=$(apt_get install -y "${missing[@]}") || { grep -q 'Unable to correct problems\|Unmet dependencies' <<<"$out" &&
        suite=$(. /etc/os-release && echo "$VERSION_CODENAME") &&
        echo "apt-get install could not resolve the packages, as the mirror's suites disagree; trying again with $suite's own (-t $suite)" &&
        out=$(apt_get install -y -t "$suite" "${missing[@]}"); } ||
        { tail -n 5 <<<"$out" >&2; die "apt-get install ${missing[*]} failed (apt's last lines above); if a line above says" \
            "the mirror left an index out, wait for it to sync and try again, or install these packages by hand"; }
}
apt_get() { as_root env DEBIAN_FRONTEND=noninteractive apt-get -qq "$@" 2>&1; }

# shellcheck disable=SC2046
ensure_base_packages() { ensure_packages "${PACKAGES[@]}" $(for name in $(arrangement_names); do arrangement "$name" package; done | sort -u); }

arrangement_names() { awk '!/^#/ { print $1 }' "$ROOT/tools/arrangements"; }

# Fields "$@" of arrangement NAME, one a line: loader package arch folder cpu fallback prefix.
arrangement() {
    local _ loader package arch folder cpu fallback prefix=$BUILD/wine/$1 field
    read -r _ loader package arch folder cpu fallback < <(awk -v name="$1" '!/^#/ && $1 == name' "$ROOT/tools/arrangements") ||
        die "no arrangement named $1 in tools/arrangements"
    folder=$BUILD/${folder#.} && folder=${folder%/}
    for field in "${@:2}"; do echo "${!field}"; done
}

# PLACES, by trying each loader: "NAME here", "NAME vm" or "NAME skipped REASON".
probe_arrangements() {
    local name loader package cpu fallback status
    while read -r name loader package _ _ cpu fallback; do
        [ -z "$BRISVANE_X64_ONLY" ] || [ "$cpu" = x86_64 ] || { echo "$name skipped BRISVANE_X64_ONLY is set"; continue; }
        [ -x "$loader" ] || die "$loader is missing; install $package (apt-get install $package)"
        "$loader" --version </dev/null >/dev/null 2>&1 && status=0 || status=$?
        case $status,$fallback,$BRISVANE_NO_VM in
        0,*) echo "$name here" ;;
        126,vm,) echo "$name vm" ;;
        126,vm,*) echo "$name skipped this machine cannot run 32-bit programs, and BRISVANE_NO_VM is set" ;;
        126,*) echo "$name skipped this machine cannot run 32-bit programs" ;;
        *) die "$loader does not start (exit code $status); reinstall $package" ;;
        esac
    done < <(awk '!/^#/ && NF' "$ROOT/tools/arrangements")
}

names_at() { awk -v place="$2" '$2 == place { print $1 }' <<<"$1"; }
place_of() { awk -v name="$2" '$1 == name { print $2 }' <<<"$1"; }
skip_reason() { sed -n "s/^$2 skipped //p" <<<"$1"; }

# PLACES for tests/CMakeLists.txt. Where both rows of the shipped exe run,
# each makes every other one of its fault runs; in the test VM, where a run
# costs ten times as much, every eighth: the guests a quarter, the twin here all.
# Waits scale: a guest may be emulated (known only once it boots), and the
# rows here share its cores.
cmake_arrangements() {
    local name place shipped part=0 share scale
    shipped=$(for name in $(names_at "$1" here) $(names_at "$1" vm); do arrangement "$name" cpu; done | grep -cx i686 || true)
    for name in $(arrangement_names); do
        place=$(sed -n "/^$name /{s///; s/^skipped /skipped: /; p}" <<<"$1") share=
        case $shipped,$place,$(arrangement "$name" cpu) in 2,here,i686) share=$((part++))/2 ;; 2,vm,i686) share=$((part++))/8 ;; esac
        case $place,$(names_at "$1" vm) in vm,*) scale=6 ;; *,?*) scale=2 ;; *) scale=1 ;; esac
        printf 'brisvane_arrangement(%s %s "%s" %s "%s" "%s")\n' "$name" "$(arrangement "$name" cpu)" \
            "$(arrangement "$name" folder)" "$scale" "$place" "$share"
    done
}

# The first arrangement that runs here, said on stderr when it is the twin.
pick_arrangement() {
    local name && name=$(names_at "$1" here | head -n 1)
    [ -n "$name" ] || die "no arrangement runs on this machine"
    [ "$name" != x64 ] || echo "using the 64-bit twin build/x64/brisvane.exe under 64-bit Wine: $(skip_reason "$1" win32 |
        grep . || echo "this machine cannot run 32-bit programs")" >&2
    echo "$name"
}

# NAME's Wine environment: no install prompts, a crash that ends the process
# (no winedbg), the Chinese ANSI code page, the twin's gcov counts.
wine_env() {
    printf '%s\n' "WINEPREFIX=$(arrangement "$1" prefix)" "WINEARCH=$(arrangement "$1" arch)" \
        WINEDEBUG=-all 'WINEDLLOVERRIDES=mscoree,mshtml=;winedbg.exe=d' LC_ALL=zh_CN.UTF-8
    [ "$(arrangement "$1" cpu)" != x86_64 ] || echo GCOV_PREFIX=Z:
}

# Through env, as bash would warn that no glibc locale zh_CN is made.
with_wine() { local vars; mapfile -t vars <<<"$1"; env "${vars[@]}" "${@:2}"; }
run_wine() { with_wine "$(wine_env "$1")" "$(arrangement "$1" loader)" "${@:2}"; }

# This command again on a private display (-a: a free number, the machine is shared).
on_private_display() {
    [ -z "${BRISVANE_DISPLAY-}" ] || return 0
    BRISVANE_DISPLAY=private exec xvfb-run -a -s '-screen 0 1024x768x24' "$0" "$@"
}

STARTED_WINE=()
stop_wine() {
    for env in "${STARTED_WINE[@]}"; do with_wine "$env" sh -c 'wineserver -k; wineserver -w' 2>/dev/null || true; done
    STARTED_WINE=()
}

# As root, an 8 KiB disk per row "$@" for the backup proof's full desktop,
# in BRISVANE_SMALL_DISK_NAME; elsewhere the proof denies it with a DACL.
mount_small_disks() {
    local name dir
    [ "$(id -u)" = 0 ] || return 0
    for name; do
        dir=$BUILD/small-disk/$name && mkdir -p "$dir"
        mountpoint -q "$dir" || mount -t tmpfs -o size=8k,mode=0777 brisvane-small-disk "$dir" 2>/dev/null || continue
        export "BRISVANE_SMALL_DISK_$name=Z:${dir//\//\\}"
    done
}
unmount_small_disks() {
    for dir in "$BUILD"/small-disk/*/; do ! mountpoint -q "$dir" 2>/dev/null || umount "$dir" 2>/dev/null || true; done
}

# NAME's own prefix, made if need be (a win64 one by the 64-bit loader).
ensure_prefix() {
    local name=$1 env prefix loader link
    env=$(wine_env "$name") prefix=$(arrangement "$name" prefix) loader=$(arrangement "$name" loader)
    # Only this checkout's: what is done here and in start_wine removes files.
    case $prefix in "$BUILD"/wine/?*) ;; *) die "$prefix is not one of the project's prefixes" ;; esac
    [ "$(arrangement "$name" arch)" = win32 ] || loader=/usr/lib/wine/wine64
    if [ ! -f "$prefix/.brisvane-ready" ]; then
        echo "creating the $name Wine prefix in ${prefix#"$ROOT"/}"
        with_wine "$env" sh -c 'wineserver -k; wineserver -w' 2>/dev/null || true
        rm -rf "$prefix" && mkdir -p "$prefix"
        # Wine gives a new prefix's set-up 5 minutes, then fails the start
        # while it goes on: on a slow machine, one after it works.
        local init=(with_wine "$env" env WINEDEBUG=-all,err+all "$loader" wineboot -i)
        "${init[@]}" >"$prefix.log" 2>&1 || { with_wine "$env" wineserver -w && "${init[@]}" >>"$prefix.log" 2>&1; } ||
            die "wineboot failed in ${prefix#"$ROOT"/} (its output: ${prefix#"$ROOT"/}.log); remove it and try again"
        rm -f "$prefix.log"
        # Unmanaged windows: no 2 s wait per hidden window, and Wine draws the caption.
        with_wine "$env" sh -c 'wineserver -w && "$0" reg add "HKCU\Software\Wine\X11 Driver" /v Managed /d N /f &&
            wineserver -w' "$loader" >/dev/null 2>&1 || true
        touch "$prefix/.brisvane-ready"
    fi
    # Wine links Desktop and Documents to the Linux home: the tests write there.
    for link in "$prefix"/drive_c/users/*/*; do [ -L "$link" ] && rm "$link" && mkdir "$link"; done
    # Wine draws the caption buttons with Marlett, which it otherwise does not find.
    [ -f "$prefix/drive_c/windows/Fonts/marlett.ttf" ] || cp /usr/share/wine/fonts/marlett.ttf "$prefix/drive_c/windows/Fonts/"
}

# Wine's services up before a test, so that none inherits (and holds open)
# its output pipes; its desktop drawn by DRIVER: x11, or null where no one
# looks (the tests: no display to share, no X server's round trips).
start_wine() {
    local name=$1 driver=${2:-x11} env prefix drop=()
    ensure_prefix "$name"
    env=$(wine_env "$name") prefix=$(arrangement "$name" prefix)
    # A run that was killed leaves its server behind, and another will not start.
    ! with_wine "$env" wineserver -k 2>/dev/null ||
        { echo "stopped the wineserver an earlier run left in ${prefix#"$ROOT"/}"; with_wine "$env" wineserver -w; }
    # As root the server would override the permissions that hold a folder's DACL.
    [ "$(id -u)" != 0 ] || drop=(setpriv --bounding-set -dac_override,-dac_read_search)
    with_wine "$env" "${drop[@]}" wineserver -p || die "wineserver does not start in ${prefix#"$ROOT"/}" \
        "(exit code $?); stop what runs Wine there (WINEPREFIX=$prefix wineserver -k) and try again"
    STARTED_WINE+=("$env")
    run_wine "$name" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d "$driver" /f >/dev/null 2>&1 </dev/null || die "Wine does not start in ${prefix#"$ROOT"/}; remove that folder and try again"
}

hold_desktop() {
    local out && out=$(mktemp)
    run_wine "$1" "$(arrangement "$1" folder)/brisvane_drive.exe" hold </dev/null >"$out" 2>/dev/null &
    poll "Wine's desktop for $1" $! 0 grep -qs holding "$out" ||
        { rm -f "$out"; die "Wine's desktop does not open in build/wine/$1; remove that folder and try again"; }
    rm -f "$out"
}

# Every build folder for PLACES; the rest goes to cmake --build.
build() {
    mkdir -p "$BUILD"
    cmake_arrangements "$1" >"$BUILD/arrangements.cmake"
    export CCACHE_DIR=$CACHE/ccache CCACHE_BASEDIR=$ROOT CCACHE_MAXSIZE=2G
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" \
        -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$BUILD" -j"$(nproc)" "${@:2}"
    echo "SHA-256 $(sha256sum "$BUILD/brisvane.exe" | cut -d' ' -f1)  build/brisvane.exe"
}

# The twin's coverage in one line, each program's of its own sources, less
# the compiler's branches and the GCOVR_EXCL_* lines. Unless NARROWED (ctest's
# arguments), gcovr fails below 100% and the lines are named, which FOLDER/coverage-*.txt hold.
coverage_summary() {
    local folder=$1 narrowed=$2 name filter targets out report line= missing= gate=()
    [ -n "$narrowed" ] || gate=(--fail-under-line 100 --fail-under-branch 100)
    while read -r name filter targets; do
        out=$folder/coverage-$name
        # shellcheck disable=SC2046,SC2086
        report=$(cd "$ROOT" && gcovr --gcov-executable x86_64-w64-mingw32-gcov -r . -s --exclude-throw-branches \
            --exclude-unreachable-branches -f "$filter" --txt "$out-lines.txt" --json "$out.json" \
            $(printf "$folder/CMakeFiles/%s.dir " $targets)) ||
            { echo "$(basename "$0"): gcovr could not read ${folder#"$ROOT"/}'s counts; run the tests again" >&2; return 1; }
        line+="${line:+; }$name $(awk '/^lines:/ { l = $2 } /^branches:/ { b = $2 } END { print l " lines, " b " branches" }' <<<"$report")"
        # Its own failure said below, with the rows of its reports that name lines, as gcovr's names no program.
        gcovr -r "$ROOT" -a "$out.json" -b --txt "$out-branches.txt" "${gate[@]}" 2>/dev/null ||
            missing+=$(grep -h 'Missing$\|%  *[0-9]' "$out-lines.txt" "$out-branches.txt")$'\n'
    done <<'PROGRAMS'
backup backup/ brisvane-backup
path path/ brisvane-path
tool (app|cleanup|platform)/ brisvane_core brisvane
PROGRAMS
    echo "coverage, x64: $line"
    [ -n "$missing" ] || return 0
    printf '%s' "$missing"
    echo "$(basename "$0"): coverage is below 100%: reach the lines above with a test, or mark one no test can reach GCOVR_EXCL_LINE (or _BR_LINE, _START/_STOP), with the reason beside it" >&2
    return 1
}

# WHAT PID LIMIT COMMAND: 1 once PID has ended, 2 after LIMIT s (0: none).
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
