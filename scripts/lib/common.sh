# Shared by the scripts: finds the repository, installs what the build needs.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
JOBS="${JOBS:-$(nproc 2>/dev/null || echo 2)}"

# Debian packages the build, the tests and the demo need.
BUILD_PACKAGES=(make cmake g++ qtbase5-dev qtbase5-dev-tools libqt5svg5-dev libqt5network5 libarchive-dev zlib1g-dev libsqlite3-dev openssl)
RUN_PACKAGES=(xvfb xauth)
# The agent's journal tests grow a journal file with systemd-journal-remote;
# its end-to-end test runs Debian's ping (on 127.0.0.1) through the agent.
AGENT_TEST_PACKAGES=(systemd-journal-remote iputils-ping)
# The benchmarks compare against these tools.
BENCH_PACKAGES=(curl coreutils)
# The agent's tests run a real Kamailio (its package holds every module the
# test config loads); installed without starting its system-wide service.
AGENT_SERVICE_PACKAGES=(kamailio)

ensure_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "Missing Debian packages. Install them with:" >&2
        echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# without_service_start <command...>: runs the command (an install) with a
# policy-rc.d in place that forbids starting services, removed after it when
# this function made it.
without_service_start() {
    local policy=/usr/sbin/policy-rc.d made=0 status=0
    if [ "$(id -u)" -eq 0 ] && [ ! -e "$policy" ]; then
        printf '#!/bin/sh\n# Put here by the plogger4 scripts for one install.\nexit 101\n' >"$policy"
        chmod 755 "$policy"
        made=1
    fi
    "$@" || status=$?
    [ "$made" = 1 ] && rm -f "$policy"
    return "$status"
}

# ensure_service_packages <package...>: like ensure_packages, for packages
# that would start a system-wide service (Kamailio on every interface): no
# service starts during the install, and the services of the packages it
# installed are not enabled for the next boot either.
ensure_service_packages() {
    local status=0 pkg fresh=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || fresh+=("$pkg")
    done
    [ ${#fresh[@]} -eq 0 ] && return 0
    without_service_start ensure_packages "${fresh[@]}" || status=$?
    for pkg in "${fresh[@]}"; do
        if [ -e "/lib/systemd/system/$pkg.service" ] && command -v systemctl >/dev/null; then
            systemctl disable "$pkg.service" >/dev/null 2>&1 || true
        fi
    done
    return "$status"
}

# configure_and_build <build dir> <build type> [extra cmake args...]
configure_and_build() {
    local dir="$1" type="$2"
    shift 2
    cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE="$type" "$@"
    cmake --build "$dir" -j "$JOBS"
}

# ---- Sanitizers and fuzzing ------------------------------------------------

# clang with its fuzzer and sanitizer runtimes, for the fuzz targets.
FUZZ_PACKAGES=(clang libclang-rt-14-dev)

# sanitizer_env <report dir>: settings for every process of a sanitized run.
# Reports go to files, so that those of helper processes the tests start
# count as well as the tests' own.
sanitizer_env() {
    local logdir="$1"
    export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:strict_string_checks=1:check_initialization_order=1:strict_init_order=1:detect_stack_use_after_return=1:fast_unwind_on_malloc=0:log_path=$logdir/asan"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logdir/ubsan"
    export LSAN_OPTIONS="suppressions=$ROOT/tests/sanitizer/lsan.supp:print_suppressions=0"
}

# print_sanitizer_reports <report dir>: prints every report; true if there was one.
print_sanitizer_reports() {
    local logdir="$1" f found=1
    for f in "$logdir"/*; do
        [ -e "$f" ] || continue
        found=0
        echo "==== sanitizer report $(basename "$f")" >&2
        cat "$f" >&2
    done
    return "$found"
}

# run_sanitized_suite <build dir>: the whole test suite again, built with
# AddressSanitizer and UndefinedBehaviorSanitizer. Any report fails it.
run_sanitized_suite() {
    local dir="$1" logdir="$1/sanitizer-reports" status=0
    # Called after ||, where set -e does not apply: every step checks itself.
    configure_and_build "$dir" Debug -DPLOGGER_SANITIZE=ON || return 1
    rm -rf "$logdir"
    mkdir -p "$logdir"
    (
        sanitizer_env "$logdir"
        export QT_QPA_PLATFORM=offscreen
        ctest --test-dir "$dir" --output-on-failure -j "$JOBS"
    ) || status=1
    if print_sanitizer_reports "$logdir"; then
        echo "Sanitizer reports found (above)." >&2
        status=1
    fi
    return $status
}

# ---- ThreadSanitizer ---------------------------------------------------------

# The tests that drive the link's thread: the link's own and the window's.
TSAN_TESTS='^tst_(pbx|loggerverbosity|wdgploggergui)'

# GCC's ThreadSanitizer needs the address layout it was built for; kernels
# that randomise mmap more (vm.mmap_rnd_bits above 28) make it stop with
# "unexpected memory mapping". Without randomisation it always fits, so the
# tests run under setarch -R where the system allows it.
tsan_launcher() {
    if setarch "$(uname -m)" -R true 2>/dev/null; then
        echo "setarch $(uname -m) -R"
    fi
}

# run_tsan_suite <build dir>: the link and window tests again, built with
# ThreadSanitizer. Any report, also from the pbx-emulator the tests start,
# fails it; tests/sanitizer/tsan.supp says what of Qt is left out and why.
run_tsan_suite() {
    local dir="$1" logdir="$1/sanitizer-reports" status=0 tests launcher
    cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DPLOGGER_SANITIZE_THREAD=ON || return 1
    # Test names are their targets: build only those and what they need.
    tests=$(ctest --test-dir "$dir" -N -R "$TSAN_TESTS" 2>/dev/null | sed -n 's/^ *Test *#[0-9]*: //p') || true
    if [ -z "$tests" ]; then
        echo "No tests match $TSAN_TESTS." >&2
        return 1
    fi
    # shellcheck disable=SC2086 # one target per word
    cmake --build "$dir" -j "$JOBS" --target $tests || return 1
    launcher="$(tsan_launcher)"
    rm -rf "$logdir"
    mkdir -p "$logdir"
    (
        export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$ROOT/tests/sanitizer/tsan.supp:print_suppressions=0:log_path=$logdir/tsan"
        export QT_QPA_PLATFORM=offscreen
        # shellcheck disable=SC2086 # the launcher is a command and its arguments
        $launcher ctest --test-dir "$dir" -R "$TSAN_TESTS" --output-on-failure -j "$JOBS"
    ) || status=1
    if print_sanitizer_reports "$logdir"; then
        echo "ThreadSanitizer reports found (above)." >&2
        if grep -qs 'unexpected memory mapping' "$logdir"/*; then
            echo "The address layout does not suit ThreadSanitizer: run as root" \
                "'sysctl vm.mmap_rnd_bits=28', or allow setarch -R." >&2
        fi
        status=1
    fi
    return $status
}

# run_fuzzers <build dir> <seconds> [seed [target...]]: builds the libFuzzer
# targets with clang and runs each (or those named) for the given time,
# $JOBS at a time. With a seed above 0, as the test stage runs them, every
# target starts afresh from its committed corpus with that seed: the same
# tree walks the same inputs in the same order, so a result never depends
# on chance or on an earlier run. With seed 0 (scripts/fuzz) libFuzzer picks
# a seed, and what it finds is kept under fuzz-explore/ for the next run.
# Crashes are saved in the target's artifacts/ folder and printed.
run_fuzzers() {
    local dir="$1" seconds="$2" seed="${3:-1}" src="$ROOT/tests/fuzz" target
    shift $(($# < 3 ? $# : 3))
    cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DPLOGGER_FUZZ=ON ||
        return 1
    local targets=("$@")
    if [ ${#targets[@]} -eq 0 ]; then
        cmake --build "$dir" --target fuzzers -j "$JOBS" || return 1
        for target in "$src"/corpus/*/; do
            targets+=("$(basename "$target")")
        done
    else
        for target in "${targets[@]}"; do
            if [ ! -d "$src/corpus/$target" ]; then
                echo "no fuzz target named '$target' (no tests/fuzz/corpus/$target)" >&2
                return 1
            fi
        done
        cmake --build "$dir" --target "${targets[@]}" -j "$JOBS" || return 1
    fi
    local workroot="$dir/fuzz-work"
    [ "$seed" = 0 ] && workroot="$dir/fuzz-explore"
    local passed=0 failed=() running=0
    for target in "${targets[@]}"; do
        if [ "$running" -ge "$JOBS" ]; then
            wait -n || true
            running=$((running - 1))
        fi
        run_one_fuzzer "$dir" "$target" "$seconds" "$seed" "$workroot/$target" &
        running=$((running + 1))
    done
    wait || true
    for target in "${targets[@]}"; do
        local work="$workroot/$target"
        if [ "$(cat "$work/status" 2>/dev/null)" = 0 ]; then
            passed=$((passed + 1))
            echo "$target: ok, $(grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$work/log" | tail -1)" \
                "($(grep -o 'Seed: [0-9]*' "$work/log" | head -1))"
        else
            failed+=("$target")
            echo "$target: FAILED; last lines of $work/log:"
            tail -n 60 "$work/log"
            ls "$work/artifacts"
        fi
    done
    echo "fuzz: $passed passed, ${#failed[@]} failed"
    if [ "$seed" = 0 ]; then
        echo "new inputs: $workroot/<target>/corpus (kept for the next run); crashes: $workroot/<target>/artifacts"
        echo "rerun one with $dir/tests/fuzz/<target> <file>; it joins tests/fuzz/corpus/<target>/ with its mend"
    fi
    [ ${#failed[@]} -eq 0 ]
}

# Fuzzes at full speed without leak checks, then runs every input kept once
# more with leak checking and the full allocation stacks the suppressions
# need (too slow to have on every input).
run_one_fuzzer() {
    local dir="$1" target="$2" seconds="$3" seed="$4" work="$5" src="$ROOT/tests/fuzz"
    local bin="$dir/tests/fuzz/$target" dict=() seeding=()
    rm -rf "$work/artifacts"
    # A fixed seed starts from the committed corpus alone.
    [ "$seed" != 0 ] && rm -rf "$work/corpus" && seeding=(-seed="$seed")
    mkdir -p "$work/corpus" "$work/artifacts"
    [ -f "$src/dict/$target.dict" ] && dict=(-dict="$src/dict/$target.dict")
    local status=0
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
    export LSAN_OPTIONS="suppressions=$ROOT/tests/sanitizer/lsan.supp:print_suppressions=0"
    ASAN_OPTIONS="detect_leaks=0" \
        "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -detect_leaks=0 \
        -print_final_stats=1 -artifact_prefix="$work/artifacts/" "${seeding[@]}" "${dict[@]}" \
        "$work/corpus" "$src/corpus/$target" >"$work/log" 2>&1 || status=$?
    if [ "$status" = 0 ]; then
        echo "---- leak check over the corpus" >>"$work/log"
        find "$work/corpus" "$src/corpus/$target" -type f -print0 |
            ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0" xargs -0 -r -n 500 \
                "$bin" -timeout=10 -rss_limit_mb=2048 >>"$work/log" 2>&1 || status=$?
    fi
    echo "$status" >"$work/status"
}
