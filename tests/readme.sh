#!/bin/bash
# Both READMEs tell Windows users which file to trust: its SHA-256 and size
# must be those of the executable this build produced.
set -euo pipefail
src=$1 exe=$2
sum=$(sha256sum "$exe" | cut -d' ' -f1)
size=$(stat -c %s "$exe" | sed ':a;s/\B[0-9]\{3\}\>/,&/;ta')
status=0
# A README, then the lines it must hold.
check() {
    local file=$1 line
    shift
    for line in "$@"; do
        grep -qF -- "$line" "$src/$file" || { echo "$file does not say: $line"; status=1; }
    done
}
check README.md "SHA-256: \`$sum\`" "size: $size bytes"
check README.zh-CN.md "SHA-256：\`$sum\`" "大小：$size 字节"
[ $status = 0 ] && echo "README.md and README.zh-CN.md name build/brisvane.exe: $size bytes, $sum"
exit $status
