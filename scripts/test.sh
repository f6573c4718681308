#!/bin/sh
# Installs what is missing (Debian 12, as root), builds, and runs every test.
set -e
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

tests/servers/install-test-servers.sh > /tmp/quillex-install.log 2>&1 ||
    { cat /tmp/quillex-install.log; exit 1; }

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure

# Sanitizers, valgrind and fuzzing (QUILLEX_HARDENING=0 leaves them out).
[ "${QUILLEX_HARDENING:-1}" = 0 ] || scripts/test-hardening.sh
