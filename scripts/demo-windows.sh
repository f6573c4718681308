#!/bin/sh
# Installs what is missing (Debian 12, as root), cross-builds quillex.exe with
# MinGW-w64 and delivers the demonstration message with it under Wine to a
# capture server inside a private network namespace.
set -e
. "$(dirname "$0")/as-root.sh"
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
scripts/install-windows-tools.sh
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build-win -j"$(nproc)" --target quillex quillex_launch > /dev/null
exec tests/wine/demo-wine.sh build-win/quillex.exe
