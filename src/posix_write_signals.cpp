// A failed write must not end the process: on POSIX it can raise a signal whose default is to kill.
#include <signal.h>

namespace {

// A write to a pipe or socket without a reader raises SIGPIPE, and a write past the file size limit
// raises SIGXFSZ. Ignored, the write just fails, and the exit status stays 0.
[[gnu::constructor]] void ignore_write_signals()
{
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
    sigaction(SIGXFSZ, &ignore, nullptr);
}

}  // namespace
