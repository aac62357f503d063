// A file system of one file, "file", whose inode number a case chooses, served by a daemon in a child
// process. Its mount is attached nowhere (fsmount, no mount point): no mount can propagate, and it is
// gone once its descriptors are closed. The daemon dies with the suite, stopped or not. Needs root.
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
    // The file, opened read-only; -1 on failure.
    int open_file() const;
    // Stops the daemon with SIGSTOP, as a hung server would be: every request that needs it then waits.
    bool stop_daemon();

  private:
    pid_t daemon = -1;
    int mount = -1;
    std::string failure;
};
