#!/usr/bin/env bash
# Two builds of the same commit, in folders whose paths differ in length,
# with SOURCE_DATE_EPOCH at the commit's time, must give the same bytes:
# the Linux program and its packages, the Windows program, its codec, its
# .zip and its installer, and the page.
set -euo pipefail
cd "$(dirname "$0")/.."
export SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for folder in a "a-much-longer-folder-name/nested"; do
  git clone -q "$PWD" "$work/$folder"
  (cd "$work/$folder" &&
   for preset in native win32 wasm; do
     cmake --preset "$preset" -DQUORVEL_TESTS=OFF >/dev/null && cmake --build --preset "$preset" >/dev/null
   done &&
   (cd build && cpack >/dev/null) && (cd build-win32 && cpack >/dev/null))
done
cd "$work/a"
for built in build/quorvel build/packages/*.deb build-win32/quorvel.exe build-win32/quorvel-wic.dll \
             build-win32/packages/quorvel-*.zip build-win32/packages/quorvel-*.msi build-wasm/web/quorvel.html; do
  cmp "$built" "$work/a-much-longer-folder-name/nested/$built"
  echo "identical: $built ($(stat -c %s "$built") bytes)"
done
