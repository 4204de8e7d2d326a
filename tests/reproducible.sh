#!/bin/bash
# tools/release in two copies of the working tree in two folders, without
# ccache, which would hand one folder's objects to the other: the main
# build's exes in both zips, the same zip from both. Then the release as a
# Windows user gets it.
set -euo pipefail
export LC_ALL=C.UTF-8
src=$1 build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "release: $*"; exit 1; }
exes="brisvane.exe brisvane-backup.exe brisvane-path.exe"
for copy in first/nested second; do
    mkdir -p "$work/$copy"
    git -C "$src" ls-files -z --cached --others --exclude-standard |
        (cd "$src" && xargs -0 cp --parents -t "$work/$copy")
    CCACHE_DISABLE=1 "$work/$copy/tools/release" >/dev/null
    zip=$(ls "$work/$copy"/dist/brisvane-*.zip)
    for exe in $exes; do unzip -p "$zip" "$exe" | cmp - "$build/$exe" || fail "$copy's zip's $exe is not build/$exe"; done
done
cmp "$work/first/nested/dist/${zip##*/}" "$zip" || fail "the two folders' ${zip##*/} differ"
echo "reproducible: the same exes from three folders, the same ${zip##*/} from two"
[ "$(unzip -Z1 "$zip" | tr '\n' ' ')" = "$exes 使用说明.txt " ] ||
    fail "the zip holds $(unzip -Z1 "$zip" | tr '\n' ' '), not $exes 使用说明.txt"
guide=$work/guide.txt && unzip -p "$zip" 使用说明.txt >"$guide"
[ "$(head -c 3 "$guide" | od -An -tx1 | tr -d ' ')" = efbbbf ] || fail "the guide has no UTF-8 byte-order mark"
! grep -qv $'\r$' "$guide" && tail -c 2 "$guide" | cmp -s - <(printf '\r\n') || fail "the guide's lines do not all end in CRLF"
iconv -f UTF-8 -t UTF-16 "$guide" >/dev/null || fail "the guide is not UTF-8"
# Notepad's columns in a Chinese font, counted apart from pack_release's own
# count, which they check; no ASCII word broken (list numbers, code and a long
# key path's rest aside); the steps end with brisvane-path.exe.
python3 - "$guide" <<'EOF' || fail "the guide does not read right in Notepad (lines above): rewrap it in tools/pack_release.py or reword README.zh-CN.md"
import re, sys, unicodedata
lines = open(sys.argv[1], encoding="utf-8-sig").read().splitlines()
cols = lambda s: sum(2 if unicodedata.east_asian_width(c) in "WF" or c in "“”‘’…→—" else 1 for c in s)
bad = [f"line {n} is {cols(a)} columns wide: {a}" for n, a in enumerate(lines, 1) if cols(a) > 72]
bad += [f"lines {n}-{n + 1} break an ASCII word: {a} / {b}" for n, (a, b) in enumerate(zip(lines, lines[1:]), 1)
        if re.search(r"[A-Za-z0-9]$", a) and re.match(r" {0,3}[A-Za-z0-9](?!\d*\. )", b)]
heads = [n for n, b in enumerate(lines[1:]) if re.fullmatch(r"-+", b)]
start = lines.index("使用步骤") + 2
steps = lines[start:min([n for n in heads if n > start] + [len(lines)])]
last = "".join(l.strip() for l in steps[max(i for i, l in enumerate(steps) if re.match(r"\d+\. ", l)):])
if "「brisvane-path.exe」" not in last:
    bad.append("the last of the steps does not run brisvane-path.exe: " + last)
sys.exit("\n".join(bad) or None)
EOF
grep -q "版本 $(cut -d' ' -f1 "$src/VERSION")" "$guide" || fail "the guide does not give the version"
# What a user must know before either program runs, on the first screen.
top=$(head -30 "$guide" | tr -d '\r\n ')
for say in "【注意】您个人的「path」环境变量会被整个删除" "先运行「brisvane-backup.exe」" "以管理员身份运行" "两个程序用同一种方式启动"; do
    [[ $top == *"$say"* ]] || fail "the guide's first 30 lines do not say: $say"
done
cd "${zip%/*}" && unzip -q "$zip" $exes
[ "$(wc -l <SHA256SUMS)" = 4 ] && sha256sum --quiet -c SHA256SUMS ||
    fail "SHA256SUMS does not hold the zip and the three exes, or does not match"
echo "release: ${zip##*/} holds build/$exes and the guide (BOM, CRLF, wrapped for Notepad)"
