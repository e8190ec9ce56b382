# shellcheck shell=bash
# The Debian package: building it, and checking it with Debian's own tools.
# Sourced after common.sh.

# shellcheck disable=SC2034  # the lists are for the scripts that source this
# What building the .deb needs: dpkg-shlibdeps and dpkg-buildflags, file
# (CPack looks at the binaries with it), rsvg-convert for the icons.
PACKAGE_BUILD_PACKAGES=(dpkg-dev file librsvg2-bin)
# What checking it needs.
PACKAGE_CHECK_PACKAGES=(lintian desktop-file-utils appstream)

# build_deb <build dir> <output dir>: a Release build of plogger4 alone,
# with Debian's hardening flags and the update check off by default, packed
# into plogger4_<version>_<arch>.deb in the output dir. Its path is the only
# thing written to stdout; progress goes to stderr.
build_deb() {
    local dir="$1" out="$2" flags deb
    flags="$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)" || return 1
    (
        eval "$flags"
        # Given on every configure: CMake reads CXXFLAGS and LDFLAGS from the
        # environment only into a new cache, and CPPFLAGS never.
        cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DPLOGGER_CHECK_UPDATES_BY_DEFAULT=OFF \
            -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
            -DCMAKE_CXX_FLAGS="$CXXFLAGS $CPPFLAGS" -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS"
    ) >&2 || return 1
    # Only what the package holds: the tests and tools are not built.
    cmake --build "$dir" --target plogger4 desktop-files -j "$JOBS" >&2 || return 1
    rm -f "$dir"/plogger4_*.deb
    (cd "$dir" && cpack -G DEB) >&2 || return 1
    deb="$(ls "$dir"/plogger4_*.deb)" || return 1
    mkdir -p "$out" && cp "$deb" "$out/" || return 1
    echo "$(cd "$out" && pwd)/$(basename "$deb")"
}

# check_deb <.deb>: lintian, the desktop entry and the metadata as Debian's
# tools see them, the package's contents, and the packed program started
# outside the build tree.
check_deb() {
    local deb="$1" status=0 root
    echo "---- lintian $(basename "$deb")"
    # A warning not fixed must be listed with its reason in the overrides.
    lintian --fail-on error,warning --allow-root "$deb" || status=1

    root="$(mktemp -d "${TMPDIR:-/tmp}/plogger4-deb.XXXXXX")"
    dpkg-deb -x "$deb" "$root" || { rm -rf "$root"; return 1; }
    echo "---- desktop-file-validate, appstreamcli validate"
    desktop-file-validate "$root/usr/share/applications/plogger4.desktop" || status=1
    appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml || status=1

    echo "---- contents"
    local version path
    version="$(dpkg-deb -f "$deb" Version)"
    if [ "$(dpkg-parsechangelog -l "$ROOT/packaging/changelog" -S Version)" != "$version" ] ||
        ! grep -q "<release version=\"$version\"" "$root"/usr/share/metainfo/*.metainfo.xml; then
        echo "packaging/changelog and the metainfo's releases must start with version $version" >&2
        status=1
    fi
    for path in usr/bin/plogger4 usr/share/icons/hicolor/48x48/apps/plogger4.png \
        usr/share/icons/hicolor/scalable/apps/plogger4.svg; do
        [ -f "$root/$path" ] || { echo "missing from the package: /$path" >&2; status=1; }
    done
    # The demo programs stay out of the package.
    if dpkg-deb -c "$deb" | grep -E 'pbx-emulator|update-server|discovery-responder|stage2-recorder'; then
        echo "demo programs in the package (above)" >&2
        status=1
    fi
    dpkg-deb -f "$deb" Depends

    echo "---- the packed plogger4 with a bad option"
    # A home, runtime and temp dir of its own keep it apart from any running plogger4.
    local code=0 run=(env HOME="$root/home" XDG_DATA_HOME="$root/home/data" TMPDIR="$root/home/tmp"
        XDG_RUNTIME_DIR="$root/home/run" QT_QPA_PLATFORM=offscreen "$root/usr/bin/plogger4")
    mkdir -p "$root/home/tmp"
    mkdir -m 700 "$root/home/run"
    timeout 60 "${run[@]}" --no-such-option || code=$?
    if [ "$code" != 100 ]; then
        echo "expected exit code 100 from the packed plogger4, got $code" >&2
        status=1
    fi

    # Without a network the default server cannot be reached even if the
    # check ran, so this needs a namespace of its own (root, or skipped).
    if unshare -n true 2>/dev/null; then
        echo "---- the packed plogger4 starts without an update check"
        local log="$root/home/start.log" pid i
        unshare -n "${run[@]}" >"$log" 2>&1 &
        pid=$!
        for ((i = 0; i < 300; i++)); do
            grep -q "showing main window" "$log" && break
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
        if ! grep -q "showing main window" "$log" || grep -q "Connecting to" "$log"; then
            echo "expected the main window without an update check:" >&2
            cat "$log" >&2
            status=1
        fi
    else
        echo "---- skipped: starting the packed plogger4 (no network namespace here)"
    fi
    rm -rf "$root"
    return $status
}

# run_packaging_stage <build dir>: builds the .deb and checks it.
run_packaging_stage() {
    local dir="$1" deb
    deb="$(build_deb "$dir" "$dir/deb")" || return 1
    echo "built $deb"
    check_deb "$deb"
}
