#!/bin/sh
# The release build needs nothing at start-up, no loader and no shared library, and its output leaves
# in a few buffer-sized writes, never a write per line, to a file and to a pipe.
# Usage: release_checks.sh PROGRAM WORK_DIR STRACE READELF
set -eu
program=$1
work=$2
strace=$3
readelf=$4
mkdir -p "$work"
failed=0
most_writes=5

write_calls() {
    grep -c '^write' "$work/strace.txt" || true
}

"$strace" -qq -e trace=write,writev -o "$work/strace.txt" "$program" > "$work/out"
calls=$(write_calls)
[ "$calls" -ge 1 ] && [ "$calls" -le "$most_writes" ] || { echo "stdout a file: $calls write calls, not 1 to $most_writes"; failed=1; }

"$strace" -qq -e trace=write,writev -o "$work/strace.txt" "$program" | cat > "$work/out"
calls=$(write_calls)
[ "$calls" -ge 1 ] && [ "$calls" -le "$most_writes" ] || { echo "stdout a pipe: $calls write calls, not 1 to $most_writes"; failed=1; }

if "$readelf" -d "$program" | grep -q NEEDED; then
    echo "needs shared libraries:"
    "$readelf" -d "$program" | grep NEEDED
    failed=1
fi
if "$readelf" -l "$program" | grep -q INTERP; then
    echo "has a program interpreter:"
    "$readelf" -l "$program" | grep -A1 INTERP
    failed=1
fi
exit "$failed"
