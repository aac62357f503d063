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

# Fails unless the last trace holds 1 to most_writes write calls.
check_write_calls() {  # WHAT
    calls=$(grep -c '^write' "$work/strace.txt" || true)
    if [ "$calls" -lt 1 ] || [ "$calls" -gt "$most_writes" ]; then
        echo "$1: $calls write calls, not 1 to $most_writes"
        failed=1
    fi
}

"$strace" -qq -e trace=write,writev -o "$work/strace.txt" "$program" > "$work/out"
check_write_calls "stdout a file"
"$strace" -qq -e trace=write,writev -o "$work/strace.txt" "$program" | cat > "$work/out"
check_write_calls "stdout a pipe"

# Plain sh has no pipefail: readelf's output is kept first, so that its own failure fails the check.
dynamic=$("$readelf" -d "$program") || { echo "readelf -d failed"; exit 1; }
segments=$("$readelf" -l "$program") || { echo "readelf -l failed"; exit 1; }
if echo "$dynamic" | grep -q NEEDED; then
    echo "needs shared libraries:"
    echo "$dynamic" | grep NEEDED
    failed=1
fi
if echo "$segments" | grep -q INTERP; then
    echo "has a program interpreter:"
    echo "$segments" | grep -A1 INTERP
    failed=1
fi
exit "$failed"
