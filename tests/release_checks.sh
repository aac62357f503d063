#!/bin/sh
# The release build writes its whole output in one write call, to a file and to a pipe,
# and is linked statically: no shared library to load at start-up.
# Usage: release_checks.sh PROGRAM WORK_DIR STRACE
set -eu
program=$1
work=$2
strace=$3
mkdir -p "$work"
failed=0

write_calls() {
    grep -c '^write(' "$work/strace.txt" || true
}

"$strace" -qq -e trace=write -o "$work/strace.txt" "$program" > "$work/out"
calls=$(write_calls)
[ "$calls" = 1 ] || { echo "stdout a file: $calls write calls, not 1"; failed=1; }

"$strace" -qq -e trace=write -o "$work/strace.txt" "$program" | cat > "$work/out"
calls=$(write_calls)
[ "$calls" = 1 ] || { echo "stdout a pipe: $calls write calls, not 1"; failed=1; }

if readelf -d "$program" | grep -q NEEDED; then
    echo "needs shared libraries:"
    readelf -d "$program" | grep NEEDED
    failed=1
fi
exit "$failed"
