#define FUSE_USE_VERSION 31
#include "tiny_fs.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <limits>
#include <new>

#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// The daemon's counts, in memory that it shares with the process that made it.
struct TinyFs::Counts {
    std::atomic<int> asked{0};
    std::atomic<int> answerable{std::numeric_limits<int>::max()};
};

namespace {

constexpr fuse_ino_t file_node = 2;
constexpr fuse_ino_t fifo_node = 3;
std::uint64_t file_inode_number;  // what the daemon reports for "file"
TinyFs::Counts* daemon_counts;

struct stat attributes(fuse_ino_t node)
{
    struct stat status = {};
    status.st_ino = node == file_node ? file_inode_number : node;
    status.st_mode = node == FUSE_ROOT_ID ? S_IFDIR | 0755
                     : node == fifo_node  ? S_IFIFO | 0666
                                          : S_IFREG | 0644;
    status.st_nlink = node == FUSE_ROOT_ID ? 2 : 1;
    return status;
}

// Attributes are given with no time to live, so that every stat that may not use the cache asks the daemon.
void lookup(fuse_req_t request, fuse_ino_t parent, const char* name)
{
    const fuse_ino_t node = std::strcmp(name, "file") == 0   ? file_node
                            : std::strcmp(name, "fifo") == 0 ? fifo_node
                                                             : 0;
    if (parent != FUSE_ROOT_ID || node == 0) {
        fuse_reply_err(request, ENOENT);
        return;
    }
    fuse_entry_param entry = {};
    entry.ino = node;
    entry.attr = attributes(node);
    fuse_reply_entry(request, &entry);
}

// A request that is not answered is left waiting, until the daemon dies with it.
void getattr(fuse_req_t request, fuse_ino_t node, fuse_file_info*)
{
    if (daemon_counts->asked++ >= daemon_counts->answerable)
        return;
    const struct stat status = attributes(node);
    fuse_reply_attr(request, &status, 0);
}

// No flush on close: closing the file must not wait for a stopped daemon, in the program or here.
void open_file(fuse_req_t request, fuse_ino_t, fuse_file_info* info)
{
    info->noflush = 1;
    fuse_reply_open(request, info);
}

[[noreturn]] void serve(int device)
{
    // Only the device: a copy of a test's pipe end here would keep that pipe's reader waiting.
    if (dup2(device, 3) == -1 || close_range(4, ~0U, 0) == -1)
        _exit(1);
    fuse_lowlevel_ops operations = {};
    operations.lookup = lookup;
    operations.getattr = getattr;
    operations.open = open_file;
    char name[] = "tiny_fs";
    char* argv[] = {name, nullptr};
    fuse_args args = FUSE_ARGS_INIT(1, argv);
    fuse_session* session = fuse_session_new(&args, &operations, sizeof operations, nullptr);
    // libfuse takes /dev/fd/N as a device that is already mounted.
    if (session != nullptr && fuse_session_mount(session, "/dev/fd/3") == 0)
        fuse_session_loop(session);
    _exit(0);
}

}  // namespace

TinyFs::TinyFs(std::uint64_t file_inode)
{
    file_inode_number = file_inode;
    void* shared = mmap(nullptr, sizeof(Counts), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) {
        failure = std::string("mmap: ") + std::strerror(errno);
        return;
    }
    counts = daemon_counts = new (shared) Counts;
    const int device = open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (device == -1) {
        failure = std::string("open /dev/fuse: ") + std::strerror(errno);
        return;
    }
    const int context = fsopen("fuse", FSOPEN_CLOEXEC);
    const std::string device_option = std::to_string(device);
    if (context == -1 || fsconfig(context, FSCONFIG_SET_STRING, "fd", device_option.c_str(), 0) == -1 ||
        fsconfig(context, FSCONFIG_SET_STRING, "rootmode", "40000", 0) == -1 ||
        fsconfig(context, FSCONFIG_SET_STRING, "user_id", "0", 0) == -1 ||
        fsconfig(context, FSCONFIG_SET_STRING, "group_id", "0", 0) == -1 ||
        fsconfig(context, FSCONFIG_CMD_CREATE, nullptr, nullptr, 0) == -1 ||
        (mount = fsmount(context, FSMOUNT_CLOEXEC, 0)) == -1) {
        failure = std::string("mount a FUSE file system: ") + std::strerror(errno);
    } else {
        const pid_t parent = getpid();
        daemon = fork();
        if (daemon == 0) {
            if (prctl(PR_SET_PDEATHSIG, SIGKILL) == -1 || getppid() != parent)
                _exit(1);
            serve(device);
        }
        if (daemon == -1)
            failure = std::string("fork the FUSE daemon: ") + std::strerror(errno);
    }
    if (context != -1)
        close(context);
    // The daemon holds the only copy of the device: once it is gone, requests fail instead of waiting.
    close(device);
}

TinyFs::~TinyFs()
{
    end_daemon();
    if (mount != -1)
        close(mount);
    if (counts != nullptr)
        munmap(counts, sizeof(Counts));
}

int TinyFs::open(const char* name, int flags) const
{
    return failure.empty() ? openat(mount, name, flags | O_CLOEXEC) : -1;
}

void TinyFs::end_daemon()
{
    if (daemon > 0) {
        kill(daemon, SIGKILL);
        waitpid(daemon, nullptr, 0);
        daemon = -1;
    }
}

int TinyFs::attribute_requests() const
{
    return counts != nullptr ? counts->asked.load() : 0;
}

void TinyFs::answer_attributes_until(int count)
{
    if (counts != nullptr)
        counts->answerable = count;
}

bool TinyFs::stop_daemon()
{
    int status = 0;
    return daemon > 0 && kill(daemon, SIGSTOP) == 0 && waitpid(daemon, &status, WUNTRACED) == daemon &&
           WIFSTOPPED(status);
}
