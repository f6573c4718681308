#!/bin/sh
# usage: run-e2e.sh PATH-TO-QUILLEX [pytest arguments]
# Runs the end-to-end suite inside a private network namespace, so that the
# test servers get the fixed ports 25 and 119 and nothing leaves the machine.
set -e
here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
shift
. "$here/../servers/private-network.sh"
in_private_network "$0" "$bin" "$@"
export QUILLEX_BIN="$bin"
cd "$here"
exec /usr/bin/python3 -m pytest -q -p no:cacheprovider "$@" .
