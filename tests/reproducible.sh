#!/bin/bash
# Builds the tool and packs the release from two clean copies of the tracked
# sources, in two different folders: the same exe as the main build and the
# same zip from both. Then reads the release as a Windows user gets it.
set -euo pipefail
export LC_ALL=C.UTF-8
src=$1 reference=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "release: $*"
    exit 1
}
for copy in first/nested second; do
    mkdir -p "$work/$copy"
    git -C "$src" ls-files -z --cached --others --exclude-standard |
        (cd "$src" && xargs -0 cp --parents -t "$work/$copy")
    cmake -S "$work/$copy" -B "$work/$copy/out" -DCMAKE_TOOLCHAIN_FILE="$work/$copy/cmake/mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DBRISVANE_TESTS=OFF >/dev/null
    cmake --build "$work/$copy/out" --target brisvane -j2 >/dev/null
    python3 "$work/$copy/tools/pack_release.py" "$work/$copy" "$work/$copy/out/brisvane.exe" "$work/$copy/dist" >/dev/null
done
sha256sum "$reference" "$work/first/nested/out/brisvane.exe" "$work/second/out/brisvane.exe"
cmp "$reference" "$work/first/nested/out/brisvane.exe"
cmp "$reference" "$work/second/out/brisvane.exe"
echo "reproducible: the same exe from three folders"

dist=$work/first/nested/dist
zip=$(ls "$dist"/brisvane-*.zip)
cmp "$zip" "$work/second/dist/${zip##*/}"
echo "reproducible: the same ${zip##*/} from two folders"

[ "$(unzip -Z1 "$zip" | sort | tr '\n' ' ')" = "brisvane.exe 使用说明.txt " ] ||
    fail "the zip holds $(unzip -Z1 "$zip" | tr '\n' ' '), not brisvane.exe and 使用说明.txt"
unzip -p "$zip" brisvane.exe | cmp - "$reference" || fail "the zip's brisvane.exe is not build/brisvane.exe"
unzip -p "$zip" 使用说明.txt >"$work/guide.txt"
guide=$work/guide.txt
[ "$(head -c 3 "$guide" | od -An -tx1 | tr -d ' ')" = efbbbf ] || fail "the guide has no UTF-8 byte-order mark"
[ "$(grep -c $'\r$' "$guide")" = "$(wc -l <"$guide")" ] && [ "$(tail -c 2 "$guide" | od -An -tx1 | tr -d ' ')" = 0d0a ] ||
    fail "the guide's lines do not all end in CRLF"
iconv -f UTF-8 -t UTF-16 "$guide" >/dev/null || fail "the guide is not UTF-8"
sum=$(sha256sum "$reference" | cut -d' ' -f1)
grep -q "$sum" "$guide" || fail "the guide does not name SHA-256 $sum"
grep -q "版本 $(cut -d' ' -f1 "$src/VERSION")" "$guide" || fail "the guide does not give the version"
unzip -q "$zip" brisvane.exe -d "$dist"
(cd "$dist" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match"
echo "release: ${zip##*/} holds build/brisvane.exe and the guide (BOM, CRLF, SHA-256 $sum)"
