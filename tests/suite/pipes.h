// The pipes, FIFOs and terminals that cases give the program, and filling them, so that the program's
// first write finds no room.
#pragma once

#include <optional>
#include <string>

// A new pty pair, both ends open here; closed when it goes, as far as they are still open (-1).
struct Pty {
    int master = -1;
    int slave = -1;
    std::string slave_path;  // empty when it could not be made

    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
};

// A new FIFO in a folder of its own, both removed when the case ends, however it ends.
struct Fifo {
    std::string folder;
    std::string path;  // empty when it could not be made

    Fifo();
    ~Fifo();
    Fifo(const Fifo&) = delete;
    Fifo& operator=(const Fifo&) = delete;
};

// Writes filler without blocking until the pipe or terminal holds no more; returns what went in,
// or nothing when it could not be filled.
std::optional<std::string> fill(int fd);

// Fills a terminal until it stays full: a pty passes what it holds on to its master's line discipline in
// the background, which makes room again for a while. Returns the filler, or nothing when it could not
// be filled.
std::optional<std::string> fill_terminal(int fd);

// Shrinks the pipe or FIFO behind WRITE_END to one page and fills it, leaving WRITE_END non-blocking:
// what a reader that lags behind leaves. Returns the filler, or nothing when a step failed.
std::optional<std::string> fill_one_page_nonblocking(int write_end);
