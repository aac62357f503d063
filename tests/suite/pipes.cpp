#include "pipes.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

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
