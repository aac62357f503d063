// On Linux, a non-blocking pipe or terminal whose reader is slow makes stdio's write fail with EAGAIN,
// and the output is lost; where it is safe, standard output gets a blocking description of its own.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

constexpr long proc_super_magic = 0x9fa0;  // PROC_SUPER_MAGIC, <linux/magic.h>
constexpr unsigned first_pty_slave_major = 136;
constexpr unsigned last_pty_slave_major = 143;

enum class Kind { unknown, other, anonymous_pipe, pty_slave, pty_master };

// What a descriptor refers to, from its device numbers, and for a pipe from the name that /proc gives
// it ("pipe:[inode]" only for an anonymous pipe: a path always begins with "/"). NAME is its entry in
// the /proc/self/fd directory FDS.
Kind kind_of(int fds, const char* name, struct stat& status)
{
    if (fstatat(fds, name, &status, 0) == -1)
        return Kind::unknown;
    if (S_ISCHR(status.st_mode)) {
        if (status.st_rdev == makedev(5, 2))
            return Kind::pty_master;
        if (major(status.st_rdev) >= first_pty_slave_major && major(status.st_rdev) <= last_pty_slave_major)
            return Kind::pty_slave;
        return Kind::other;
    }
    if (!S_ISFIFO(status.st_mode))
        return Kind::other;
    char target[16];
    const ssize_t length = readlinkat(fds, name, target, sizeof target);
    if (length == -1)
        return Kind::unknown;
    return length > 6 && strncmp(target, "pipe:[", 6) == 0 ? Kind::anonymous_pipe : Kind::other;
}

bool same_object(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_rdev == b.st_rdev;
}

// Whether this process itself may read what it writes to fd 1: through another end of the same pipe,
// or through any pty master. A blocking write would then wait for a reader that may be only itself.
// Whatever cannot be looked at counts as such a reader.
bool may_read_own_output(int fds, Kind stdout_kind, const struct stat& out)
{
    // Static: the start-up runs on whatever stack the process was given.
    static struct dirent64 entries[8];
    ssize_t size = 0;
    while ((size = getdents64(fds, entries, sizeof entries)) > 0) {
        for (ssize_t at = 0; at < size;) {
            const auto* entry =
                reinterpret_cast<const struct dirent64*>(reinterpret_cast<const char*>(entries) + at);
            at += entry->d_reclen;
            char* end = nullptr;
            const long fd = strtol(entry->d_name, &end, 10);
            if (*end != '\0' || end == entry->d_name || fd == STDOUT_FILENO || fd == fds)
                continue;
            struct stat other = {};
            const Kind kind = kind_of(fds, entry->d_name, other);
            if (kind == Kind::unknown || kind == Kind::pty_master)
                return true;
            if (stdout_kind == Kind::anonymous_pipe && same_object(out, other)) {
                const int flags = fcntl(static_cast<int>(fd), F_GETFL);
                if (flags == -1 || (flags & O_ACCMODE) != O_WRONLY)
                    return true;
            }
        }
    }
    return size != 0;
}

// Replacing fd 1 closes it, which would release a lock held on it: fdinfo, beside FDS, lists such locks.
bool holds_lock_on_stdout(int fds)
{
    const int fdinfo = openat(fds, "../fdinfo/1", O_RDONLY | O_CLOEXEC);
    if (fdinfo == -1)
        return true;
    static char text[1024];
    const ssize_t length = read(fdinfo, text, sizeof text - 1);
    close(fdinfo);
    if (length <= 0 || length == sizeof text - 1)
        return true;
    text[length] = '\0';
    return strstr(text, "lock:") != nullptr;
}

// Only an anonymous pipe's write-only end, or a pty slave open for writing, and only when this
// process cannot read its own output: reopening anything else could reach another object (a new pty,
// another controlling terminal), gain rights or drop a read end. Anything else is left as it is, and
// a write that fails is lost like any failed write. FDS is /proc/self/fd; FLAGS are fd 1's.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): a directory and flags, not two descriptors
void reopen_stdout_blocking(int fds, int flags)
{
    struct stat out = {};
    const Kind kind = kind_of(fds, "1", out);
    const int access = flags & O_ACCMODE;
    const bool reopenable = (kind == Kind::anonymous_pipe && access == O_WRONLY) ||
                            (kind == Kind::pty_slave && (access == O_WRONLY || access == O_RDWR));
    // A terminal that was hung up (vhangup) fails every write on its old descriptions; a new one would not.
    if (!reopenable || write(STDOUT_FILENO, "", 0) != 0 || holds_lock_on_stdout(fds) ||
        may_read_own_output(fds, kind, out))
        return;
    // Opened non-blocking, so that the open itself never waits; cleared once the object is fd 1's.
    const int own = openat(fds, "1", O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
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
    // Only the real /proc: a directory mounted over it could name other objects or hide descriptors.
    const int fds = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fds == -1)
        return;
    struct statfs filesystem = {};
    if (fstatfs(fds, &filesystem) == 0 && filesystem.f_type == proc_super_magic)
        reopen_stdout_blocking(fds, flags);
    close(fds);
}

}  // namespace
