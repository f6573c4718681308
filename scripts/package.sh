#!/bin/sh
# usage: scripts/package.sh [POSIX-BUILD-DIR [WINDOWS-BUILD-DIR]]   (default: build build-win)
# Builds the .deb from the POSIX build and the zip from the MinGW build with
# CPack, checks them, and checks the C++ formatting:
# - lintian reports no error on the .deb;
# - the .deb unpacked into a throwaway root holds the program, the manual page
#   and the documents, and its quillex -h prints the usage;
# - the zip holds quillex.exe, README.txt with CR LF line ends, the example
#   settings file and the changelog, and nothing else.
# The build directories are reused when they exist (scripts/test.sh made them).
set -e
. "$(dirname "$0")/as-root.sh"
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
posix=${1:-build}
windows=${2:-build-win}

missing=""
for p in lintian groff-base dpkg-dev file zip unzip clang-format-14 g++-mingw-w64-x86-64; do
    dpkg -s "$p" >/dev/null 2>&1 || missing="$missing $p"
done
if [ -n "$missing" ]; then
    apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q $missing >/dev/null
fi

work=$(mktemp -d /tmp/quillex-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
failed=0
fail() {
    echo "package: $*" >&2
    failed=1
}

echo "== .deb ($posix)"
[ -f "$posix/CMakeCache.txt" ] || cmake -S . -B "$posix" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$posix" -j"$(nproc)" --target quillex >/dev/null
(cd "$posix" && cpack -G DEB >"$work/cpack-deb.log" 2>&1) || { cat "$work/cpack-deb.log"; exit 1; }
deb=$(ls "$posix"/quillex_*.deb)
dpkg-deb --info "$deb" | sed -n 's/^ \(Package\|Version\|Depends\|Section\):/  &/p'
# Errors fail; warnings are shown.
lintian --fail-on error --tag-display-limit 0 "$deb" || fail "lintian found errors in $deb"
dpkg-deb -x "$deb" "$work/root"
for f in usr/bin/quillex usr/share/man/man1/quillex.1.gz usr/share/doc/quillex/README.md \
    usr/share/doc/quillex/CHANGELOG.md usr/share/doc/quillex/Quillex.ini.example \
    usr/share/doc/quillex/copyright; do
    [ -f "$work/root/$f" ] || fail "$f missing from $deb"
done
[ "$(readlink "$work/root/usr/share/quillex/sendmail")" = ../../bin/quillex ] ||
    fail "usr/share/quillex/sendmail is not a link to the program in $deb"
# -h prints the usage on standard error and ends with 255.
status=0
"$work/root/usr/bin/quillex" -h 2>"$work/usage" || status=$?
[ "$status" = 255 ] || fail "quillex -h from the .deb exited with $status"
grep -q '^Usage: quillex \[options\]' "$work/usage" || fail "quillex -h from the .deb printed no usage"
man -l "$work/root/usr/share/man/man1/quillex.1.gz" 2>&1 >/dev/null | grep . &&
    fail "man -l reports problems with the installed page"
echo "  installed and ran: $(head -n 1 "$work/usage")"

echo "== zip ($windows)"
if [ ! -f "$windows/CMakeCache.txt" ]; then
    cmake -S . -B "$windows" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLEX_TESTS=OFF >/dev/null
fi
cmake --build "$windows" -j"$(nproc)" --target quillex >/dev/null
(cd "$windows" && cpack -G ZIP >"$work/cpack-zip.log" 2>&1) || { cat "$work/cpack-zip.log"; exit 1; }
zip=$(ls "$windows"/quillex-*-win64.zip)
unzip -Z1 "$zip" | sort >"$work/listing"
printf '%s\n' CHANGELOG.md Quillex.ini.example README.txt quillex.exe | sort >"$work/expected"
diff "$work/expected" "$work/listing" || fail "the zip holds other files than expected"
unzip -p "$zip" README.txt >"$work/README.txt"
# Every line ends in CR LF: no LF without a CR before it.
if tr -d '\r' <"$work/README.txt" | cmp -s - "$work/README.txt" ||
    [ "$(grep -c "$(printf '\r')\$" "$work/README.txt")" != "$(wc -l <"$work/README.txt")" ]; then
    fail "README.txt in the zip does not end its lines with CR LF"
fi
unzip -l "$zip" | sed 's/^/  /'

echo "== format"
scripts/check-format.sh || failed=1

[ "$failed" = 0 ] && echo "== packages passed: $deb $zip"
exit "$failed"
