#!/bin/sh
# Hardening run: the whole unit and end-to-end suite built with AddressSanitizer
# and UndefinedBehaviorSanitizer, one delivery under valgrind memcheck, and
# every libFuzzer target for a bounded time (FUZZ_SECONDS each, default 60).
# Any sanitizer report, memcheck error or fuzzer crash fails the run.
#
# Build directories: build-asan (sanitizers), build-fuzz (clang, libFuzzer) and
# the plain build in $QUILLEX_PLAIN_BUILD (default: build) for valgrind.
set -e
. "$(dirname "$0")/as-root.sh"
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
fuzz_seconds=${FUZZ_SECONDS:-60}
plain=${QUILLEX_PLAIN_BUILD:-build}
jobs=$(nproc)

need_packages() {
    missing=""
    for p in "$@"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
    done
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" != 0 ]; then
        echo "test-hardening: missing packages:$missing" >&2
        exit 1
    fi
    apt-get update -q >/dev/null
    apt-get install -y -q $missing >/dev/null
}
need_packages clang-14 libclang-rt-14-dev valgrind libssl-dev libidn2-dev pkg-config openssl \
    libcurl4-openssl-dev nlohmann-json3-dev

# Sanitizer reports stop the program at once, with a status no test expects.
ASAN_OPTIONS=halt_on_error=1:exitcode=86:detect_leaks=1
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=86
export ASAN_OPTIONS UBSAN_OPTIONS

echo "== sanitizer build (build-asan)"
cmake -S . -B build-asan -DQUILLEX_SANITIZE=ON -DQUILLEX_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    >/dev/null
cmake --build build-asan -j"$jobs" >/dev/null

echo "== unit tests with sanitizers"
build-asan/tests/quillex_unit_tests --gtest_brief=1

echo "== end-to-end tests with sanitizers"
tests/e2e/run-e2e.sh build-asan/quillex

echo "== one delivery under valgrind memcheck ($plain)"
[ -f "$plain/CMakeCache.txt" ] || cmake -S . -B "$plain" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$plain" -j"$jobs" --target quillex >/dev/null
QUILLEX_VALGRIND=1 tests/e2e/run-e2e.sh "$plain/quillex" -k valgrind

echo "== fuzz targets (build-fuzz, $fuzz_seconds s each)"
CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -DQUILLEX_FUZZ=ON -DQUILLEX_TESTS=OFF -DQUILLEX_WERROR=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$jobs" >/dev/null

# Work in memory where possible: the settings target writes and syncs a file per input.
work=$(mktemp -d /dev/shm/quillex-fuzz.XXXXXX 2>/dev/null || mktemp -d /tmp/quillex-fuzz.XXXXXX)
trap 'rm -rf "$work"' EXIT
targets="reply_reader quoted_printable base64 content_type address_file settings_file options
    server_name sasl header_words oauth_json raw_message"

run_target() {
    t=$1
    mkdir -p "$work/$t/corpus" "$work/$t/artifacts"
    cp fuzz/corpus/"$t"/* "$work/$t/corpus/"
    # The front-end targets print refusals on every input; libFuzzer keeps its
    # own reports when the program's standard error is closed.
    case $t in settings_file|options) mask=3 ;; *) mask=1 ;; esac
    # The committed seeds stay as they are; new inputs go to the work copy.
    TMPDIR="$work/$t" ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 \
    build-fuzz/fuzz/fuzz_"$t" -max_total_time="$fuzz_seconds" -timeout=20 -rss_limit_mb=2048 \
        -max_len=8192 -close_fd_mask=$mask -print_final_stats=1 \
        -artifact_prefix="$work/$t/artifacts/" "$work/$t/corpus" >"$work/$t/log" 2>&1
}

failed=0
set -- $targets
while [ $# -gt 0 ]; do
    batch=""
    i=0
    while [ $# -gt 0 ] && [ $i -lt "$jobs" ]; do
        run_target "$1" &
        batch="$batch $!:$1"
        shift
        i=$((i + 1))
    done
    for entry in $batch; do
        pid=${entry%%:*}
        t=${entry#*:}
        if wait "$pid"; then
            runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$t/log" | tail -n 1)
            echo "fuzz_$t: ${runs:-?} executions in $fuzz_seconds s, no crash"
        else
            echo "fuzz_$t: FAILED" >&2
            tail -n 60 "$work/$t/log" >&2
            mkdir -p build-fuzz/crashes
            cp "$work/$t"/artifacts/* build-fuzz/crashes/ 2>/dev/null || true
            echo "crash inputs kept in build-fuzz/crashes/" >&2
            failed=1
        fi
    done
done
[ "$failed" = 0 ] || exit 1
echo "== hardening run passed"
