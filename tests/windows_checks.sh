#!/bin/sh
# The Windows program prints through the C runtime's own printf, imported from msvcrt.dll, and its
# output leaves from msvcrt's stream buffer at exit, to a file and to a pipe: at most 2 writes carry
# the sentence, never a write per line. The writes are those of Wine's Unix process, which loads the
# program in place, or of the one it starts for it (Debian 13's 32-bit Wine under qemu-i386), and their
# threads: all of them are followed, and nothing else, since the session's server and services run
# already. Only the writes stop them (--seccomp-bpf), not Wine's many other calls.
# Usage: windows_checks.sh PROGRAM WORK_DIR OBJDUMP STRACE WINE_COMMAND...
set -eu
program=$1
work=$2
objdump=$3
strace=$4
shift 4
mkdir -p "$work"
failed=0
most_writes=2

# Each DLL's block in the headers: its name, a column heading, then a line per import that begins
# with its address and ends with its name (binutils 2.40 puts the hint between; 2.44 the ordinal too).
"$objdump" -p "$program" | awk '/DLL Name:/ { dll = tolower($3); next } /^[[:space:]]*$/ { dll = "" }
                                 dll == "msvcrt.dll" && $1 ~ /^[0-9a-f]+$/ && NF >= 3 { print $NF }' \
    > "$work/msvcrt_imports.txt"
if ! grep -qx printf "$work/msvcrt_imports.txt"; then
    echo "does not import printf from msvcrt.dll; its imports from there: $(tr "\n" " " < "$work/msvcrt_imports.txt")"
    failed=1
fi

# Whole buffers in the trace, so that each write that carries the sentence shows it.
check_writes() {  # WHAT
    calls=$(grep -c -E '^[0-9]+ +write\(.*Este sistema operativo si que es inutil' "$work/strace.txt") || calls=0
    if [ "$calls" -lt 1 ] || [ "$calls" -gt "$most_writes" ]; then
        echo "stdout $1: $calls write calls carry the sentence, not 1 to $most_writes"
        failed=1
    fi
}

"$strace" -f --seccomp-bpf -qq -e trace=write -s 8192 -o "$work/strace.txt" "$@" "$program" > "$work/out" ||
    echo "stdout a file: exit status $?"
check_writes "a file"
"$strace" -f --seccomp-bpf -qq -e trace=write -s 8192 -o "$work/strace.txt" "$@" "$program" | cat > "$work/out"
check_writes "a pipe"
exit "$failed"
