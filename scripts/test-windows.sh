#!/bin/sh
# Installs what is missing (Debian 12, as root), cross-builds quillex.exe and
# the Windows unit tests with MinGW-w64 into build-win, and runs every test
# under Wine: the unit tests, then the end-to-end suite against the same real
# servers as the POSIX build.
set -e
. "$(dirname "$0")/as-root.sh"
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

scripts/install-windows-tools.sh

cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLEX_WERROR=ON
cmake --build build-win -j"$(nproc)"
ctest --test-dir build-win --output-on-failure
