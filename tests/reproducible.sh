#!/bin/bash
# Builds the tool from two clean copies of the tracked sources, in two
# different folders, and requires the same bytes as the main build.
set -euo pipefail
src=$1 reference=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for copy in first/nested second; do
    mkdir -p "$work/$copy"
    git -C "$src" ls-files -z --cached --others --exclude-standard |
        (cd "$src" && xargs -0 cp --parents -t "$work/$copy")
    cmake -S "$work/$copy" -B "$work/$copy/out" -DCMAKE_TOOLCHAIN_FILE="$work/$copy/cmake/mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DBRISVANE_TESTS=OFF >/dev/null
    cmake --build "$work/$copy/out" --target brisvane -j2 >/dev/null
done
sha256sum "$reference" "$work/first/nested/out/brisvane.exe" "$work/second/out/brisvane.exe"
cmp "$reference" "$work/first/nested/out/brisvane.exe"
cmp "$reference" "$work/second/out/brisvane.exe"
echo "reproducible: the same bytes from three folders"
