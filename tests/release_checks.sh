#!/bin/sh
# The release program needs nothing at start-up, no loader and no shared library. Whatever its
# standard output is, and however its writes fail, it makes the same few system calls, so that a
# sandbox's list of allowed calls, recorded in one setting, holds in every other. To a file and to a
# pipe its output leaves in a few buffer-sized writes, never a write per line.
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

# Traces the program into trace-KIND.txt, with standard output as the caller left it.
traced() {  # KIND
    "$strace" -qq -o "$work/trace-$1.txt" "$program"
}

# The same, with standard output the pipe that the Perl code SET_UP makes; it dies when a step fails.
traced_through_perl() {  # KIND SET_UP
    # shellcheck disable=SC2016 # Perl's own variables
    "$perl" -MFcntl -e "$2"' exec @ARGV or die "exec: $!\n";' "$strace" -qq -o "$work/trace-$1.txt" "$program"
}

traced file > "$work/out"
traced null > /dev/null
traced full > /dev/full
traced pipe | cat > /dev/null
# shellcheck disable=SC2016 # Perl's own variables
traced_through_perl full-non-blocking-pipe 'pipe(my $r, my $w) or die "pipe: $!\n";
    fcntl($w, F_SETFL, O_NONBLOCK) or die "fcntl: $!\n";
    1 while defined syswrite($w, "x" x 4096); $!{EAGAIN} or die "the pipe did not fill: $!\n";
    open(STDIN, "<&", $r) && open(STDOUT, ">&", $w) or die "dup: $!\n";'
# shellcheck disable=SC2016 # Perl's own variables
traced_through_perl pipe-without-reader 'pipe(my $r, my $w) or die "pipe: $!\n"; close $r;
    open(STDOUT, ">&", $w) or die "dup: $!\n";'
"$script" --quiet --return --command "'$strace' -qq -o '$work/trace-terminal.txt' '$program'" /dev/null \
    < /dev/null > /dev/null
traced closed >&-

# Each setting, and what its trace shows of it, so that a setting that did not take fails the check
# instead of passing it. The full pipe's only reader is the program's own standard input.
while read -r kind witness; do
    trace=$work/trace-$kind.txt
    if ! grep -qE "$witness" "$trace"; then
        echo "stdout $kind: the trace shows no '$witness': the setting did not take"
        failed=1
    fi
    calls=$(sed -n -e 's/^ioctl([^,]*, \([A-Z0-9_]*\).*/ioctl(\1)/p' -e t -e 's/^\([a-z0-9_]*\)(.*/\1/p' \
        "$trace" | grep -vx execve | sort -u | tr '\n' ' ')
    if [ "$calls" != "$pinned_calls " ]; then
        echo "stdout $kind: the calls are '$calls', not the pinned '$pinned_calls'"
        failed=1
    fi
done <<'SETTINGS'
file                    ^writev\(1, .* = [1-9]
null                    ^writev\(1, .* = [1-9]
full                    ^writev\(1, .* = -1 ENOSPC
pipe                    ^writev\(1, .* = [1-9]
full-non-blocking-pipe  ^writev\(1, .* = -1 EAGAIN
pipe-without-reader     ^writev\(1, .* = -1 EPIPE
terminal                ^ioctl\(1, TIOCGWINSZ, \{
closed                  ^writev\(1, .* = -1 EBADF
SETTINGS

for kind in file pipe; do
    writes=$(grep -cE '^writev?\(' "$work/trace-$kind.txt" || true)
    if [ "$writes" -lt 1 ] || [ "$writes" -gt "$most_writes" ]; then
        echo "stdout $kind: $writes write calls, not 1 to $most_writes"
        failed=1
    fi
done

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
