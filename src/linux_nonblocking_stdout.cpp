// On Linux, a non-blocking pipe whose reader is slow makes stdio's writes fail with EAGAIN, and the output
// is lost; where that is provably harmless, standard output gets a blocking description of its own.
//
// It must never leave the program worse off than the plain program, in any setting: the exit status,
// termination, every terminal, every lock, the flags on shared descriptions, signals, close events and
// where bytes go all stay as the plain program leaves them. The only difference is bytes delivered that
// the plain program would lose, by waiting for a reader in another process as a blocking pipe makes any
// program wait: a reader that reads only once the program has ended waits with it, and a signal sent
// while it waits finds it alive. Hence it acts on an anonymous pipe open only for writing and asking for
// no SIGIO, and only when no other descriptor here could read that pipe or hold one that does (waiting
// would then be waiting for this very process) or holds a lock on it (replacing fd 1 drops every POSIX
// lock the process holds on the pipe). It learns that from procfs's names of descriptors and the pipe's
// own fdinfo, once it has seen that they are this process's: it asks no file system anything and takes
// no lock that another process can hold. It opens nothing but the pipe, and closes no description of it
// before exit, so that no close tells anyone early that the writer is done. Named FIFOs, terminals and
// sockets are left as they are: opening them again has effects on other processes (open and close
// events, a relocked pty's failure, a new owner of SIGIO) that no check from here can rule out. What no
// care can avoid is its own size: an address-space limit set at the plain program's very need stops it.
#include <fcntl.h>
#include <string.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr long proc_super_magic = 0x9fa0;  // PROC_SUPER_MAGIC, <linux/magic.h>
constexpr unsigned long long not_a_number = ~0ULL;
constexpr unsigned statx_inode = 0x100;  // STATX_INO, which musl before 1.2.5 lacks

// Where getdents64 puts an entry's length and name (struct linux_dirent64: inode, offset, length, type,
// name); musl 1.2.4 and later no longer declare the call or the struct.
constexpr long entry_length_at = 16;
constexpr long entry_name_at = 19;

// The open /proc/self/fd and /proc/self/fdinfo, and a pipe made to see that they are this process's
// own, not another's put over them by a mount (a bind mount of /proc/PID/fd is procfs too) or by an
// emulator's path prefix: they must show it with the inode number that the kernel gives directly.
struct Proc {
    int fds;
    int infos;
    int test;
    unsigned long long test_inode;
};

// Plain loops rather than the C library's string functions: the start-up runs on whatever stack the
// process was given, and a library's search routine may reserve kilobytes of it.

// TEXT past PREFIX, when it begins with PREFIX; null else, and for a null TEXT.
const char* after(const char* text, const char* prefix)
{
    while (text != nullptr && *prefix != '\0')
        if (*text++ != *prefix++)
            return nullptr;
    return text;
}

// The decimal number at TEXT, which must end with END (a character, or '\0'); not_a_number else.
unsigned long long number_at(const char* text, char end)
{
    unsigned long long number = 0;
    const char* digit = text;
    for (; text != nullptr && *digit >= '0' && *digit <= '9'; digit++)
        number = number * 10 + static_cast<unsigned>(*digit - '0');
    return text != nullptr && digit != text && *digit == end ? number : not_a_number;
}

// The line of TEXT that begins with START, past START; null when there is none.
const char* line_after(const char* text, const char* start)
{
    for (const char* line = text; *line != '\0'; line++)
        if ((line == text || line[-1] == '\n') && after(line, start) != nullptr)
            return after(line, start);
    return nullptr;
}

// What descriptor NAME is open on, as procfs names it from the open file alone: "pipe:[inode]",
// "socket:[inode]", "anon_inode:[kind]" or a path, cut short to fit. Null when it cannot be read.
const char* target_of(int fds, const char* name)
{
    static char target[64];
    const ssize_t length = readlinkat(fds, name, target, sizeof target - 1);
    if (length <= 0)
        return nullptr;
    target[length] = '\0';
    return target;
}

// The fdinfo of descriptor NAME: procfs's own text, to which a pipe adds nothing. Null when it cannot be
// read whole.
const char* info_of(int infos, const char* name)
{
    static char info[1024];
    const int file = openat(infos, name, O_RDONLY | O_CLOEXEC);
    if (file == -1)
        return nullptr;
    const ssize_t length = read(file, info, sizeof info - 1);
    close(file);
    if (length <= 0 || length == sizeof info - 1)
        return nullptr;
    info[length] = '\0';
    return info;
}

// Whether descriptor NAME, FD, leaves the pipe PIPE (fd 1's inode number) free to wait for: true when it
// could read the pipe (another descriptor of it that is not write-only) or holds a lock on it, or when
// it is neither a pipe nor a path (a socket could carry a read end in flight, an io_uring hold one).
// What cannot be told counts. The test pipe must show as made.
bool leaves_pipe_free(const Proc& proc, const char* name, int fd, unsigned long long pipe)
{
    const char* target = target_of(proc.fds, name);
    if (target == nullptr)
        return false;
    const unsigned long long inode = number_at(after(target, "pipe:["), ']');
    const bool path = target[0] == '/';
    const char* info = inode == pipe || fd == proc.test ? info_of(proc.infos, name) : "";
    if (info == nullptr)
        return false;
    if (fd == proc.test)
        return inode == proc.test_inode && number_at(line_after(info, "ino:\t"), '\n') == proc.test_inode;
    if (inode == pipe)
        return (fd == STDOUT_FILENO || (fcntl(fd, F_GETFL) & O_ACCMODE) == O_WRONLY) &&
               line_after(info, "lock:") == nullptr;
    return inode != not_a_number || path;
}

// Whether every descriptor of the process leaves the pipe PIPE free, as above. A listing of
// /proc/self/fd that lacks fd 1, the test pipe or the directories' own descriptors is not trusted.
bool all_leave_pipe_free(const Proc& proc, unsigned long long pipe)
{
    static char entries[1024];
    int seen = 0;
    long size = 0;
    while ((size = syscall(SYS_getdents64, proc.fds, entries, sizeof entries)) > 0) {
        unsigned short length = 0;
        for (long at = 0; at < size; at += length) {
            memcpy(&length, entries + at + entry_length_at, sizeof length);
            const char* name = entries + at + entry_name_at;
            const unsigned long long number = number_at(name, '\0');
            const int fd = static_cast<int>(number);
            if (number == not_a_number)
                continue;
            seen += fd == proc.fds || fd == proc.infos || fd == proc.test || fd == STDOUT_FILENO ? 1 : 0;
            if (fd != proc.fds && fd != proc.infos && !leaves_pipe_free(proc, name, fd, pipe))
                return false;
        }
    }
    return size == 0 && seen == 4;
}

bool on_procfs(int directory)
{
    static struct statfs filesystem;
    return directory != -1 && fstatfs(directory, &filesystem) == 0 && filesystem.f_type == proc_super_magic;
}

// The inode number of descriptor FD, from the kernel's struct statx, which is the same on every
// architecture: 256 bytes, the mask of what it holds first, the inode number at byte 32. The C library's
// fstat may set hundreds of bytes of the stack aside for it.
unsigned long long inode_of(int fd)
{
    alignas(8) static unsigned char status[256];
    unsigned mask = 0;
    unsigned long long inode = 0;
    if (syscall(SYS_statx, fd, "", AT_EMPTY_PATH, statx_inode, status) != 0)
        return not_a_number;
    memcpy(&mask, status, sizeof mask);
    memcpy(&inode, status + 32, sizeof inode);
    return (mask & statx_inode) != 0 ? inode : not_a_number;
}

// FDS is /proc/self/fd, where "1" reopens the pipe: non-blocking, so that the open never waits. Every
// description of the pipe stays open until exit: the original, kept at a descriptor of its own before
// anything is opened, and the new one, should a later step fail.
void reopen_stdout_blocking(int fds)
{
    if (fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3) == -1)
        return;
    const int own = openat(fds, "1", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (own != -1 && fcntl(own, F_SETFL, 0) == 0 && dup2(own, STDOUT_FILENO) == STDOUT_FILENO)
        close(own);
}

[[gnu::constructor]] void give_stdout_a_blocking_description()
{
    // Most of the time standard output blocks, and there is nothing to do. A pipe open for reading too is
    // its own reader; one in packet mode (O_DIRECT) would not be reopened in that mode; one that signals
    // its owner (O_ASYNC) would signal it while the program waits.
    const int flags = fcntl(STDOUT_FILENO, F_GETFL);
    if (flags == -1 || (flags & (O_NONBLOCK | O_ACCMODE | O_DIRECT | O_ASYNC)) != (O_NONBLOCK | O_WRONLY))
        return;
    Proc proc = {open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC),
                 open("/proc/self/fdinfo", O_RDONLY | O_DIRECTORY | O_CLOEXEC), -1, not_a_number};
    int test[2] = {-1, -1};
    if (on_procfs(proc.fds) && on_procfs(proc.infos) && pipe2(test, O_CLOEXEC) == 0) {
        proc.test = test[0];
        proc.test_inode = inode_of(test[0]);
        const unsigned long long pipe = number_at(after(target_of(proc.fds, "1"), "pipe:["), ']');
        if (proc.test_inode != not_a_number && pipe != not_a_number && all_leave_pipe_free(proc, pipe))
            reopen_stdout_blocking(proc.fds);
    }
    const int opened[] = {test[0], test[1], proc.infos, proc.fds};
    for (const int fd : opened)
        if (fd != -1)
            close(fd);
}

}  // namespace
