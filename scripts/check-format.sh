#!/bin/sh
# Fails when a C or C++ file under src/, tests/, fuzz/ or bench/ differs from
# what clang-format makes of it with the repository's .clang-format; names
# each such file. With --fix, formats them in place instead.
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top" || exit 1
format=$(command -v clang-format-14 || command -v clang-format) || {
    echo "check-format: clang-format is needed (apt-get install clang-format-14)" >&2
    exit 1
}
files=$(git ls-files -- 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' 'tests/*.c' \
    'fuzz/*.cpp' 'fuzz/*.h' 'bench/*.cpp' 'bench/*.h') && [ -n "$files" ] || {
    echo "check-format: no C++ files found: run it in the git work tree" >&2
    exit 1
}
if [ "$1" = "--fix" ]; then
    echo "$files" | xargs "$format" -i
    exit
fi
unformatted=0
for f in $files; do
    if ! "$format" --dry-run --Werror "$f" >/dev/null 2>&1; then
        echo "check-format: $f is not formatted (scripts/check-format.sh --fix)" >&2
        unformatted=$((unformatted + 1))
    fi
done
[ "$unformatted" = 0 ] && echo "check-format: all files formatted" && exit 0
echo "check-format: $unformatted files not formatted" >&2
exit 1
