// On Linux, a non-blocking pipe or terminal whose reader is slow makes stdio's write fail with EAGAIN,
// and the output is lost; where it is safe, standard output gets a blocking description of its own.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum class Kind { other, anonymous_pipe, pty_slave, pty_master };

// What the descriptor refers to, as /proc names it: "pipe:[inode]" for an anonymous pipe,
// "/dev/pts/N" for a pty slave, "/dev/ptmx" or "/dev/pts/ptmx" for a pty master.
Kind kind_of(int fd)
{
    char link[32];
    char target[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, target, sizeof target - 1);
    if (length <= 0 || length == sizeof target - 1)
        return Kind::other;
    target[length] = '\0';
    if (strncmp(target, "pipe:[", 6) == 0)
        return Kind::anonymous_pipe;
    if (strcmp(target, "/dev/ptmx") == 0 || strcmp(target, "/dev/pts/ptmx") == 0)
        return Kind::pty_master;
    const char* number = target + strlen("/dev/pts/");
    if (strncmp(target, "/dev/pts/", strlen("/dev/pts/")) == 0 && *number != '\0' &&
        strspn(number, "0123456789") == strlen(number))
        return Kind::pty_slave;
    return Kind::other;
}

bool same_object(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_rdev == b.st_rdev;
}

// Whether this process itself can read what it writes to fd 1: through another end of the same pipe,
// or through a pty master. A blocking write would then wait for a reader that may be only itself.
bool may_read_own_output(Kind stdout_kind, const struct stat& out)
{
    const int fds = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fds == -1)
        return true;
    bool found = false;
    // getdents64 rather than opendir, whose allocation would weigh more than the rest of the program.
    struct dirent64 entries[8];
    for (ssize_t size; !found && (size = getdents64(fds, entries, sizeof entries)) > 0;) {
        for (ssize_t at = 0; at < size && !found;) {
            const auto* entry =
                reinterpret_cast<const struct dirent64*>(reinterpret_cast<const char*>(entries) + at);
            at += entry->d_reclen;
            char* end = nullptr;
            const int fd = static_cast<int>(strtol(entry->d_name, &end, 10));
            if (*end != '\0' || end == entry->d_name || fd == STDOUT_FILENO || fd == fds)
                continue;
            const Kind kind = kind_of(fd);
            struct stat other = {};
            if (stdout_kind == Kind::pty_slave)
                found = kind == Kind::pty_master;
            else if (kind == Kind::anonymous_pipe && fstat(fd, &other) == 0 && same_object(out, other))
                found = (fcntl(fd, F_GETFL) & O_ACCMODE) != O_WRONLY;
        }
    }
    close(fds);
    return found;
}

// Only an anonymous pipe's write-only end, or a pty slave open for writing: reopening anything else
// could reach another object (a new pty, another controlling terminal) or drop a read end. Anything
// else is left as it is, and a write that fails is lost like any failed write.
[[gnu::constructor]] void give_stdout_a_blocking_description()
{
    const int flags = fcntl(STDOUT_FILENO, F_GETFL);
    if (flags == -1 || (flags & O_NONBLOCK) == 0)
        return;
    const int access = flags & O_ACCMODE;
    const Kind kind = kind_of(STDOUT_FILENO);
    const bool reopenable = (kind == Kind::anonymous_pipe && access == O_WRONLY) ||
                            (kind == Kind::pty_slave && (access == O_WRONLY || access == O_RDWR));
    struct stat out = {};
    if (!reopenable || fstat(STDOUT_FILENO, &out) == -1 || may_read_own_output(kind, out))
        return;
    // Opened non-blocking, so that the open itself never waits; cleared once the object is fd 1's.
    const int own = open("/proc/self/fd/1", O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (own == -1)
        return;
    struct stat reopened = {};
    // The parent's flags stay as they were on its description; this one keeps them all but O_NONBLOCK.
    if (fstat(own, &reopened) == 0 && same_object(out, reopened) &&
        fcntl(own, F_SETFL, flags & ~O_NONBLOCK) == 0)
        dup2(own, STDOUT_FILENO);
    close(own);
}

}  // namespace
