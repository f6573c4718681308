#!/bin/sh
# Installs what is missing (Debian 12, as root), builds, and delivers a
# demonstration message to a capture server on 127.0.0.1:25 inside a private
# network namespace; prints what the server received.
set -e
. "$(dirname "$0")/as-root.sh"
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

tests/servers/install-test-servers.sh > /tmp/quillex-install.log 2>&1 ||
    { cat /tmp/quillex-install.log; exit 1; }

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build -j"$(nproc)" > /dev/null
exec tests/servers/demo.sh build/quillex
