# Sourced by the Wine runners, inside the private network namespace, with
# $exe set to the absolute path of quillex.exe and $wine_dir to this folder. Prepares the build tree's Wine
# prefix, builds the native stand-in $bin that runs the program under Wine
# keeping argument 0, and starts one Wine server for the session, ended on exit.
build=$(dirname "$exe")
prefix=${QUILLEX_WINEPREFIX:-$build/wineprefix}
launcher=$build/tests/quillex_launch.exe
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
"$wine_dir/wine-prefix.sh" stop "$prefix"
"$wine_dir/wine-prefix.sh" init "$prefix"
prefix=$(cd "$prefix" && pwd)
export WINEPREFIX="$prefix" WINEDEBUG=-all

# The test's environment replaces the whole environment, so the stand-ins
# carry the prefix themselves; quillex-wine keeps argument 0.
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
