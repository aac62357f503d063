#include "pipes.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

Pty::Pty()
{
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) == 0)
        slave_path = ptsname(master);
}

Pty::~Pty()
{
    close(master);
    close(slave);
}

Fifo::Fifo()
{
    char folder_template[] = "/tmp/inutil-fifo-XXXXXX";
    if (mkdtemp(folder_template) == nullptr)
        return;
    folder = folder_template;
    if (mkfifo((folder + "/fifo").c_str(), 0600) == 0)
        path = folder + "/fifo";
}

Fifo::~Fifo()
{
    if (!path.empty())
        unlink(path.c_str());
    if (!folder.empty())
        rmdir(folder.c_str());
}

std::optional<std::string> fill(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags == -1 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1)
        return std::nullopt;
    const std::string chunk(512, 'x');
    std::string written;
    ssize_t put;
    while ((put = write(fd, chunk.data(), chunk.size())) > 0)
        written.append(chunk, 0, static_cast<size_t>(put));
    // Only EAGAIN says that it is full; any other end means the descriptor was never fillable.
    const bool full = put == -1 && errno == EAGAIN && !written.empty();
    if (fcntl(fd, F_SETFL, flags) == -1 || !full)
        return std::nullopt;
    return written;
}

std::optional<std::string> fill_terminal(int fd)
{
    auto filler = fill(fd);
    // Only a pause between rounds, to let the background work run; it ends when no room came back.
    for (int round = 0; filler.has_value() && round < 100; round++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const auto more = fill(fd);
        if (!more.has_value())
            return filler;
        *filler += *more;
    }
    return std::nullopt;
}

std::optional<std::string> fill_one_page_nonblocking(int write_end)
{
    if (fcntl(write_end, F_SETPIPE_SZ, 4096) == -1)
        return std::nullopt;
    auto filler = fill(write_end);
    if (!filler.has_value() || fcntl(write_end, F_SETFL, fcntl(write_end, F_GETFL) | O_NONBLOCK) == -1)
        return std::nullopt;
    return filler;
}
