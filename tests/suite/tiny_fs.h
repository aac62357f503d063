// A file system of one file, "file", whose inode number a case chooses, and one FIFO, "fifo", served by a
// daemon in a child process. Its mount is attached nowhere (fsmount, no mount point): no mount can propagate,
// and it is gone once its descriptors are closed. The daemon dies with the suite, stopped or not. Needs root.
#pragma once

#include <cstdint>
#include <string>

#include <sys/types.h>

class TinyFs {
  public:
    explicit TinyFs(std::uint64_t file_inode);
    ~TinyFs();
    TinyFs(const TinyFs&) = delete;
    TinyFs& operator=(const TinyFs&) = delete;

    // Why the file system could not be set up, or empty.
    const std::string& error() const
    {
        return failure;
    }
    // "file" or "fifo", opened with FLAGS (and O_CLOEXEC); -1 on failure. Only opening "file" asks the
    // daemon to open it; a FIFO is the kernel's once its name is found.
    int open(const char* name, int flags) const;
    // Stops the daemon with SIGSTOP, as a hung server would be: every request that needs it then waits.
    bool stop_daemon();
    // Ends the daemon: every request still waiting for it fails.
    void end_daemon();
    // How many times the daemon has been asked for attributes (getattr) so far.
    int attribute_requests() const;
    // From now on, the daemon answers attribute requests only until it has been asked COUNT times in
    // all; later ones wait, as on a server that stopped answering.
    void answer_attributes_until(int count);

    struct Counts;

  private:
    pid_t daemon = -1;
    Counts* counts = nullptr;  // shared with the daemon
    int mount = -1;
    std::string failure;
};
