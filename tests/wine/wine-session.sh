# Sourced by the Wine runners with $exe (absolute quillex.exe) and $wine_dir:
# prepares the prefix, builds the stand-in $bin and starts one Wine server.
build=$(dirname "$exe")
prefix=${QUILLEX_WINEPREFIX:-$build/wineprefix}
launcher=$build/tests/quillex_launch.exe
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
"$wine_dir/wine-prefix.sh" stop "$prefix"
"$wine_dir/wine-prefix.sh" init "$prefix"
prefix=$(cd "$prefix" && pwd)
export WINEPREFIX="$prefix" WINEDEBUG=-all

# A test's environment replaces the whole one: the stand-in carries the prefix.
bin=$build/quillex-wine
wine=$(command -v wine)
${CC:-cc} -O -Wall -o "$bin" "$wine_dir/quillex-wine.c" -DWINE="\"$wine\"" \
    -DLAUNCHER="\"$launcher\"" -DPROGRAM="\"Z:$exe\"" -DPREFIX="\"$prefix\""

# One server for the whole run: starting one per program costs seconds.
"$wineserver" -p
trap '"$wineserver" -k 2> /dev/null || true' EXIT INT TERM
# The first program of a session starts Wine's own background processes;
# started here, they do not hold the pipes of a test open.
wine "$launcher" > /dev/null 2>&1 < /dev/null || true
