# shellcheck shell=bash
# The Debian package: building it, and checking it with Debian's own tools.
# Sourced after common.sh.

# shellcheck disable=SC2034  # the lists are for the scripts that source this
# What building the .deb needs: dpkg-shlibdeps and dpkg-buildflags, file
# (CPack looks at the binaries with it), rsvg-convert for the icons.
PACKAGE_BUILD_PACKAGES=(dpkg-dev file librsvg2-bin)
# What checking it needs.
PACKAGE_CHECK_PACKAGES=(lintian desktop-file-utils appstream)
# What checking the agent's package needs: systemd-analyze (and man, which
# it asks for the unit's Documentation=), and running the installed agent as
# its own user.
AGENT_PACKAGE_CHECK_PACKAGES=(systemd man-db util-linux)

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

# build_agent_deb <build dir> <output dir>: plogger4-agent from the Release
# build that build_deb configured (run it first), packed with dpkg-deb into
# plogger4-agent_<version>_<arch>.deb: the service, its configuration and
# maintainer scripts from packaging/agent. Its path is the only thing
# written to stdout.
build_agent_deb() {
    local dir="$1" out="$2" src="$ROOT/packaging/agent" stage version arch maintainer shlibs size deb
    cmake --build "$dir" --target plogger4-agent -j "$JOBS" >&2 || return 1
    version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$dir/CMakeCache.txt")"
    maintainer="$(sed -n 's/^PLOGGER_PACKAGE_MAINTAINER:STRING=//p' "$dir/CMakeCache.txt")"
    arch="$(dpkg --print-architecture)"
    stage="$dir/agent-deb"
    rm -rf "$stage"
    mkdir -p "$stage"/{DEBIAN,usr/sbin,usr/share/man/man8,usr/share/doc/plogger4-agent,etc/plogger4-agent} \
        "$stage/lib/systemd/system" "$stage/debian" || return 1
    install -m 0755 "$dir/agent/plogger4-agent" "$stage/usr/sbin/" || return 1
    # As dh_strip does for a program.
    strip --remove-section=.comment --remove-section=.note "$stage/usr/sbin/plogger4-agent" || return 1
    gzip -9nc "$src/plogger4-agent.8" >"$stage/usr/share/man/man8/plogger4-agent.8.gz" || return 1
    gzip -9nc "$ROOT/packaging/changelog" >"$stage/usr/share/doc/plogger4-agent/changelog.gz" || return 1
    install -m 0644 "$ROOT/packaging/copyright" "$stage/usr/share/doc/plogger4-agent/" || return 1
    # The example Kamailio configuration and its tables, uncompressed as dh_compress leaves examples.
    mkdir -p "$stage/usr/share/doc/plogger4-agent/examples/dbtext" || return 1
    install -m 0644 "$src/examples/kamailio.cfg" "$stage/usr/share/doc/plogger4-agent/examples/" || return 1
    install -m 0644 "$src/examples/dbtext/"* "$stage/usr/share/doc/plogger4-agent/examples/dbtext/" || return 1
    install -m 0644 "$src/agent.ini" "$stage/etc/plogger4-agent/" || return 1
    install -m 0644 "$src/plogger4-agent.service" "$stage/lib/systemd/system/" || return 1
    install -m 0755 "$src/postinst" "$src/prerm" "$src/postrm" "$stage/DEBIAN/" || return 1
    # dpkg-shlibdeps insists on a debian/control, as CPack knows too.
    touch "$stage/debian/control"
    shlibs="$(cd "$stage" && dpkg-shlibdeps -O usr/sbin/plogger4-agent)" || return 1
    shlibs="${shlibs#shlibs:Depends=}"
    rm -rf "$stage/debian"
    echo /etc/plogger4-agent/agent.ini >"$stage/DEBIAN/conffiles"
    # Conffiles have their own sums in dpkg's status.
    (cd "$stage" && find usr lib -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum) >"$stage/DEBIAN/md5sums" || return 1
    size="$(du -sk --exclude=DEBIAN "$stage" | cut -f1)"
    sed -e "s|@VERSION@|$version|" -e "s|@ARCH@|$arch|" -e "s|@MAINTAINER@|$maintainer|" \
        -e "s|@SIZE@|$size|" -e "s|@SHLIBS@|$shlibs|" "$src/control.in" >"$stage/DEBIAN/control" || return 1
    chmod 0644 "$stage/DEBIAN/control" "$stage/DEBIAN/conffiles" "$stage/DEBIAN/md5sums"
    find "$stage" -type d -exec chmod 0755 {} +
    mkdir -p "$out" || return 1
    deb="$out/plogger4-agent_${version}_${arch}.deb"
    dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >&2 || return 1
    echo "$(cd "$out" && pwd)/$(basename "$deb")"
}

# check_agent_deb <.deb> [test build dir]: lintian; no display library
# among the Depends. As root, also installed into this machine (no service
# started), the unit as systemd-analyze sees it, its user, files and modes
# checked, the installed agent started as its user and reached over TLS, and
# with the test build's end-to-end test against a test Kamailio and the
# link's client; then purged: nothing may be left but the user and group.
check_agent_deb() {
    local deb="$1" tests="${2:-}" status=0
    echo "---- lintian $(basename "$deb")"
    lintian --fail-on error,warning --allow-root "$deb" || status=1
    echo "---- Depends"
    dpkg-deb -f "$deb" Depends
    if dpkg-deb -f "$deb" Depends | grep -Eo 'libqt5(gui|widgets)[^,]*|libx11[^,]*|libgl[^,]*'; then
        echo "display libraries among the agent's Depends (above)" >&2
        status=1
    fi
    if [ "$(id -u)" -ne 0 ]; then
        echo "---- skipped: installing the agent's package (needs root)"
        return $status
    fi
    echo "---- apt-get install $(basename "$deb")"
    local apt_log
    apt_log="$(mktemp "${TMPDIR:-/tmp}/plogger4-apt.XXXXXX")"
    if ! without_service_start env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends "$(realpath "$deb")" >"$apt_log" 2>&1; then
        cat "$apt_log" >&2
        rm -f "$apt_log"
        echo "the agent's package does not install" >&2
        return 1
    fi
    check_installed_agent || status=1
    if [ -x "$tests/tests/agent/tst_plogger4agent" ]; then
        echo "---- the installed agent as its user, against a test Kamailio, with the link's client"
        local out="$tests/installed-agent.log"
        if PLOGGER4_AGENT=/usr/sbin/plogger4-agent PLOGGER4_AGENT_USER=plogger4-agent QT_QPA_PLATFORM=offscreen \
            timeout 300 "$tests/tests/agent/tst_plogger4agent" >"$out" 2>&1; then
            grep '^Totals' "$out"
        else
            grep -v '^QDEBUG\|^QWARN' "$out" | tail -40 >&2
            status=1
        fi
    else
        echo "---- skipped: the end-to-end test with the installed agent (no test build given)"
    fi
    echo "---- apt-get purge plogger4-agent"
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq plogger4-agent >"$apt_log" 2>&1 ||
        { cat "$apt_log" >&2; status=1; }
    rm -f "$apt_log"
    local path
    for path in /etc/plogger4-agent /var/lib/plogger4-agent /run/plogger4-agent /usr/sbin/plogger4-agent \
        /lib/systemd/system/plogger4-agent.service; do
        [ -e "$path" ] && { echo "left after purge: $path" >&2; status=1; }
    done
    if ls /etc/systemd/system/*/plogger4-agent.service 2>/dev/null; then
        echo "service links left after purge (above)" >&2
        status=1
    fi
    return $status
}

# check_installed_agent: the installed package as root sees it, and the
# agent started as its user.
check_installed_agent() {
    local status=0 unit=/lib/systemd/system/plogger4-agent.service
    echo "---- systemd-analyze verify, security"
    # verify prints what it finds without always failing for it.
    local found
    found="$(systemd-analyze verify "$unit" 2>&1)" || status=1
    [ -z "$found" ] || { echo "$found" >&2; status=1; }
    systemd-analyze security --offline=true --threshold=20 "$unit" | tail -1 || status=1

    echo "---- user, group, files"
    if ! getent passwd plogger4-agent | grep -q ':/var/lib/plogger4-agent:/usr/sbin/nologin$'; then
        echo "no system user plogger4-agent with its state folder as home and no shell" >&2
        status=1
    fi
    local groups group
    groups=" $(id -nG plogger4-agent 2>/dev/null) "
    for group in plogger4-agent systemd-journal $(getent group kamailio >/dev/null && echo kamailio); do
        [[ "$groups" == *" $group "* ]] || { echo "plogger4-agent is not in the group $group" >&2; status=1; }
    done
    [ "$(stat -c '%U:%G %a' /var/lib/plogger4-agent)" = "plogger4-agent:plogger4-agent 700" ] ||
        { echo "/var/lib/plogger4-agent: $(stat -c '%U:%G %a' /var/lib/plogger4-agent)" >&2; status=1; }
    dpkg-query -W -f='${Conffiles}\n' plogger4-agent | grep -q '^ /etc/plogger4-agent/agent.ini ' ||
        { echo "/etc/plogger4-agent/agent.ini is not a conffile" >&2; status=1; }
    [ "$(stat -c '%U:%G %a' /etc/plogger4-agent/agent.ini)" = "root:root 644" ] || status=1

    echo "---- plogger4-agent --check-config with the shipped configuration"
    /usr/sbin/plogger4-agent --check-config --config /etc/plogger4-agent/agent.ini || status=1

    echo "---- the agent refuses root"
    local code=0 said
    said="$(/usr/sbin/plogger4-agent --listen 127.0.0.1:0 --source stdin </dev/null 2>&1)" || code=$?
    if [ "$code" != 1 ] || [[ "$said" != *"refusing to run as root"* ]]; then
        echo "expected exit code 1 and a refusal as root, got $code: $said" >&2
        status=1
    fi

    echo "---- an account, made by root"
    echo "s3cret" | /usr/sbin/plogger4-agent passwd admin || status=1
    [ "$(stat -c '%U:%G %a' /etc/plogger4-agent/accounts)" = "root:plogger4-agent 640" ] ||
        { echo "accounts: $(stat -c '%U:%G %a' /etc/plogger4-agent/accounts 2>&1)" >&2; status=1; }

    echo "---- the installed agent as its user"
    check_agent_as_user || status=1
    return $status
}

# check_agent_as_user: the packaged configuration, the log from a file and a
# loopback port; up as plogger4-agent, then a TLS client sees the
# certificate that "plogger4-agent fingerprint" names.
check_agent_as_user() {
    local work log pid port i status=0 printed seen
    work="$(mktemp -d "${TMPDIR:-/tmp}/plogger4-agent.XXXXXX")"
    chmod 755 "$work"
    install -m 0644 /dev/null "$work/kamailio.log"
    install -d -m 0711 -o plogger4-agent -g plogger4-agent "$work/run"
    log="$work/agent.log"
    setpriv --reuid plogger4-agent --regid plogger4-agent --init-groups --inh-caps=-all \
        /usr/sbin/plogger4-agent --config /etc/plogger4-agent/agent.ini --listen 127.0.0.1:0 \
        --source "file:$work/kamailio.log" --runtime-dir "$work/run" >"$log" 2>&1 &
    pid=$!
    for ((i = 0; i < 300; i++)); do
        grep -q "^listening " "$log" && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if grep -q "^listening " "$log"; then
        port="$(sed -n 's/^listening .*:\([0-9]*\)$/\1/p' "$log" | head -1)"
        printed="$(/usr/sbin/plogger4-agent fingerprint)"
        seen="$(timeout 20 openssl s_client -connect "127.0.0.1:$port" </dev/null 2>/dev/null |
            openssl x509 -noout -fingerprint -sha256 | sed 's/^.*=//')"
        if [ -z "$printed" ] || [ "$printed" != "$seen" ]; then
            echo "the certificate served ($seen) is not the one plogger4-agent fingerprint names ($printed)" >&2
            status=1
        fi
        [ "$(stat -c '%U' /var/lib/plogger4-agent/certificate.pem)" = plogger4-agent ] || status=1
    else
        echo "the installed agent did not start as plogger4-agent:" >&2
        status=1
    fi
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    cat "$log"
    rm -rf "$work"
    return $status
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

# run_packaging_stage <build dir> [test build dir]: builds both packages and
# checks them, the agent's also with a test of the test build.
run_packaging_stage() {
    local dir="$1" tests="${2:-}" deb
    local agent status=0
    deb="$(build_deb "$dir" "$dir/deb")" || return 1
    echo "built $deb"
    agent="$(build_agent_deb "$dir" "$dir/deb")" || return 1
    echo "built $agent"
    check_deb "$deb" || status=1
    check_agent_deb "$agent" "$tests" || status=1
    return $status
}
