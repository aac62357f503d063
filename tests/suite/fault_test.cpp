// Standard output that cannot be written, or only slowly: the program still ends with status 0,
// silently, and delivers every byte that could be delivered.
#include "harness.h"

#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <tuple>

#include <fcntl.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr rlim_t file_size_limit = 1000;

// Each makes the child's standard output unwritable in its own way.
struct UnwritableStdout {
    const char* name;
    void (*set_up)();
};

const UnwritableStdout unwritable_stdouts[] = {
    {"Closed", [] { close(STDOUT_FILENO); }},
    {"DevFull", [] { redirect_stdout(open("/dev/full", O_WRONLY)); }},
    {"PipeWithoutReader",
     [] {
         int ends[2];
         pipe(ends);
         close(ends[0]);
         redirect_stdout(ends[1]);
     }},
    {"SocketWithoutPeer",
     [] {
         int ends[2];
         socketpair(AF_UNIX, SOCK_STREAM, 0, ends);
         close(ends[1]);
         redirect_stdout(ends[0]);
     }},
    {"FileOverSizeLimit",
     [] {
         redirect_stdout(fileno(std::tmpfile()));
         const rlimit limit = {file_size_limit, file_size_limit};
         setrlimit(RLIMIT_FSIZE, &limit);
     }},
    {"FileOpenReadOnly",
     [] {
         const std::string path = "/proc/self/fd/" + std::to_string(fileno(std::tmpfile()));
         redirect_stdout(open(path.c_str(), O_RDONLY));
     }},
    {"ClosedWithStandardError",
     [] {
         close(STDOUT_FILENO);
         close(STDERR_FILENO);
     }},
};

// How the parent left the signals that a failed write raises.
struct Disposition {
    const char* name;
    void (*set_up)();
};

void set_write_signals(void (*handler)(int))
{
    signal(SIGPIPE, handler);
    signal(SIGXFSZ, handler);
}

const Disposition dispositions[] = {
    {"Default", [] { set_write_signals(SIG_DFL); }},
    {"Ignored", [] { set_write_signals(SIG_IGN); }},
    {"Blocked",
     [] {
         sigset_t write_signals;
         sigemptyset(&write_signals);
         sigaddset(&write_signals, SIGPIPE);
         sigaddset(&write_signals, SIGXFSZ);
         sigprocmask(SIG_BLOCK, &write_signals, nullptr);
     }},
};

class Unwritable : public testing::TestWithParam<std::tuple<UnwritableStdout, Disposition>> {};

TEST_P(Unwritable, EndsWithStatusZeroAndSaysNothing)
{
    const auto [stdout_case, disposition] = GetParam();
    Launch launch;
    launch.in_child = [stdout_case = stdout_case, disposition = disposition] {
        disposition.set_up();
        stdout_case.set_up();
    };
    EXPECT_TRUE(exited_cleanly(run_inutil(launch)));
}

INSTANTIATE_TEST_SUITE_P(Faults, Unwritable,
                         testing::Combine(testing::ValuesIn(unwritable_stdouts),
                                          testing::ValuesIn(dispositions)),
                         [](const testing::TestParamInfo<Unwritable::ParamType>& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    std::get<1>(info.param).name;
                         });

TEST(Faults, FileSizeLimitKeepsEveryByteItAllows)
{
    Launch launch;
    launch.in_child = [] {
        const rlimit limit = {file_size_limit, file_size_limit};
        setrlimit(RLIMIT_FSIZE, &limit);
    };
    const Outcome outcome = run_to_file(launch);
    EXPECT_TRUE(exited_cleanly(outcome));
    EXPECT_EQ(outcome.out, expected_output().substr(0, file_size_limit));
}

// Writes filler without blocking until the pipe or terminal holds no more; returns what went in.
std::string fill(int fd)
{
    const int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    const std::string chunk(512, 'x');
    std::string written;
    ssize_t put;
    while ((put = write(fd, chunk.data(), chunk.size())) > 0)
        written.append(chunk, 0, static_cast<size_t>(put));
    fcntl(fd, F_SETFL, flags);
    return written;
}

// A reader that looks away for a while, then reads everything until end of file.
std::thread slow_reader(int fd, std::string& into)
{
    return std::thread([fd, &into] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        into = read_until_end(fd);
    });
}

TEST(NonBlocking, FullPipeWithSlowReaderLosesNothing)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    fcntl(ends[1], F_SETPIPE_SZ, 4096);
    const std::string filler = fill(ends[1]);
    fcntl(ends[1], F_SETFL, O_NONBLOCK);

    std::string received;
    std::thread reader = slow_reader(ends[0], received);
    Launch launch;
    const int write_end = ends[1];
    launch.in_child = [write_end] { redirect_stdout(write_end); };
    launch.close_in_parent.push_back(ends[1]);
    const Outcome outcome = run_inutil(launch);
    reader.join();
    close(ends[0]);

    EXPECT_TRUE(exited_cleanly(outcome));
    EXPECT_EQ(received, filler + expected_output());
}

TEST(NonBlocking, FullTerminalWithSlowReaderLosesNothing)
{
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const std::string filler = fill(slave);
    fcntl(slave, F_SETFL, fcntl(slave, F_GETFL) | O_NONBLOCK);

    std::string received;
    std::thread reader = slow_reader(master, received);
    Launch launch;
    launch.in_child = [slave] {
        setsid();
        redirect_stdout(slave);
    };
    launch.close_in_parent.push_back(slave);
    const Outcome outcome = run_inutil(launch);
    reader.join();
    close(master);

    EXPECT_TRUE(exited_cleanly(outcome));
    EXPECT_EQ(received, filler + with_crlf_line_ends(expected_output()));
}

TEST(NonBlocking, SharedFlagsStayAsTheParentLeftThem)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    fcntl(ends[1], F_SETFL, O_NONBLOCK);
    Launch launch;
    const int write_end = ends[1];
    launch.in_child = [write_end] { redirect_stdout(write_end); };
    const Outcome outcome = run_inutil(launch);

    EXPECT_TRUE(exited_cleanly(outcome));
    EXPECT_NE(fcntl(ends[1], F_GETFL) & O_NONBLOCK, 0);
    close(ends[1]);
    EXPECT_EQ(read_until_end(ends[0]), expected_output());
    close(ends[0]);
}

// A descriptor opened for reading stays one: the program must not find a way to write through it.
TEST(NonBlocking, ReadOnlyPipeIsNotWrittenThrough)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
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

// Start-up conditions that are odd but legal; the output must not notice them.
struct StartUp {
    const char* name;
    Launch launch;
};

Launch with_huge_command_line()
{
    Launch launch;
    launch.args.assign(10000, std::string(100, 'a'));
    return launch;
}

Launch with_empty_environment()
{
    Launch launch;
    launch.empty_environment = true;
    return launch;
}

class OddStart : public testing::TestWithParam<StartUp> {};

TEST_P(OddStart, WritesTheSameBytes)
{
    const Outcome outcome = run_to_file(GetParam().launch);
    EXPECT_TRUE(exited_cleanly(outcome));
    EXPECT_EQ(outcome.out, expected_output());
}

INSTANTIATE_TEST_SUITE_P(StartUps, OddStart,
                         testing::Values(StartUp{"EmptyEnvironment", with_empty_environment()},
                                         StartUp{"HugeCommandLine", with_huge_command_line()}),
                         [](const testing::TestParamInfo<StartUp>& info) { return info.param.name; });

}  // namespace
