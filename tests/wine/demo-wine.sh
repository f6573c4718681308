#!/bin/sh
# usage: demo-wine.sh PATH-TO-quillex.exe
# The demonstration delivery of tests/servers/demo.sh with the Windows program
# under Wine, inside a private network namespace.
set -e
wine_dir=$(cd "$(dirname "$0")" && pwd)
exe=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
if [ -z "$QUILLEX_IN_NETNS" ]; then
    if [ "$(id -u)" = 0 ]; then ns="unshare -n"; else ns="unshare -rn"; fi
    QUILLEX_IN_NETNS=1 exec $ns sh -c 'ip link set lo up && exec "$0" "$@"' "$0" "$exe"
fi
. "$wine_dir/wine-session.sh"
status=0
"$wine_dir/../servers/demo.sh" "$bin" || status=$?
exit $status
