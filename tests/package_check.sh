#!/usr/bin/env bash
# Makes the release packages from their presets and checks them as a user
# gets them: the .deb unpacked into a scratch root runs the example, and the
# zip holds the README, the example and a stripped tarvix.exe whose version
# resource and manifest Windows (here wine) reads. Needs wine and mingw-w64.
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(tarvix VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
fail() { echo "package check: $*" >&2; exit 1; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

rm -rf build/packages  # a package left from an earlier run proves nothing
cmake --workflow --preset package >/dev/null
deb=build/packages/tarvix_${version}_amd64.deb
dpkg-deb -f "$deb" Depends | grep -q 'libc6 (>=' || fail "the .deb lists no library dependencies"
dpkg-deb -x "$deb" "$tmp/root"
doc=$tmp/root/usr/share/doc/tarvix
[ -f "$doc/README.md" ] || fail "the .deb has no README"
cp "$doc/examples/square.gcode" "$tmp/print.gcode"
echo 200 | "$tmp/root/usr/bin/tarvix" "$tmp/print.gcode" >"$tmp/console" || fail "the .deb's tarvix failed"
[ "$(head -n 1 "$tmp/console")" = "Tarvix Version $version" ] || fail "banner: $(head -n 1 "$tmp/console")"
grep -q '^M106 S200' "$tmp/print.gcode_tormel.gcode" || fail "the .deb's tarvix added no fan lines"
tar -tzf "build/packages/tarvix-$version-Linux.tar.gz" | grep -q '/bin/tarvix$' || fail "no tarvix in the .tar.gz"

cmake --workflow --preset package-windows >/dev/null
python3 -m zipfile -e "build/packages/tarvix-$version-win64.zip" "$tmp"
zip=$tmp/tarvix-$version-win64
for file in tarvix.exe README.md examples/square.gcode; do
  [ -f "$zip/$file" ] || fail "the zip has no $file"
done
exe=$zip/tarvix.exe
[[ $(x86_64-w64-mingw32-nm "$exe" 2>&1) == *"no symbols" ]] || fail "tarvix.exe keeps its symbols"
x86_64-w64-mingw32-windres -i "$exe" -O rc >"$tmp/resources.rc"
for value in "\"FileVersion\", \"$version\"" "\"ProductVersion\", \"$version\"" '"ProductName", "Tarvix"' \
  '"FileDescription", "' '<longPathAware[^>]*>true<' '<activeCodePage[^>]*>UTF-8<'; do
  grep -q "$value" "$tmp/resources.rc" || fail "tarvix.exe's resources lack $value"
done

# What Windows itself reads: the file version, and a path past 260 characters.
export WINEPREFIX=$PWD/build/windows/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
echo 'WScript.Echo(new ActiveXObject("Scripting.FileSystemObject").GetFileVersion(WScript.Arguments(0)))' >"$tmp/v.js"
shown=$(wine cscript //nologo "Z:${tmp//\//\\}\\v.js" "Z:${exe//\//\\}" | tr -d '\r')
[ "$shown" = "$(echo "$version.0.0.0" | cut -d. -f1-4)" ] || fail "Windows reads file version '$shown'"
deep=$tmp$(printf '/%060d' 1 2 3 4 5)
mkdir -p "$deep" && cp "$zip/examples/square.gcode" "$deep/print.gcode"
echo 200 | wine "$exe" "Z:${deep//\//\\}\\print.gcode" >/dev/null || fail "a path past 260 characters failed"
[ -s "$deep/print.gcode_tormel.gcode" ] || fail "no copy beside a path past 260 characters"
echo "package check: .deb, .tar.gz and .zip of tarvix $version passed"
