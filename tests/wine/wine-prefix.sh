#!/bin/sh
# usage: wine-prefix.sh init PREFIX | stop PREFIX
# "init" creates the private Wine prefix when missing and waits until its server
# has gone; "stop" ends any server still running for it.
set -e
command=$1
WINEPREFIX=$(mkdir -p "$2" && cd "$2" && pwd)
export WINEPREFIX WINEDEBUG=-all
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)

case "$command" in
init)
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        timeout 300 wineboot -i > /dev/null 2>&1 || { echo "wineboot failed" >&2; exit 1; }
    fi
    timeout 60 "$wineserver" -w
    ;;
stop)
    timeout 30 "$wineserver" -k 2> /dev/null || true
    ;;
*)
    echo "usage: $0 init|stop PREFIX" >&2
    exit 2
    ;;
esac
