#!/bin/sh
# usage: run-e2e-wine.sh PATH-TO-quillex.exe [pytest arguments]
# Runs the end-to-end suite against the Windows program under Wine, inside a
# private network namespace like run-e2e.sh. The Wine prefix is the one of
# the build tree (QUILLEX_WINEPREFIX, default: wineprefix beside the program);
# its server is started inside the namespace, so that the program's sockets
# live there too, and is ended when the suite ends.
set -e
here=$(cd "$(dirname "$0")" && pwd)
exe=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
shift
. "$here/../servers/private-network.sh"
in_private_network "$0" "$exe" "$@"

wine_dir=$(cd "$here/../wine" && pwd)
. "$wine_dir/wine-session.sh"
export QUILLEX_BIN="$bin" QUILLEX_TARGET=windows QUILLEX_WINEPREFIX="$prefix"
cd "$here"
# Wine now and then loses a program start (a wrong status and no output at
# all, on a different test each time): the failed tests run once more, alone.
cache=$(mktemp -d)
status=0
/usr/bin/python3 -m pytest -q -o cache_dir="$cache" "$@" . || status=$?
if [ "$status" = 1 ]; then
    echo "run-e2e-wine: the failed tests once more"
    status=0
    /usr/bin/python3 -m pytest -q -o cache_dir="$cache" --lf "$@" . || status=$?
fi
rm -rf "$cache"
exit $status
