#!/bin/sh
# The release program needs nothing at start-up, no loader and no shared library. Whatever its standard
# output is, and however its writes fail, it makes the same few system calls, so that a sandbox's list
# of allowed calls, recorded in one setting, holds in every other. To a file and to a pipe its output leaves in a few buffer-sized
# writes, never a write per line.
# Usage: release_checks.sh PROGRAM WORK_DIR STRACE READELF SCRIPT PERL
set -eu
program=$1
work=$2
strace=$3
readelf=$4
script=$5
perl=$6
mkdir -p "$work"
failed=0
# musl's start-up, the write signals ignored, stdio's one look at whether the output is a terminal (an
# ioctl is named with its request), its writes and the exit: sorted, as they are compared.
pinned_calls="arch_prctl exit_group ioctl(TIOCGWINSZ) rt_sigaction set_tid_address writev"
most_writes=5

# Traces the program, with standard output as the caller left it, into trace-KIND.txt.
traced() {  # KIND
    "$strace" -qq -o "$work/trace-$1.txt" "$program"
}

# Fails unless the trace of KIND holds the pinned calls and no other, the exec that starts it aside.
check_calls() {  # KIND
    calls=$(sed -n -e 's/^ioctl([^,]*, \([A-Z0-9_]*\).*/ioctl(\1)/p' -e t -e 's/^\([a-z0-9_]*\)(.*/\1/p' \
        "$work/trace-$1.txt" 2>/dev/null | grep -vx execve | sort -u | tr '\n' ' ')
    if [ "$calls" != "$pinned_calls " ]; then
        echo "stdout $1: the calls are '$calls', not the pinned '$pinned_calls'"
        failed=1
    fi
}

# Fails unless the trace of KIND holds 1 to most_writes write calls.
check_write_calls() {  # KIND
    calls=$(grep -cE '^writev?\(' "$work/trace-$1.txt" || true)
    if [ "$calls" -lt 1 ] || [ "$calls" -gt "$most_writes" ]; then
        echo "stdout $1: $calls write calls, not 1 to $most_writes"
        failed=1
    fi
}

traced file > "$work/out"
traced null > /dev/null
traced full > /dev/full
traced pipe | cat > /dev/null
# A non-blocking pipe with room, and one that is full, whose only reader is the program's own standard
# input: every write fails with EAGAIN.
# shellcheck disable=SC2016 # Perl's own variables
"$perl" -MFcntl -e 'fcntl(STDOUT, F_SETFL, O_NONBLOCK) or die "fcntl: $!\n"; exec @ARGV or die "exec: $!\n"' \
    "$strace" -qq -o "$work/trace-non-blocking-pipe.txt" "$program" | cat > /dev/null
# shellcheck disable=SC2016 # Perl's own variables
"$perl" -MFcntl -e 'pipe(my $r, my $w) or die "pipe: $!\n"; fcntl($w, F_SETFL, O_NONBLOCK) or die "fcntl: $!\n";
    1 while defined syswrite($w, "x" x 4096); $!{EAGAIN} or die "the pipe did not fill: $!\n";
    open(STDIN, "<&", $r) && open(STDOUT, ">&", $w) or die "dup: $!\n"; exec @ARGV or die "exec: $!\n"' \
    "$strace" -qq -o "$work/trace-full-non-blocking-pipe.txt" "$program"
# A pipe whose reader has gone: every write fails with EPIPE.
# shellcheck disable=SC2016 # Perl's own variables
"$perl" -e 'pipe(my $r, my $w) or die "pipe: $!\n"; close $r; open(STDOUT, ">&", $w) or die "dup: $!\n";
    exec @ARGV or die "exec: $!\n"' "$strace" -qq -o "$work/trace-pipe-without-reader.txt" "$program"
"$script" --quiet --return --command "'$strace' -qq -o '$work/trace-terminal.txt' '$program'" /dev/null \
    < /dev/null > /dev/null
traced closed >&-
for kind in file null full pipe non-blocking-pipe full-non-blocking-pipe pipe-without-reader terminal closed; do
    check_calls "$kind"
done
check_write_calls file
check_write_calls pipe

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
