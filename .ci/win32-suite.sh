#!/bin/sh
# The 32-bit Windows program under wine, where 32-bit code runs (see
# cmake/run32.sh): the suite, the replays, and the program from the release
# zip converting the test card exactly as the native program does.
set -eu
started=$(date +%s)
/usr/lib/wine/wine wineboot --init >/dev/null 2>&1 || true
/usr/lib/wine/wineserver -w  # the prefix is complete once its server has ended
echo "wine prefix ready after $(($(date +%s) - started)) s"
ctest --preset win32 --output-log build-win32/ctest.log
# The codec's and the installer's cases must have run here, not been skipped.
if grep -E "suite\.(Codec|Installer) .*Skipped" build-win32/ctest.log; then exit 1; fi
unpacked=/tmp/quorvel-zip
mkdir -p "$unpacked"
(cd "$unpacked" && cmake -E tar xf "$OLDPWD"/build-win32/packages/quorvel-*-windows-i686.zip)
cp samples/testcard.rix "$unpacked/"
(cd "$unpacked" && /usr/lib/wine/wine quorvel.exe testcard.rix) | tee "$unpacked/out.txt"
printf 'File created : testcard.bmp\r\n' | cmp - "$unpacked/out.txt"
cmp "$unpacked/testcard.bmp" build/testcard-native.bmp
echo "zipped quorvel.exe converted the test card exactly; 32-bit leg took $(($(date +%s) - started)) s"
