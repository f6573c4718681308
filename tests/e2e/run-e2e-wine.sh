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
if [ -z "$QUILLEX_IN_NETNS" ]; then
    if [ "$(id -u)" = 0 ]; then ns="unshare -n"; else ns="unshare -rn"; fi
    QUILLEX_IN_NETNS=1 exec $ns sh -c 'ip link set lo up && exec "$0" "$@"' "$0" "$exe" "$@"
fi

build=$(dirname "$exe")
prefix=${QUILLEX_WINEPREFIX:-$build/wineprefix}
launcher=$build/tests/quillex_launch.exe
tool=$build/tests/quillex_mime_tool.exe
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
"$here/../wine/wine-prefix.sh" stop "$prefix"
"$here/../wine/wine-prefix.sh" init "$prefix"
prefix=$(cd "$prefix" && pwd)
export WINEPREFIX="$prefix" WINEDEBUG=-all

# The test's environment replaces the whole environment, so the stand-ins
# carry the prefix themselves; quillex-wine keeps argument 0.
bin=$build/quillex-wine
wine=$(command -v wine)
${CC:-cc} -O -Wall -o "$bin" "$here/../wine/quillex-wine.c" -DWINE="\"$wine\"" \
    -DLAUNCHER="\"$launcher\"" -DPROGRAM="\"Z:$exe\"" -DPREFIX="\"$prefix\""
if [ -f "$tool" ]; then
    cat > "$build/tests/quillex_mime_tool" <<WRAPPER
#!/bin/sh
WINEPREFIX='$prefix' WINEDEBUG=-all exec '$wine' '$tool' "\$@"
WRAPPER
    chmod +x "$build/tests/quillex_mime_tool"
fi

# One server for the whole run: starting one per program costs seconds.
"$wineserver" -p
trap '"$wineserver" -k 2> /dev/null || true' EXIT INT TERM
# The first program of a session starts Wine's own background processes;
# started here, they do not hold the pipes of a test open.
wine "$launcher" > /dev/null 2>&1 < /dev/null || true
export QUILLEX_BIN="$bin" QUILLEX_TARGET=windows QUILLEX_WINEPREFIX="$prefix"
cd "$here"
status=0
/usr/bin/python3 -m pytest -q -p no:cacheprovider "$@" . || status=$?
exit $status
