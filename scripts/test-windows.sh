#!/bin/sh
# Installs what is missing (Debian 12, as root), cross-builds quillex.exe and
# the Windows unit tests with MinGW-w64 into build-win, and runs every test
# under Wine: the unit tests, then the end-to-end suite against the same real
# servers as the POSIX build.
set -e
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

tests/servers/install-test-servers.sh > /tmp/quillex-install.log 2>&1 ||
    { cat /tmp/quillex-install.log; exit 1; }
missing=
for package in g++-mingw-w64-x86-64 wine64 wine googletest; do
    dpkg -s "$package" > /dev/null 2>&1 || missing="$missing $package"
done
if [ -n "$missing" ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -q $missing > /tmp/quillex-install-windows.log 2>&1 ||
        { cat /tmp/quillex-install-windows.log; exit 1; }
fi

cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build-win -j"$(nproc)"
ctest --test-dir build-win --output-on-failure
