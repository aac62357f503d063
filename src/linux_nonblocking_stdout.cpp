// On Linux, a non-blocking pipe whose reader is slow makes stdio's writes fail with EAGAIN, and the output
// is lost; where that is provably harmless, standard output gets a blocking description of its own.
//
// It must never leave the program worse off than the plain program, in any setting: the exit status,
// termination, every terminal, every lock, the flags on shared descriptions, close events and where bytes
// go all stay as the plain program leaves them; the only difference is bytes delivered that the plain
// program would lose. Hence it acts on an anonymous pipe open only for writing, and only when no other
// descriptor here could read that pipe or hold one that does (waiting would then be waiting for this very
// process) or holds a lock on it (replacing fd 1 drops every POSIX lock the process holds on the pipe).
// It reads procfs's names of descriptors and the pipe's own fdinfo, so it asks no file system anything
// and takes no lock that another process can hold; it opens nothing but the pipe, and keeps the original
// description open until exit, so that its close tells no one early that the writer is done. Named
// FIFOs, terminals and sockets are left as they are: reopening them has effects on other processes (open
// and close events, a relocked pty's failure, a new owner of SIGIO) that no check from here can rule out.
#include <fcntl.h>
#include <string.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr long proc_super_magic = 0x9fa0;  // PROC_SUPER_MAGIC, <linux/magic.h>

// Where getdents64 puts an entry's length and name (struct linux_dirent64: inode, offset, length, type,
// name); musl 1.2.4 and later no longer declare the call or the struct.
constexpr long entry_length_at = 16;
constexpr long entry_name_at = 19;

// The open /proc/self/fd and /proc/self/fdinfo.
struct Proc {
    int fds;
    int infos;
};

// Plain loops rather than the C library's string functions: the start-up runs on whatever stack the
// process was given, and a library's search routine may reserve kilobytes of it.
bool starts_with(const char* text, const char* prefix)
{
    while (*prefix != '\0')
        if (*text++ != *prefix++)
            return false;
    return true;
}

bool same_text(const char* a, const char* b)
{
    return starts_with(a, b) && starts_with(b, a);
}

// The descriptor that NAME spells, or -1 when it spells none ("." and "..").
int descriptor(const char* name)
{
    int number = 0;
    for (; *name >= '0' && *name <= '9'; name++)
        number = number * 10 + (*name - '0');
    return *name == '\0' ? number : -1;
}

// What descriptor NAME is open on, as procfs names it from the open file alone: "pipe:[inode]",
// "socket:[inode]", "anon_inode:[kind]" or a path, cut short to fit. False when it cannot be read.
template <unsigned long size> bool target_of(int fds, const char* name, char (&target)[size])
{
    const ssize_t length = readlinkat(fds, name, target, size - 1);
    if (length <= 0)
        return false;
    target[length] = '\0';
    return true;
}

// Whether descriptor NAME holds a lock, by its fdinfo: procfs's own text, to which a pipe adds nothing.
// What cannot be read counts as a lock.
bool holds_a_lock(int infos, const char* name)
{
    static char info[1024];
    const int file = openat(infos, name, O_RDONLY | O_CLOEXEC);
    if (file == -1)
        return true;
    const ssize_t length = read(file, info, sizeof info - 1);
    close(file);
    if (length <= 0 || length == sizeof info - 1)
        return true;
    info[length] = '\0';
    for (const char* line = info; *line != '\0'; line++)
        if ((line == info || line[-1] == '\n') && starts_with(line, "lock:"))
            return true;
    return false;
}

// Whether descriptor NAME (FD) could let the process read the pipe PIPE (fd 1's target) itself, or holds
// a lock on it: another descriptor of the pipe that is not write-only, a lock on any of them, or a
// descriptor that is neither a pipe nor a path (a socket could carry a read end in flight, an io_uring
// hold one). What cannot be told counts.
bool may_read_or_lock(const Proc& proc, const char* name, int fd, const char* pipe)
{
    char target[64];
    if (!target_of(proc.fds, name, target))
        return true;
    if (same_text(target, pipe))
        return (fd != STDOUT_FILENO && (fcntl(fd, F_GETFL) & O_ACCMODE) != O_WRONLY) ||
               holds_a_lock(proc.infos, name);
    return !starts_with(target, "pipe:[") && !starts_with(target, "/");
}

// Whether any descriptor of the process may read the pipe PIPE or lock it, as above. A listing of
// /proc/self/fd that lacks fd 1 or the two directories' own descriptors is not trusted.
bool any_may_read_or_lock(const Proc& proc, const char* pipe)
{
    static char entries[1024];
    int seen = 0;
    long size = 0;
    while ((size = syscall(SYS_getdents64, proc.fds, entries, sizeof entries)) > 0) {
        unsigned short length = 0;
        for (long at = 0; at < size; at += length) {
            memcpy(&length, entries + at + entry_length_at, sizeof length);
            const char* name = entries + at + entry_name_at;
            const int fd = descriptor(name);
            const bool directory = fd == proc.fds || fd == proc.infos;
            seen += directory || fd == STDOUT_FILENO ? 1 : 0;
            if (fd != -1 && !directory && may_read_or_lock(proc, name, fd, pipe))
                return true;
        }
    }
    return size != 0 || seen != 3;
}

bool on_procfs(int directory)
{
    struct statfs filesystem = {};
    return fstatfs(directory, &filesystem) == 0 && filesystem.f_type == proc_super_magic;
}

// FDS is /proc/self/fd, where "1" reopens the pipe. Opened non-blocking, so that the open never waits.
void reopen_stdout_blocking(int fds)
{
    const int own = openat(fds, "1", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (own == -1)
        return;
    // The original description is kept open, at a descriptor of its own, until exit.
    if (fcntl(own, F_SETFL, 0) == 0 && fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3) != -1)
        dup2(own, STDOUT_FILENO);
    close(own);
}

[[gnu::constructor]] void give_stdout_a_blocking_description()
{
    // Most of the time standard output blocks, and there is nothing to do. A pipe open for reading too is
    // its own reader; one in packet mode (O_DIRECT) would not be reopened in that mode.
    const int flags = fcntl(STDOUT_FILENO, F_GETFL);
    if (flags == -1 || (flags & (O_NONBLOCK | O_ACCMODE | O_DIRECT)) != (O_NONBLOCK | O_WRONLY))
        return;
    // Only the real /proc: a directory mounted over it could hide descriptors.
    const Proc proc = {open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC),
                       open("/proc/self/fdinfo", O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    char pipe[64];
    if (proc.fds != -1 && proc.infos != -1 && on_procfs(proc.fds) && on_procfs(proc.infos) &&
        target_of(proc.fds, "1", pipe) && starts_with(pipe, "pipe:[") && !any_may_read_or_lock(proc, pipe))
        reopen_stdout_blocking(proc.fds);
    if (proc.infos != -1)
        close(proc.infos);
    if (proc.fds != -1)
        close(proc.fds);
}

}  // namespace
