#!/bin/sh
# usage: bench/run.sh [options of bench.py, e.g. --runs 7 --sizes 1,64]
# Builds a release binary in build-bench/, installs the peers from Debian's
# packages when they are missing, then runs every benchmark inside a private
# network namespace and prints the Markdown report. Needs root (apt-get, unshare).
set -e
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build=${QUILLEX_BENCH_BUILD:-$root/build-bench}

if [ -z "$QUILLEX_BENCH_IN_NETNS" ]; then
    . "$root/scripts/as-root.sh"
    missing=""
    for pkg in s-nail msmtp curl swaks socat strace openssl libssl-dev libidn2-dev libcurl4-openssl-dev \
        nlohmann-json3-dev pkg-config libbenchmark-dev cmake g++ iproute2 python3; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed" || missing="$missing $pkg"
    done
    if [ -n "$missing" ]; then
        echo "installing:$missing" >&2
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing >/dev/null
    fi
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUILLEX_BENCH=ON -DQUILLEX_TESTS=OFF >/dev/null
    cmake --build "$build" -j2 >&2
    QUILLEX_BENCH_IN_NETNS=1 exec unshare -n sh -c 'ip link set lo up && exec "$0" "$@"' "$0" "$@"
fi
exec /usr/bin/python3 "$here/bench.py" --build "$build" "$@"
