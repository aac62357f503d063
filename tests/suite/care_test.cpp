// The start-up care must never leave the program worse off than the plain program (the same target's
// build without it), in any setting. Each case stages a setting in which a careless care does harm,
// with standard output non-blocking so that the care has something to consider, runs the plain program
// and then the program in it, and says in words what came of the effect at stake: how the program
// ended, where its bytes went, what became of a terminal, a lock, a watcher's close events. The plain
// program must show the harmless effect that the case names, and the program the same.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cases.h"
#include "harness.h"
#include "pipes.h"
#include "tiny_fs.h"

namespace {

// A set-up step in the parent that failed: the case fails, whatever the program does.
std::string not_set_up(const std::string& step)
{
    const std::string what = "not set up: " + step + ": " + std::strerror(errno);
    ADD_FAILURE() << what;
    return what;
}

std::string ending(const Outcome& outcome)
{
    if (!outcome.not_run.empty())
        return "not run: " + outcome.not_run;
    if (outcome.hung)
        return "hung";
    if (WIFSIGNALED(outcome.wait_status))
        return "killed by signal " + std::to_string(WTERMSIG(outcome.wait_status));
    return "exited with status " + std::to_string(WEXITSTATUS(outcome.wait_status));
}

std::string arrived(const std::string& out, const std::string& whole)
{
    return out == whole ? "the whole output arrived" : std::to_string(out.size()) + " bytes arrived";
}

// A pipe that the program writes to, non-blocking, and that this process drains as it fills.
struct DrainedPipe {
    int ends[2] = {-1, -1};

    DrainedPipe()
    {
        if (pipe(ends) == -1 || fcntl(ends[1], F_SETFL, O_NONBLOCK) == -1)
            ends[0] = -1;
    }
    ~DrainedPipe()
    {
        close(ends[0]);
    }
    DrainedPipe(const DrainedPipe&) = delete;
    DrainedPipe& operator=(const DrainedPipe&) = delete;

    // Makes the launch write here; NEXT runs in the child afterwards. The child keeps no descriptor of the
    // pipe but standard output: its reader is this process alone, and no close at exec drops a lock.
    void take(Launch& launch, std::function<void()> next = nullptr) const
    {
        launch.in_child = [read_end = ends[0], write_end = ends[1], next] {
            close(read_end);
            redirect_stdout(write_end);
            if (next)
                next();
        };
        launch.close_in_parent.push_back(ends[1]);
        launch.drain_fd = ends[0];
    }
};

// A pty whose holder locks it again once its slave is open, as a terminal emulator may before it lets
// anyone else in. Its slave, non-blocking, is the program's standard output, and this process still
// writes to it afterwards. Opening the slave anew now fails, and a failed open fails the terminal.
std::string on_pty_locked_again(bool plain)
{
    Pty pty;
    int lock = 1;
    if (pty.slave_path.empty() || ioctl(pty.master, TIOCSPTLCK, &lock) == -1 ||
        fcntl(pty.slave, F_SETFL, O_NONBLOCK) == -1)
        return not_set_up("a pty, locked again, its slave non-blocking");
    Launch launch;
    launch.plain = plain;
    launch.in_child = [slave = pty.slave] { redirect_stdout(slave); };
    // Read afterwards: this process keeps its slave open, so the master would never report an end.
    const Outcome outcome = run_inutil(launch);
    const std::string whole = with_crlf_line_ends(expected_output());
    const std::string out = read_arriving(pty.master, whole.size());
    const bool writable = write(pty.slave, "x", 1) == 1;
    return ending(outcome) + "; " + arrived(out, whole) + "; the terminal then " +
           (writable ? "took a write" : std::string("failed one: ") + std::strerror(errno));
}

// A pty whose slave's description signals its owner, this process, when room comes back after a write
// found none (O_ASYNC), filled by this process until it stays full; its reader reads once the program
// waits to write or has ended. A description with that flag but no owner of its own would make the
// program its owner, and SIGIO ends a program that does not expect it.
std::string on_pty_signalling_its_owner(bool plain)
{
    struct sigaction ignore = {};
    struct sigaction previous = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGIO, &ignore, &previous);
    std::string effect;
    {
        Pty pty;
        if (pty.slave_path.empty() || fcntl(pty.slave, F_SETOWN, getpid()) == -1 ||
            fcntl(pty.slave, F_SETFL, O_NONBLOCK | O_ASYNC) == -1 || !fill_terminal(pty.slave).has_value()) {
            effect = not_set_up("a pty, its slave non-blocking and O_ASYNC, owned here, full");
        } else {
            Launch launch;
            launch.plain = plain;
            launch.in_child = [slave = pty.slave] { redirect_stdout(slave); };
            launch.close_in_parent.push_back(pty.slave);
            pty.slave = -1;
            effect = ending(
                run_inutil_once_it_waits(launch, [master = pty.master](bool) { read_until_end(master); }));
        }
    }
    // Only once the terminal is closed: its hang-up signals the owner too.
    sigaction(SIGIO, &previous, nullptr);
    return effect;
}

// Standard output a pipe whose lock TAKE takes, on standard output itself or on another description of
// the pipe at descriptor 3: it must still be held when the program comes to exit.
void record_lock(int fd)
{
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    must(fcntl(fd, F_SETLK, &whole), "take a POSIX record lock on the pipe");
}

void description_lock(int fd)
{
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    must(fcntl(fd, F_OFD_SETLK, &whole), "take an open file description lock on the pipe");
}

void flock_lock(int fd)
{
    must(flock(fd, LOCK_EX | LOCK_NB), "flock the pipe");
}

// What lock another description of the pipe, FD, meets: a record lock (POSIX or open file description:
// F_OFD_GETLK sees both) or a flock.
std::string lock_met_by(int fd)
{
    struct flock probe = {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_GETLK, &probe) == -1)
        return std::string("F_OFD_GETLK failed: ") + std::strerror(errno);
    if (probe.l_type != F_UNLCK)
        return "a record lock";
    if (flock(fd, LOCK_EX | LOCK_NB) == -1)
        return errno == EWOULDBLOCK ? "a flock" : std::string("flock failed: ") + std::strerror(errno);
    flock(fd, LOCK_UN);
    return "no lock";
}

std::string on_locked_pipe(bool through_another_description, void (*take)(int fd), bool plain)
{
    const DrainedPipe pipe;
    if (pipe.ends[0] == -1)
        return not_set_up("a non-blocking pipe");
    Launch launch;
    launch.plain = plain;
    pipe.take(launch, [through_another_description, take] {
        if (!through_another_description) {
            take(STDOUT_FILENO);
            return;
        }
        // Closing any descriptor of the pipe would drop a POSIX lock: only fd 3 is left open before it.
        const int other = must(open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK), "open the pipe again");
        if (other != 3) {
            must(dup2(other, 3), "dup2 onto fd 3");
            close(other);
        }
        take(3);
    });
    launch.last_inherited_fd = 3;
    std::string at_exit = "the program never came to exit";
    launch.at_exit = [&at_exit, read_end = pipe.ends[0]](pid_t) { at_exit = lock_met_by(read_end); };
    const Outcome outcome = run_inutil(launch);
    return ending(outcome) + "; " + arrived(outcome.out, expected_output()) + "; at its exit the pipe had " +
           at_exit;
}

// The only reader of a full pipe is in flight, in a message on a socket that only the program holds:
// waiting for room would be waiting for itself.
std::string on_reader_in_flight(bool plain)
{
    Launch launch;
    launch.plain = plain;
    launch.in_child = [] {
        int ends[2];
        int sockets[2];
        must(pipe(ends), "pipe");
        must_hold(fill_one_page_nonblocking(ends[1]).has_value(), "the pipe is full and non-blocking");
        must(socketpair(AF_UNIX, SOCK_STREAM, 0, sockets), "socketpair");
        char byte = 0;
        iovec one = {&byte, 1};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        msghdr message = {};
        message.msg_iov = &one;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* rights = CMSG_FIRSTHDR(&message);
        rights->cmsg_level = SOL_SOCKET;
        rights->cmsg_type = SCM_RIGHTS;
        rights->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(rights), &ends[0], sizeof(int));
        must(static_cast<int>(sendmsg(sockets[0], &message, 0)), "send the read end");
        close(ends[0]);
        close(sockets[0]);
        must(dup2(sockets[1], 3), "dup2 the socket onto fd 3");
        redirect_stdout(ends[1]);
    };
    launch.last_inherited_fd = 3;
    return ending(run_inutil(launch));
}

// A FIFO, or a pipe, whose writer's description the program alone holds (as after a shell's "> fifo"),
// with a watcher that takes the writer's close for the end of the output. A pipe's descriptions from
// pipe() tell a watcher nothing: this one is opened anew, through procfs, like the FIFO by its name.
std::string on_watched_writer(bool fifo, bool plain, rlim_t descriptors = 0)
{
    const Fifo named;
    int ends[2] = {-1, -1};
    if (fifo && !named.path.empty()) {
        ends[0] = open(named.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ends[1] = open(named.path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    } else if (!fifo && pipe2(ends, O_CLOEXEC) == 0) {
        const int unwatched = ends[1];
        ends[1] =
            open(("/proc/self/fd/" + std::to_string(unwatched)).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        close(unwatched);
    }
    const int watcher = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (ends[0] == -1 || ends[1] == -1 || watcher == -1 ||
        inotify_add_watch(watcher, ("/proc/self/fd/" + std::to_string(ends[0])).c_str(), IN_CLOSE_WRITE) ==
            -1)
        return not_set_up("a FIFO or pipe, its reader and writer, a watcher");
    Launch launch;
    launch.plain = plain;
    launch.in_child = [writer = ends[1], descriptors] {
        redirect_stdout(writer);
        const rlimit limit = {descriptors, descriptors};
        if (descriptors != 0)
            must(setrlimit(RLIMIT_NOFILE, &limit), "setrlimit RLIMIT_NOFILE");
    };
    launch.close_in_parent.push_back(ends[1]);
    launch.drain_fd = ends[0];
    int closes = -1;
    launch.at_exit = [&closes, watcher](pid_t) {
        alignas(inotify_event) char events[4096];
        closes = 0;
        for (ssize_t got; (got = read(watcher, events, sizeof events)) > 0;)
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(events + at);
                closes += (event->mask & IN_CLOSE_WRITE) != 0 ? 1 : 0;
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
    };
    const Outcome outcome = run_inutil(launch);
    close(watcher);
    close(ends[0]);
    return ending(outcome) + "; " + arrived(outcome.out, expected_output()) + "; the watcher had seen " +
           std::to_string(closes) + " writer close before the program's exit";
}

// The same watched pipe, with the program allowed from 5 to 10 descriptors: whichever step of the care the
// limit stops, no description of the pipe may be closed before the program's exit.
std::string on_watched_pipe_short_of_descriptors(bool plain)
{
    std::string effects;
    std::string first;
    for (rlim_t descriptors = 5; descriptors <= 10; descriptors++) {
        const std::string effect = on_watched_writer(false, plain, descriptors);
        if (first.empty())
            first = effect;
        if (effect != first)
            effects += "; with " + std::to_string(descriptors) + " descriptors, " + effect;
    }
    return "with 5 descriptors, " + first + (effects.empty() ? "; the same with up to 10" : effects);
}

// A full pipe whose description on standard output signals its owner, the program itself, when room
// comes back (O_ASYNC); its reader reads once the program waits to write or has ended. SIGIO ends a
// program that does not expect it; the plain program has ended before any room comes back.
std::string on_pipe_signalling_its_owner(bool plain)
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) == -1 || !fill_one_page_nonblocking(ends[1]).has_value())
        return not_set_up("a full pipe");
    Launch launch;
    launch.plain = plain;
    launch.in_child = [write_end = ends[1]] {
        redirect_stdout(write_end);
        must(fcntl(STDOUT_FILENO, F_SETOWN, getpid()), "F_SETOWN to the program");
        must(fcntl(STDOUT_FILENO, F_SETFL, O_NONBLOCK | O_ASYNC), "F_SETFL O_NONBLOCK | O_ASYNC");
    };
    launch.close_in_parent.push_back(ends[1]);
    const Outcome outcome =
        run_inutil_once_it_waits(launch, [read_end = ends[0]](bool) { read_until_end(read_end); });
    close(ends[0]);
    return ending(outcome);
}

// Another process's /proc/PID/fd or /proc/PID/fdinfo, bound over the program's own in a mount namespace
// of the program's (which a parent may make unprivileged, in a user namespace): procfs all the same. That
// other process holds another pipe at its fd 1, and /dev/null at the descriptors the program opens
// first. With fdinfo, the program's own pipe has a POSIX lock through standard output.
std::string on_procfs_of_another_process(const char* directory, bool plain)
{
    const DrainedPipe own;
    int other[2];
    if (own.ends[0] == -1 || pipe2(other, O_CLOEXEC) == -1)
        return not_set_up("two pipes");
    Launch launch;
    launch.plain = plain;
    own.take(launch, [directory, other_write = other[1]] {
        if (std::string(directory) == "fdinfo")
            record_lock(STDOUT_FILENO);
        must(unshare(CLONE_NEWNS), "unshare a mount namespace");
        must(mount(nullptr, "/proc", nullptr, MS_REC | MS_PRIVATE, nullptr), "make /proc private");
        const pid_t program = getpid();
        const pid_t other_process = must(fork(), "fork the other process");
        if (other_process == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            dup2(other_write, STDOUT_FILENO);
            close_range(3, ~0U, 0);
            for (int fd = 3; fd < 12; fd++)
                open("/dev/null", O_RDONLY);
            if (getppid() == program)
                pause();
            _exit(0);
        }
        const std::string others = "/proc/" + std::to_string(other_process) + "/" + directory;
        const std::string its_own = "/proc/" + std::to_string(program) + "/" + directory;
        must(mount(others.c_str(), its_own.c_str(), nullptr, MS_BIND, nullptr),
             "bind the other's over its own");
    });
    std::string lock = "the program never came to exit";
    launch.at_exit = [&lock, read_end = own.ends[0]](pid_t) { lock = lock_met_by(read_end); };
    const Outcome outcome = run_inutil(launch);
    close(other[1]);
    const std::string elsewhere = read_until_end(other[0]);
    close(other[0]);
    return ending(outcome) + "; " + arrived(outcome.out, expected_output()) +
           "; the other process's pipe got " + std::to_string(elsewhere.size()) +
           " bytes; at its exit the program's pipe had " + lock;
}

// Another process is inside epoll_ctl on an epoll that the program inherits, adding a file of a file
// system whose daemon has stopped: polling that file waits for the daemon, and holds the epoll's mutex,
// which reading the epoll's fdinfo needs.
std::string on_epoll_held_by_a_stalled_poll(bool plain)
{
    TinyFs fs(2);
    const int file = fs.open("file", O_RDONLY);
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    if (!fs.error().empty() || file == -1 || epoll == -1 || !fs.stop_daemon())
        return not_set_up("a FUSE file, an epoll, the daemon stopped" + fs.error());
    const pid_t adder = fork();
    if (adder == 0) {
        epoll_event readable = {};
        readable.events = EPOLLIN;
        epoll_ctl(epoll, EPOLL_CTL_ADD, file, &readable);
        _exit(0);
    }
    // It holds the mutex once it sleeps in epoll_ctl.
    const std::string syscall_file = "/proc/" + std::to_string(adder) + "/syscall";
    const std::string in_epoll_ctl = std::to_string(SYS_epoll_ctl) + " ";
    bool waiting = false;
    for (int tries = 0; adder > 0 && !waiting && tries < 5000; tries++) {
        waiting = read_text(syscall_file).rfind(in_epoll_ctl, 0) == 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::string effect = "";
    const DrainedPipe pipe;
    if (!waiting || pipe.ends[0] == -1) {
        effect = not_set_up("another process waiting in epoll_ctl, a non-blocking pipe");
    } else {
        Launch launch;
        launch.plain = plain;
        pipe.take(launch, [epoll] { must(dup2(epoll, 3), "dup2 the epoll onto fd 3"); });
        launch.last_inherited_fd = 3;
        launch.on_hang = [adder] { kill(adder, SIGKILL); };
        effect = ending(run_inutil(launch));
    }
    if (adder > 0) {
        kill(adder, SIGKILL);
        waitpid(adder, nullptr, 0);
    }
    close(epoll);
    close(file);
    return effect;
}

// Standard output a FIFO on a file system whose server stops answering once it has answered as many
// attribute requests as the plain program makes (glibc's stdio asks once, to size its buffer; musl's
// never): writing to a FIFO never asks the file system, but asking the FIFO's attributes does.
std::string on_fifo_of_a_stalling_file_system(bool plain)
{
    TinyFs fs(2);
    const int reader = fs.open("fifo", O_RDONLY | O_NONBLOCK);
    if (!fs.error().empty() || reader == -1)
        return not_set_up("a FUSE FIFO and its reader" + fs.error());
    // Each run gets a writer of its own, which only it holds, so that the reader sees its end.
    const auto run_writing_to_the_fifo = [&fs, reader](bool run_plain) {
        Launch launch;
        launch.plain = run_plain;
        const int writer = fs.open("fifo", O_WRONLY | O_NONBLOCK);
        if (writer == -1) {
            Outcome not_run;
            not_run.not_run = not_set_up("open the FUSE FIFO for writing");
            return not_run;
        }
        launch.in_child = [writer] { redirect_stdout(writer); };
        launch.close_in_parent.push_back(writer);
        launch.drain_fd = reader;
        // A request that the daemon took and left unanswered holds the program past SIGKILL, until it dies.
        launch.on_hang = [&fs] { fs.end_daemon(); };
        return run_inutil(launch);
    };
    const int before = fs.attribute_requests();
    const Outcome plain_once = run_writing_to_the_fifo(true);
    fs.answer_attributes_until(2 * fs.attribute_requests() - before);
    const Outcome outcome = run_writing_to_the_fifo(plain);
    close(reader);
    return "the plain program first " + ending(plain_once) + "; then " + ending(outcome) + "; " +
           arrived(outcome.out, expected_output());
}

struct HarmCase {
    const char* name;
    std::string (*observe)(bool plain);  // stages the setting, runs the plain program or the program in it
    const char* harmless;                // what the plain program shows
};

void compare_with_the_plain_program(const HarmCase& each)
{
    ASSERT_TRUE(has_plain_program()) << "the suite was given no plain program (--plain=)";
    const std::string plain = each.observe(true);
    EXPECT_EQ(plain, each.harmless) << "the plain program, the control, did not show the harmless effect";
    EXPECT_EQ(each.observe(false), plain) << "the program is worse off than the plain program";
}

const HarmCase harm_cases[] = {
    {"PtyLockedAgain", on_pty_locked_again,
     "exited with status 0; the whole output arrived; the terminal then took a write"},
    {"PtySignallingItsOwner", on_pty_signalling_its_owner, "exited with status 0"},
    {"PosixLockThroughAnotherDescription",
     [](bool plain) { return on_locked_pipe(true, record_lock, plain); },
     "exited with status 0; the whole output arrived; at its exit the pipe had a record lock"},
    {"PosixLockOnStandardOutput", [](bool plain) { return on_locked_pipe(false, record_lock, plain); },
     "exited with status 0; the whole output arrived; at its exit the pipe had a record lock"},
    {"DescriptionLockOnStandardOutput",
     [](bool plain) { return on_locked_pipe(false, description_lock, plain); },
     "exited with status 0; the whole output arrived; at its exit the pipe had a record lock"},
    {"FlockOnStandardOutput", [](bool plain) { return on_locked_pipe(false, flock_lock, plain); },
     "exited with status 0; the whole output arrived; at its exit the pipe had a flock"},
    {"ReaderInFlightOnItsOwnSocket", on_reader_in_flight, "exited with status 0"},
    {"FifoWatchedForItsWriterToClose", [](bool plain) { return on_watched_writer(true, plain); },
     "exited with status 0; the whole output arrived; the watcher had seen 0 writer close before the "
     "program's "
     "exit"},
    {"PipeWatchedForItsWriterToClose", [](bool plain) { return on_watched_writer(false, plain); },
     "exited with status 0; the whole output arrived; the watcher had seen 0 writer close before the "
     "program's "
     "exit"},
    {"PipeWatchedWhileShortOfDescriptors", on_watched_pipe_short_of_descriptors,
     "with 5 descriptors, exited with status 0; the whole output arrived; the watcher had seen 0 writer "
     "close "
     "before the program's exit; the same with up to 10"},
    {"PipeSignallingItsOwner", on_pipe_signalling_its_owner, "exited with status 0"},
};

class CareDoesNoHarm : public testing::TestWithParam<HarmCase> {};

TEST_P(CareDoesNoHarm, AsThePlainProgram)
{
    compare_with_the_plain_program(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Linux, CareDoesNoHarm, testing::ValuesIn(harm_cases), CaseName());

// FUSE mounts need root.
const HarmCase harm_cases_as_root[] = {
    {"EpollHeldByAStalledPoll", on_epoll_held_by_a_stalled_poll, "exited with status 0"},
    {"ProcFdOfAnotherProcess", [](bool plain) { return on_procfs_of_another_process("fd", plain); },
     "exited with status 0; the whole output arrived; the other process's pipe got 0 bytes; at its exit the "
     "program's pipe had no lock"},
    {"ProcFdinfoOfAnotherProcess", [](bool plain) { return on_procfs_of_another_process("fdinfo", plain); },
     "exited with status 0; the whole output arrived; the other process's pipe got 0 bytes; at its exit the "
     "program's pipe had a record lock"},
    {"FifoOfAStallingFileSystem", on_fifo_of_a_stalling_file_system,
     "the plain program first exited with status 0; then exited with status 0; the whole output arrived"},
};

class CareDoesNoHarmAsRoot : public testing::TestWithParam<HarmCase> {};

TEST_P(CareDoesNoHarmAsRoot, AsThePlainProgram)
{
    compare_with_the_plain_program(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Linux, CareDoesNoHarmAsRoot, testing::ValuesIn(harm_cases_as_root), CaseName());

// A small stack, less an environment of PADDING bytes at its top, with nothing random in where the stack
// starts: what the program needs of it beside its printf loop must fit wherever the plain program fits.
// Both are run by names of the same length, so that the kernel puts the same bytes on the stack. The
// stack is 12 KiB (RLIMIT_STACK); under an emulator it is the emulator's to size, and qemu gives no
// less than 128 KiB, whatever QEMU_STACK_SIZE asks.
rlim_t small_stack()
{
    return (runs_under_emulator() ? 128 : 12) * 1024;
}

Outcome run_on_small_stack(const std::string& name, bool plain, size_t padding)
{
    const DrainedPipe pipe;
    Launch launch;
    launch.plain = plain;
    launch.via = name;
    launch.environment = std::vector<std::string>{"QEMU_STACK_SIZE=" + std::to_string(small_stack()),
                                                  "PAD=" + std::string(padding, 'x')};
    pipe.take(launch, [] {
        must(personality(ADDR_NO_RANDOMIZE), "personality ADDR_NO_RANDOMIZE");
        if (!runs_under_emulator()) {
            const rlimit limit = {small_stack(), small_stack()};
            must(setrlimit(RLIMIT_STACK, &limit), "setrlimit RLIMIT_STACK");
        }
    });
    Outcome outcome = run_inutil(launch);
    if (pipe.ends[0] == -1)
        outcome.not_run = not_set_up("a non-blocking pipe");
    return outcome;
}

bool runs_whole(const Outcome& outcome)
{
    return exited_cleanly(outcome) && outcome.out == expected_output();
}

TEST(LinuxCareDoesNoHarm, FitsEveryStackThatThePlainProgramFits)
{
    ASSERT_TRUE(has_plain_program()) << "the suite was given no plain program (--plain=)";
    char folder_template[] = "/tmp/inutil-names-XXXXXX";
    ASSERT_NE(mkdtemp(folder_template), nullptr);
    const std::string folder = folder_template;
    const std::string program = folder + "/program";
    const std::string plain = folder + "/plain-p";
    for (const auto& [link, of_plain] : {std::pair{program, false}, std::pair{plain, true}}) {
        char* target = realpath(program_path(of_plain).c_str(), nullptr);
        ASSERT_NE(target, nullptr) << program_path(of_plain);
        ASSERT_EQ(symlink(target, link.c_str()), 0);
        free(target);
    }

    // The most padding with which the plain program still runs whole, to the stack's alignment. Even a
    // program that needs little beside its environment cannot run with a stack as full as FAILS leaves it.
    size_t fits = 0;
    size_t fails = small_stack() - 256;
    EXPECT_TRUE(runs_whole(run_on_small_stack(plain, true, fits))) << "the plain program does not run at all";
    const Outcome at_most = run_on_small_stack(plain, true, fails);
    EXPECT_TRUE(at_most.not_run.empty() && WIFSIGNALED(at_most.wait_status))
        << "the plain program did not run out of stack with " << fails
        << " bytes of padding: " << ending(at_most);
    while (fails - fits > 16) {
        const size_t middle = (fits + fails) / 2 / 16 * 16;
        (runs_whole(run_on_small_stack(plain, true, middle)) ? fits : fails) = middle;
    }
    const Outcome outcome = run_on_small_stack(program, false, fits);
    EXPECT_TRUE(runs_whole(outcome)) << "with " << fits
                                     << " bytes of padding, where the plain program runs whole: "
                                     << ending(outcome);
    unlink(program.c_str());
    unlink(plain.c_str());
    rmdir(folder.c_str());
}

}  // namespace
