# The Windows-only units of app/, cross-built with mingw-w64 and run under
# wine. Sourced by scripts/test after common.sh.

# 64-bit: the compiler and wine. 32-bit (the shipped target): the i686
# compiler and wine32, which needs the i386 architecture in dpkg.
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix wine wine64)
WINDOWS32_PACKAGES=(g++-mingw-w64-i686-posix wine32:i386)

# Adds i386 to dpkg's architectures (as root), for wine32.
enable_i386_multiarch() {
    dpkg --print-foreign-architectures | grep -qx i386 && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "The 32-bit Windows tests need i386 packages. Enable them with:" >&2
        echo "  sudo dpkg --add-architecture i386   (or run with WINDOWS32=0)" >&2
        exit 1
    fi
    echo "Adding the i386 architecture for wine32"
    dpkg --add-architecture i386
}

# wine_setup <prefix>: a private, headless wine prefix whose crashes end the
# process at once instead of starting the debugger (which would print pages
# and, with a display, open a dialog).
wine_setup() {
    export WINEPREFIX="$1" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY WAYLAND_DISPLAY
    mkdir -p "$WINEPREFIX"
    timeout -k 10 300 wineboot --init >/dev/null 2>&1 || return 1
    timeout -k 10 120 wineserver --wait || return 1
    local view
    for view in 32 64; do
        timeout -k 10 60 wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
            /v Debugger /d '' /f "/reg:$view" >/dev/null 2>&1 || return 1
    done
}

# run_windows_tests <build dir>: builds tests/windows for each target into
# <build dir>/<target> and runs every test there under wine, each bounded by
# timeout. WINDOWS32=0 leaves out the 32-bit target.
run_windows_tests() {
    local dir="$1" targets=(x86_64-w64-mingw32) packages=("${WINDOWS_PACKAGES[@]}")
    if [ "${WINDOWS32:-1}" != 0 ]; then
        enable_i386_multiarch
        targets+=(i686-w64-mingw32)
        packages+=("${WINDOWS32_PACKAGES[@]}")
    fi
    ensure_packages "${packages[@]}"
    (
        # Called after ||, where set -e does not apply: every step checks itself.
        wine_setup "$dir/wineprefix" || { echo "wine prefix set-up failed" >&2; exit 1; }
        status=0
        for target in "${targets[@]}"; do
            cmake -S "$ROOT/tests/windows" -B "$dir/$target" -DCMAKE_BUILD_TYPE=Debug \
                -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-$target.cmake" >/dev/null || exit 1
            cmake --build "$dir/$target" -j "$JOBS" || exit 1
            for exe in "$dir/$target"/tst_*.exe; do
                log="${exe%.exe}.log"
                code=0
                timeout -k 10 120 wine "$exe" >"$log" 2>&1 || code=$?
                if [ "$code" = 0 ]; then
                    echo "$target $(basename "$exe"): ok"
                else
                    status=1
                    echo "$target $(basename "$exe"): FAILED (exit $code$([ "$code" = 124 ] && echo ', timed out'))"
                    cat "$log"
                fi
            done
        done
        timeout -k 5 30 wineserver --kill || true
        exit "$status"
    )
}
