# Shared by the project's commands: installs what is missing, builds, and
# owns the private X display and the project's own Wine prefix.
# Sourced, never run on its own.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$ROOT/build
PREFIX=$BUILD/wineprefix

PACKAGES=(
    g++-mingw-w64-i686 binutils-mingw-w64-i686
    wine wine32:i386 xvfb
    cmake googletest
    fonts-wqy-microhei icoutils imagemagick
)

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
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# The Wine environment every project command and test runs in: no install
# prompts, and a crash ends the process instead of waiting in winedbg.
wine_env() {
    export WINEPREFIX=$PREFIX WINEARCH=win32 WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
}

# Chinese ANSI code page (936) for the Windows side. Set through env: bash
# itself would warn that no such glibc locale is generated, which is fine.
run_wine() {
    env LC_ALL=zh_CN.UTF-8 wine "$@"
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
    if [ -z "$n" ]; then
        echo "Xvfb did not start" >&2
        return 1
    fi
    export DISPLAY=:$n
}

stop_all() {
    if [ -n "${WINEPREFIX:-}" ] && [ -d "$WINEPREFIX" ]; then
        wineserver -k 2>/dev/null || true
        wineserver -w 2>/dev/null || true
    fi
    [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null && wait "$XVFB_PID" 2>/dev/null
    XVFB_PID=
    return 0
}

# The project's own sandbox prefix, the only one any command here uses.
ensure_prefix() {
    if [ -f "$PREFIX/.brisvane-ready" ]; then
        prefix_fonts
        return 0
    fi
    echo "creating the Wine prefix in $PREFIX"
    rm -rf "$PREFIX"
    mkdir -p "$BUILD"
    env LC_ALL=zh_CN.UTF-8 wineboot -i >/dev/null 2>&1
    wineserver -w
    # Unmanaged windows: no 2 s wait per hidden window, and Wine draws the caption.
    run_wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    wineserver -w
    prefix_fonts
    touch "$PREFIX/.brisvane-ready"
}

# Wine draws the caption buttons with Marlett, which this prefix otherwise
# does not find (the close button would show a bare "r").
prefix_fonts() {
    local fonts=$PREFIX/drive_c/windows/Fonts
    [ -f "$fonts/marlett.ttf" ] || cp /usr/share/wine/fonts/marlett.ttf "$fonts/"
}

# A persistent wineserver with Wine's own services already up, so that no
# helper process inherits (and holds open) a test's output pipes.
start_wine() {
    wineserver -p
    run_wine cmd /c exit >/dev/null 2>&1 </dev/null
}

build() {
    cmake -S "$ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$BUILD" -j"$(nproc)" "$@"
    echo "SHA-256 $(sha256sum "$BUILD/brisvane.exe" | cut -d' ' -f1)  build/brisvane.exe"
}
