// A non-blocking pipe or terminal on standard output: a slow reader still gets every byte, and the
// program writes only where standard output points, with no more rights than it was given.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

#include <fcntl.h>
#include <pty.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "cases.h"
#include "harness.h"
#include "pipes.h"
#include "tiny_fs.h"

namespace {

// Runs the launch with WRITE_END as standard output, closed here once the program has it, and a slow
// reader: READ_END reads nothing until the program waits to write (or has ended), then everything.
// BEFORE_READING, if given, runs first, with whether the program is blocked in a write.
Outcome run_with_slow_reader(Launch launch, int write_end, int read_end, std::string& received,
                             const std::function<void(bool blocked_in_write)>& before_reading = nullptr)
{
    launch.in_child = [set_up = launch.in_child, write_end] {
        redirect_stdout(write_end);
        set_up();
    };
    launch.close_in_parent.push_back(write_end);
    return run_inutil_once_it_waits(launch, [&received, read_end, &before_reading](bool blocked) {
        if (before_reading)
            before_reading(blocked);
        received = read_until_end(read_end);
    });
}

// The inode number that procfs gives for descriptor FD of process PID; 0 when it names none.
std::uint64_t inode_held(pid_t pid, int fd)
{
    std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd));
    std::string line;
    while (std::getline(info, line))
        if (line.rfind("ino:\t", 0) == 0)
            return std::strtoull(line.c_str() + 5, nullptr, 10);
    return 0;
}

TEST(LinuxNonBlocking, FullPipeWithSlowReaderLosesNothing)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const auto filler = fill_one_page_nonblocking(ends[1]);
    ASSERT_TRUE(filler.has_value());

    std::string received;
    const Outcome outcome = run_with_slow_reader(Launch(), ends[1], ends[0], received);
    close(ends[0]);

    EXPECT_TRUE(exited_cleanly(outcome));
    EXPECT_TRUE(same_bytes(received, *filler + expected_output()));
}

TEST(LinuxNonBlocking, SharedFlagsStayAsTheParentLeftThem)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(fcntl(ends[1], F_SETFL, O_NONBLOCK), 0);
    Launch launch;
    const int write_end = ends[1];
    launch.in_child = [write_end] { redirect_stdout(write_end); };
    const Outcome outcome = run_inutil(launch);

    EXPECT_TRUE(exited_cleanly(outcome));
    EXPECT_NE(fcntl(ends[1], F_GETFL) & O_NONBLOCK, 0);
    close(ends[1]);
    EXPECT_TRUE(same_bytes(read_until_end(ends[0]), expected_output()));
    close(ends[0]);
}

// A descriptor opened for reading stays one: the program must not find a way to write through it.
TEST(LinuxNonBlocking, ReadOnlyPipeIsNotWrittenThrough)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(fcntl(ends[0], F_SETFL, O_NONBLOCK), 0);
    Launch launch;
    const int read_end = ends[0];
    launch.in_child = [read_end] { redirect_stdout(read_end); };
    const Outcome outcome = run_inutil(launch);
    close(ends[1]);

    EXPECT_TRUE(exited_cleanly(outcome));
    char byte;
    EXPECT_EQ(read(ends[0], &byte, 1), 0) << "the program wrote into a pipe it was given for reading";
    close(ends[0]);
}

// Opening a pty master again makes a new pty: the output must still reach this master's slave.
TEST(LinuxNonBlocking, PtyMasterIsWrittenToItsOwnSlave)
{
    Pty pty;
    ASSERT_FALSE(pty.slave_path.empty());
    termios raw = {};
    ASSERT_EQ(tcgetattr(pty.slave, &raw), 0);
    cfmakeraw(&raw);
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &raw), 0);
    ASSERT_EQ(fcntl(pty.master, F_SETFL, fcntl(pty.master, F_GETFL) | O_NONBLOCK), 0);

    Launch launch;
    const int master = pty.master;
    launch.in_child = [master] { redirect_stdout(master); };
    const Outcome outcome = run_inutil(launch);

    EXPECT_TRUE(exited_cleanly(outcome));
    EXPECT_TRUE(same_bytes(read_arriving(pty.slave, expected_output().size()), expected_output()));
}

// Access mode 3 is for ioctls only: such a descriptor must never be written through.
TEST(LinuxNonBlocking, IoctlOnlyTerminalIsNotWritten)
{
    Pty pty;
    ASSERT_FALSE(pty.slave_path.empty());
    Launch launch;
    const std::string path = pty.slave_path;
    launch.in_child = [path] {
        redirect_stdout(
            must(open(path.c_str(), O_ACCMODE | O_NONBLOCK | O_NOCTTY), "open with access mode 3"));
    };
    launch.close_in_parent.push_back(pty.slave);
    pty.slave = -1;
    launch.drain_fd = pty.master;
    const Outcome outcome = run_inutil(launch);

    EXPECT_TRUE(exited_cleanly(outcome));
    EXPECT_TRUE(same_bytes(outcome.out, ""))
        << "the program wrote through a descriptor that was not open for writing";
}

// /dev/tty opened while terminal A was the controlling terminal still means A, even once the
// program runs with B as its controlling terminal: A gets the output, B nothing.
TEST(LinuxNonBlocking, DevTtyKeepsTheTerminalItWasOpenedOn)
{
    Pty a;
    Pty b;
    ASSERT_FALSE(a.slave_path.empty());
    ASSERT_FALSE(b.slave_path.empty());
    Launch launch;
    const std::string a_path = a.slave_path;
    const std::string b_path = b.slave_path;
    launch.in_child = [a_path, b_path] {
        must(setsid(), "setsid");
        const int a_fd = must(open(a_path.c_str(), O_RDWR), "open terminal A as controlling terminal");
        const int dev_tty = must(open("/dev/tty", O_WRONLY | O_NONBLOCK), "open /dev/tty");
        // Giving up A as the session leader hangs up the foreground group, which is this process.
        signal(SIGHUP, SIG_IGN);
        must(ioctl(a_fd, TIOCNOTTY), "TIOCNOTTY");
        signal(SIGHUP, SIG_DFL);
        must(open(b_path.c_str(), O_RDWR), "open terminal B as controlling terminal");
        redirect_stdout(dev_tty);
    };
    launch.close_in_parent = {a.slave, b.slave};
    a.slave = b.slave = -1;
    launch.drain_fd = a.master;
    const Outcome outcome = run_inutil(launch);

    EXPECT_TRUE(exited_cleanly(outcome));
    EXPECT_TRUE(same_bytes(outcome.out, with_crlf_line_ends(expected_output())));
    fcntl(b.master, F_SETFL, O_NONBLOCK);
    EXPECT_TRUE(same_bytes(read_until_end(b.master), ""))
        << "output reached a terminal that standard output never named";
}

// The only reader of a full pipe is the program's own standard input: waiting for room would be
// waiting for itself. It must end, like a program that just fails to write.
TEST(LinuxNonBlocking, FullPipeReadOnlyByItselfDoesNotHang)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_TRUE(fill(ends[1]).has_value());
    ASSERT_EQ(fcntl(ends[1], F_SETFL, O_NONBLOCK), 0);
    Launch launch;
    const int read_end = ends[0];
    const int write_end = ends[1];
    launch.in_child = [read_end, write_end] {
        must(dup2(read_end, STDIN_FILENO), "dup2 onto standard input");
        redirect_stdout(write_end);
    };
    launch.close_in_parent = {ends[0], ends[1]};
    EXPECT_TRUE(exited_cleanly(run_inutil(launch)));
}

// The same with a terminal: the program holds the only master of its full pty, so that it alone could
// make room.
TEST(LinuxNonBlocking, FullTerminalReadOnlyByItselfDoesNotHang)
{
    Pty pty;
    ASSERT_FALSE(pty.slave_path.empty());
    ASSERT_TRUE(fill(pty.slave).has_value());
    ASSERT_EQ(fcntl(pty.slave, F_SETFL, fcntl(pty.slave, F_GETFL) | O_NONBLOCK), 0);
    Launch launch;
    const int master = pty.master;
    const int slave = pty.slave;
    launch.in_child = [master, slave] {
        must(setsid(), "setsid");
        must(dup2(master, STDIN_FILENO), "dup2 the master onto standard input");
        redirect_stdout(slave);
    };
    launch.close_in_parent = {pty.master, pty.slave};
    pty.master = pty.slave = -1;
    EXPECT_TRUE(exited_cleanly(run_inutil(launch)));
}

// A FIFO opened for reading and writing is its own reader. Whoever opens the FIFO after the program
// has ended must find the whole output there, kept by the writer the parent holds.
TEST(LinuxNonBlocking, FifoOpenForReadingAndWritingKeepsItsReader)
{
    const Fifo fifo;
    ASSERT_FALSE(fifo.path.empty());
    const int both = open(fifo.path.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_NE(both, -1);
    const int keeper = open(fifo.path.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_NE(keeper, -1);
    Launch launch;
    launch.in_child = [both] { redirect_stdout(both); };
    launch.close_in_parent.push_back(both);
    const Outcome outcome = run_inutil(launch);

    const int reader = open(fifo.path.c_str(), O_RDONLY | O_NONBLOCK);
    EXPECT_TRUE(exited_cleanly(outcome));
    EXPECT_TRUE(same_bytes(read_until_end(reader), expected_output()));
    close(reader);
    close(keeper);
}

// The cases whose suite names end in AsRoot need root (vhangup, mounts); the build leaves them out,
// and says so, when it does not run as root.

// A terminal revoked by vhangup fails every write on its old descriptions: the program must not get a
// new one that writes again.
TEST(LinuxNonBlockingAsRoot, RevokedTerminalStaysRevoked)
{
    Pty pty;
    ASSERT_FALSE(pty.slave_path.empty());
    Launch launch;
    const std::string path = pty.slave_path;
    launch.in_child = [path] {
        must(setsid(), "setsid");
        const int controlling = must(open(path.c_str(), O_RDWR), "open the terminal as controlling terminal");
        const int revoked = must(open(path.c_str(), O_WRONLY | O_NONBLOCK), "open the terminal for writing");
        // Hanging up the terminal signals its foreground group, which is this process.
        signal(SIGHUP, SIG_IGN);
        must(vhangup(), "vhangup");
        signal(SIGHUP, SIG_DFL);
        close(controlling);
        redirect_stdout(revoked);
    };
    launch.close_in_parent.push_back(pty.slave);
    pty.slave = -1;
    launch.drain_fd = pty.master;
    const Outcome outcome = run_inutil(launch);

    EXPECT_TRUE(exited_cleanly(outcome));
    EXPECT_TRUE(same_bytes(outcome.out, "")) << "the program wrote to a terminal revoked before it started";
}

// What standard output is comes from the object, not its name: a file reached at /dev/pts/5 is a file,
// written where its offset stands.
TEST(LinuxNonBlockingAsRoot, FileNamedLikeATerminalIsWrittenAsAFile)
{
    char dir_template[] = "/tmp/inutil-named-XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string file = std::string(dir_template) + "/file";
    const std::string kept(512, 'k');
    {
        const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        ASSERT_NE(fd, -1);
        ASSERT_EQ(write(fd, kept.data(), kept.size()), static_cast<ssize_t>(kept.size()));
        close(fd);
    }
    Launch launch;
    launch.in_child = [file] {
        must(unshare(CLONE_NEWNS), "unshare a mount namespace");
        // New mounts propagate as their parent mount does: only /dev/pts need be private, and it is a mount
        // point wherever ptys work, even in a chroot whose root is none.
        must(mount(nullptr, "/dev/pts", nullptr, MS_PRIVATE, nullptr), "make /dev/pts private");
        must(mount("none", "/dev/pts", "tmpfs", 0, nullptr), "mount a tmpfs on /dev/pts");
        close(must(open("/dev/pts/5", O_WRONLY | O_CREAT, 0600), "create /dev/pts/5"));
        must(mount(file.c_str(), "/dev/pts/5", nullptr, MS_BIND, nullptr), "bind the file at /dev/pts/5");
        const int named = must(open("/dev/pts/5", O_WRONLY | O_NONBLOCK), "open /dev/pts/5");
        must(static_cast<int>(lseek(named, 0, SEEK_END)), "seek to the file's end");
        redirect_stdout(named);
    };
    const Outcome outcome = run_inutil(launch);

    const int fd = open(file.c_str(), O_RDONLY);
    EXPECT_TRUE(exited_cleanly(outcome));
    EXPECT_TRUE(same_bytes(read_file(fd), kept + expected_output()));
    close(fd);
    unlink(file.c_str());
    rmdir(dir_template);
}

// A descriptor inherited besides the standard streams, on a file system that the program must not trip
// over: inode numbers beyond 32 bits (XFS, btrfs and overlayfs give them too), or a server that no
// longer answers (a stopped FUSE daemon, a hard NFS mount whose server has gone). The program must
// end, and a slow reader on a full pipe still get every byte.
struct InheritedFileCase {
    const char* name;
    std::uint64_t inode;
    bool daemon_stopped;
};

const InheritedFileCase inherited_file_cases[] = {
    {"InodeNumberBeyond32Bits", std::uint64_t{1} << 33U, false},
    {"DaemonStopped", 2, true},
};

class InheritedFileAsRoot : public testing::TestWithParam<InheritedFileCase> {};

TEST_P(InheritedFileAsRoot, FullPipeWithSlowReaderLosesNothing)
{
    const InheritedFileCase& each = GetParam();
    // Before the pipe: the daemon must hold none of its ends.
    TinyFs fs(each.inode);
    ASSERT_EQ(fs.error(), "");
    const int file = fs.open("file", O_RDONLY);
    ASSERT_NE(file, -1) << std::strerror(errno);
    if (each.daemon_stopped) {
        ASSERT_TRUE(fs.stop_daemon());
    }
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const auto filler = fill_one_page_nonblocking(ends[1]);
    ASSERT_TRUE(filler.has_value());

    Launch launch;
    launch.in_child = [file] {
        must(dup2(file, 3), "dup2 the file onto fd 3");
        must(fcntl(3, F_SETFD, 0), "keep fd 3 open across exec");
    };
    launch.last_inherited_fd = 3;
    launch.close_in_parent.push_back(file);
    pid_t program = -1;
    launch.on_start = [&program](pid_t pid) { program = pid; };
    // What the program held at fd 3 while it waited: without the file there, the case proves nothing.
    std::uint64_t held_at_3 = 0;
    std::string received;
    const Outcome outcome = run_with_slow_reader(launch, ends[1], ends[0], received, [&](bool blocked) {
        if (blocked)
            held_at_3 = inode_held(program, 3);
    });
    close(ends[0]);

    EXPECT_TRUE(exited_cleanly(outcome));
    EXPECT_EQ(held_at_3, each.inode) << "the program did not hold the file at fd 3 while it waited to write";
    EXPECT_TRUE(same_bytes(received, *filler + expected_output()));
}

INSTANTIATE_TEST_SUITE_P(Linux, InheritedFileAsRoot, testing::ValuesIn(inherited_file_cases), CaseName());

}  // namespace
