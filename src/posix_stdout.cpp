// On POSIX a write to standard output can raise a signal or fail with EAGAIN; neither may cost output.
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A write to a pipe or socket without a reader raises SIGPIPE, and a write past the file size
// limit raises SIGXFSZ; either would end the process. Ignored, the write just fails.
void ignore_write_signals()
{
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
    sigaction(SIGXFSZ, &ignore, nullptr);
}

// On a non-blocking pipe or terminal a slow reader makes the write fail with EAGAIN, and stdio drops
// the output. Opening the same pipe or terminal again gives this process an open file description
// of its own that can block, leaving untouched the flags that the parent and its other children share.
void give_stdout_a_blocking_description()
{
    const int flags = fcntl(STDOUT_FILENO, F_GETFL);
    if (flags == -1 || (flags & O_NONBLOCK) == 0 || (flags & O_ACCMODE) == O_RDONLY)
        return;
    struct stat status = {};
    // Only pipes and terminals: opening another device again can have effects of its own.
    if (fstat(STDOUT_FILENO, &status) == -1 || !(S_ISFIFO(status.st_mode) || isatty(STDOUT_FILENO) == 1))
        return;
    // Opened non-blocking, a pipe whose reader has gone fails with ENXIO instead of waiting for a reader.
    const int own = open("/proc/self/fd/1", O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (own == -1)
        return;
    const int own_flags = fcntl(own, F_GETFL);
    if (own_flags != -1 && fcntl(own, F_SETFL, own_flags & ~O_NONBLOCK) != -1)
        dup2(own, STDOUT_FILENO);
    close(own);
}

// Runs before main and before the first write, so that main stays nothing but the program.
[[gnu::constructor]] void prepare_stdout()
{
    ignore_write_signals();
    give_stdout_a_blocking_description();
}

}  // namespace
