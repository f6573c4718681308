#!/bin/sh
# Installs what is missing (Debian 12, as root), builds, and runs every test:
# the POSIX build (unit and end-to-end tests against real servers), the
# hardening run (sanitizers, valgrind, fuzzing), the Windows build under Wine,
# and the packages (.deb, Windows zip) with the format check.
# Every suite runs even when an earlier one failed; the exit status is non-zero
# when any failed.
. "$(dirname "$0")/as-root.sh"
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top" || exit 1

posix() {
    tests/servers/install-test-servers.sh > /tmp/quillex-install.log 2>&1 ||
        { cat /tmp/quillex-install.log; return 1; }
    # groff checks the manual page.
    dpkg -s groff-base >/dev/null 2>&1 || apt-get install -y -q groff-base >/dev/null || return 1
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLEX_WERROR=ON &&
        cmake --build build -j"$(nproc)" &&
        ctest --test-dir build --output-on-failure
}

passed=0
failed=0
failures=""
suite() {
    echo
    echo "===== $1"
    if "$2"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        failures="$failures $1"
    fi
}
hardening() { QUILLEX_PLAIN_BUILD=build scripts/test-hardening.sh; }
windows() { scripts/test-windows.sh; }
packages() { scripts/package.sh build build-win; }

suite posix posix
suite hardening hardening
suite windows windows
suite packages packages

echo
[ -n "$failures" ] && echo "failed suites:$failures"
echo "suites: $passed passed, $failed failed"
[ "$failed" = 0 ]
