// On Linux, a non-blocking pipe or terminal whose reader is slow makes stdio's write fail with EAGAIN,
// and the output is lost; where it is safe, standard output gets a blocking description of its own.
// Only fd 1's own object is asked about through its file system: what the other descriptors are comes
// from procfs alone, so that a file system that no longer answers cannot hold up the start-up.
// 64-bit inode numbers in struct stat and struct dirent on 32-bit glibc too, as musl always has them.
#define _FILE_OFFSET_BITS 64  // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

constexpr long proc_super_magic = 0x9fa0;  // PROC_SUPER_MAGIC, <linux/magic.h>
constexpr unsigned first_pty_slave_major = 136;
constexpr unsigned last_pty_slave_major = 143;

// The fdinfo entry NAME in the directory INFOS, which procfs writes itself: flags, inode number ("ino:",
// since Linux 5.14), locks ("lock:") and, for a pty master, its index ("tty-index:", older). Null when
// it cannot be read whole or names no inode: what the descriptor is could then not be told.
const char* fdinfo(int infos, const char* name)
{
    // Static: the start-up runs on whatever stack the process was given.
    static char text[4096];
    const int fd = openat(infos, name, O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        return nullptr;
    const ssize_t length = read(fd, text, sizeof text - 1);
    close(fd);
    if (length <= 0 || length == sizeof text - 1)
        return nullptr;
    text[length] = '\0';
    return strstr(text, "\nino:\t") != nullptr ? text : nullptr;
}

unsigned long long inode_of(const char* info)
{
    return strtoull(strstr(info, "\nino:\t") + 6, nullptr, 10);
}

// Whether this process itself may read what it writes to fd 1: through another description of the
// same pipe (any readable descriptor with the same inode number), or through any pty master. A
// blocking write would then wait for a reader that may be only itself. What cannot be told counts.
bool may_read_own_output(int infos, bool pipe, unsigned long long stdout_inode)
{
    // Static: the start-up runs on whatever stack the process was given.
    static struct dirent entries[8];
    long size = 0;
    // By number: musl 1.2.4 and later no longer declare getdents64, and glibc has no other name; its
    // entries are laid out as struct dirent is here.
    while ((size = syscall(SYS_getdents64, infos, entries, sizeof entries)) > 0) {
        for (long at = 0; at < size;) {
            const auto* entry =
                reinterpret_cast<const struct dirent*>(reinterpret_cast<const char*>(entries) + at);
            at += entry->d_reclen;
            char* end = nullptr;
            const long fd = strtol(entry->d_name, &end, 10);
            if (*end != '\0' || end == entry->d_name || fd == STDOUT_FILENO || fd == infos)
                continue;
            const char* info = fdinfo(infos, entry->d_name);
            if (info == nullptr || strstr(info, "\ntty-index:") != nullptr)
                return true;
            if (pipe && inode_of(info) == stdout_inode &&
                (fcntl(static_cast<int>(fd), F_GETFL) & O_ACCMODE) != O_WRONLY)
                return true;
        }
    }
    return size != 0;
}

bool same_object(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_rdev == b.st_rdev;
}

// Only a pipe's or FIFO's write-only end, or a pty slave open for writing, and only when this process
// cannot read its own output: reopening anything else could reach another object (a new pty, another
// controlling terminal), gain rights or drop a read end. Anything else is left as it is, and a write
// that fails is lost like any failed write. INFOS is /proc/self/fdinfo; FLAGS are fd 1's.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): a directory and flags, not two descriptors
void reopen_stdout_blocking(int infos, int flags)
{
    struct stat out = {};
    if (fstat(STDOUT_FILENO, &out) == -1)
        return;
    const int access = flags & O_ACCMODE;
    const bool pipe = S_ISFIFO(out.st_mode);
    const bool pty_slave = S_ISCHR(out.st_mode) && major(out.st_rdev) >= first_pty_slave_major &&
                           major(out.st_rdev) <= last_pty_slave_major;
    const bool reopenable =
        (pipe && access == O_WRONLY) || (pty_slave && (access == O_WRONLY || access == O_RDWR));
    // A terminal that was hung up (vhangup) fails every write on its old descriptions; a new one would not.
    if (!reopenable || write(STDOUT_FILENO, "", 0) != 0)
        return;
    // Replacing fd 1 closes it, which would release a lock held on it.
    const char* info = fdinfo(infos, "1");
    if (info == nullptr || strstr(info, "\nlock:") != nullptr ||
        may_read_own_output(infos, pipe, inode_of(info)))
        return;
    // Opened non-blocking, so that the open itself never waits; cleared once the object is fd 1's.
    const int own = openat(infos, "../fd/1", O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (own == -1)
        return;
    struct stat reopened = {};
    // The parent's flags stay as they were on its description; this one keeps them all but O_NONBLOCK.
    if (fstat(own, &reopened) == 0 && same_object(out, reopened) &&
        fcntl(own, F_SETFL, flags & ~O_NONBLOCK) == 0)
        dup2(own, STDOUT_FILENO);
    close(own);
}

[[gnu::constructor]] void give_stdout_a_blocking_description()
{
    // Most of the time standard output blocks, and there is nothing to do.
    const int flags = fcntl(STDOUT_FILENO, F_GETFL);
    if (flags == -1 || (flags & O_NONBLOCK) == 0)
        return;
    // Only the real /proc: a directory mounted over it could hide descriptors.
    const int infos = open("/proc/self/fdinfo", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (infos == -1)
        return;
    struct statfs filesystem = {};
    if (fstatfs(infos, &filesystem) == 0 && filesystem.f_type == proc_super_magic)
        reopen_stdout_blocking(infos, flags);
    close(infos);
}

}  // namespace
