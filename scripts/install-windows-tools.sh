#!/bin/sh
# Installs what the Windows build and its tests need (Debian 12, as root):
# the test servers, MinGW-w64, Wine and the GoogleTest sources.
set -e
cd "$(dirname "$0")/.."
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
