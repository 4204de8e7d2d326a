#!/bin/bash
# Both READMEs tell Windows users which files to trust: each exe's SHA-256
# and size, on one line, must be those this build produced.
set -euo pipefail
src=$1 build=$2
status=0
# A README, then the lines it must hold.
check() {
    local file=$1 line
    shift
    for line in "$@"; do
        grep -qF -- "$line" "$src/$file" || { echo "$file does not say: $line"; status=1; }
    done
}
for exe in brisvane.exe brisvane-backup.exe; do
    sum=$(sha256sum "$build/$exe" | cut -d' ' -f1)
    size=$(stat -c %s "$build/$exe" | sed ':a;s/\B[0-9]\{3\}\>/,&/;ta')
    check README.md "- \`$exe\`: $size bytes, SHA-256 \`$sum\`"
    check README.zh-CN.md "- \`$exe\`：$size 字节，SHA-256：\`$sum\`"
    [ $status = 0 ] && echo "README.md and README.zh-CN.md name build/$exe: $size bytes, $sum"
done
exit $status
