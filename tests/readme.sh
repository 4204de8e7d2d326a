#!/bin/bash
# The README tells Windows users which file to trust: its SHA-256 and size
# must be those of the executable this build produced.
set -euo pipefail
readme=$1 exe=$2
sum=$(sha256sum "$exe" | cut -d' ' -f1)
size=$(stat -c %s "$exe" | sed ':a;s/\B[0-9]\{3\}\>/,&/;ta')
status=0
grep -q "SHA-256: \`$sum\`" "$readme" || { echo "README does not give SHA-256 $sum"; status=1; }
grep -q "size: $size bytes" "$readme" || { echo "README does not give the size, $size bytes"; status=1; }
[ $status = 0 ] && echo "README names build/brisvane.exe: $size bytes, $sum"
exit $status
