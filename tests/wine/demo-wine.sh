#!/bin/sh
# usage: demo-wine.sh PATH-TO-quillex.exe
# The delivery of tests/servers/demo.sh with the Windows program under Wine.
set -e
wine_dir=$(cd "$(dirname "$0")" && pwd)
exe=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
. "$wine_dir/../servers/private-network.sh"
in_private_network "$0" "$exe"
. "$wine_dir/wine-session.sh"
status=0
"$wine_dir/../servers/demo.sh" "$bin" || status=$?
exit $status
