#!/bin/sh
# Runs COMMAND where 32-bit x86 programs run although the kernel does not run them itself: in a user and
# mount namespace of its own, whose own binfmt_misc (Linux 6.7 and later) hands them to qemu-i386. The
# registration lives and ends with the namespace; nothing outside it changes. Everything is exec'd in
# the one process, so that a tracer of this script traces COMMAND.
#   with-qemu-i386.sh QEMU_I386 COMMAND...
set -eu
[ -x "$1" ] || { echo "with-qemu-i386.sh: no qemu-i386 ($1), which Debian's qemu-user has" >&2; exit 1; }

# qemu-user 7.2 (Debian 12's) takes the address Wine asks for with MAP_FIXED_NOREPLACE for a mere hint,
# and looks for free guest addresses a page at a time: Wine's tens of thousands of attempts to reserve
# the top 2 GiB of a 4 GiB guest then each scan qemu's table of pages, some 50 s of CPU a process. A
# guest address space that ends with the area Wine keeps at its top (0x7f000000 to 0x82000000), above
# the 2 GiB a Windows program has, and a search in steps of 64 KiB, Wine's own unit, take about 1 s. qemu 10
# (Debian 13's) needs neither, and warns of the second.
case $("$1" --version) in
    "qemu-i386 version "[1-7].*)
        QEMU_RESERVED_VA=0x82000000
        QEMU_PAGESIZE=65536
        export QEMU_RESERVED_VA QEMU_PAGESIZE ;;
esac

# The kernel refuses a user namespace inside a chroot, and where user namespaces are turned off.
unshare --user --map-root-user true 2> /dev/null ||
    { echo "with-qemu-i386.sh: no user namespace can be made here (none in a chroot, nor where they are turned off)" >&2; exit 1; }

# The header of a 32-bit little-endian ELF program or shared object (e_type 2 or 3) for i386
# (e_machine 3), with its mask; F opens the interpreter now, so it need not be found when a program starts.
# shellcheck disable=SC2016 # expanded in the namespace
exec unshare --user --map-root-user --mount sh -c '
    qemu=$1
    shift
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null ||
        { echo "with-qemu-i386.sh: cannot mount a binfmt_misc of its own (Linux 6.7 and later can)" >&2; exit 1; }
    printf "%s" ":i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:$qemu:F" \
        > /proc/sys/fs/binfmt_misc/register
    exec "$@"' with-qemu-i386.sh "$@"
