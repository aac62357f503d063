// Standard output that cannot be written: the program still ends with status 0, silently, and
// delivers every byte that could be delivered.
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <string>
#include <tuple>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "cases.h"

namespace {

constexpr rlim_t file_size_limit = 1000;

void limit_file_size()
{
    const rlimit limit = {file_size_limit, file_size_limit};
    must(setrlimit(RLIMIT_FSIZE, &limit), "setrlimit RLIMIT_FSIZE");
}

int new_temporary_file()
{
    return must(temporary_file(""), "make a temporary file");
}

// Each makes the child's standard output unwritable in its own way.
struct UnwritableStdout {
    const char* name;
    unsigned platforms;
    void (*set_up)();
};

// Node opens /dev/null on a closed standard stream before a WASI module runs, so that a module never
// meets standard output closed, nor anything else here that it could not write.
const UnwritableStdout unwritable_stdouts[] = {
    {"Closed", linux_platform | windows_platform, [] { close(STDOUT_FILENO); }},
    {"DevFull", linux_platform,
     [] {
         const int full = must(open("/dev/full", O_WRONLY), "open /dev/full");
         struct stat device = {};
         must(fstat(full, &device), "fstat /dev/full");
         must_hold(S_ISCHR(device.st_mode) && device.st_rdev == makedev(1, 7),
                   "/dev/full is the full device");
         redirect_stdout(full);
     }},
    {"PipeWithoutReader", linux_platform | windows_platform,
     [] {
         int ends[2];
         must(pipe(ends), "pipe");
         close(ends[0]);
         redirect_stdout(ends[1]);
     }},
    {"SocketWithoutPeer", linux_platform,
     [] {
         int ends[2];
         must(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), "socketpair");
         close(ends[1]);
         redirect_stdout(ends[0]);
     }},
    {"FileOpenReadOnly", linux_platform | windows_platform,
     [] {
         const std::string path = "/proc/self/fd/" + std::to_string(new_temporary_file());
         redirect_stdout(must(open(path.c_str(), O_RDONLY), "open a file read-only"));
     }},
    {"ClosedWithStandardError", linux_platform,
     [] {
         close(STDOUT_FILENO);
         close(STDERR_FILENO);
     }},
    // Its only reader is the program's own standard input, which it never reads: a program that waited
    // for room would wait forever. What finds no room is lost, like any failed write.
    {"FullNonBlockingPipe", linux_platform,
     [] {
         int ends[2];
         must(pipe(ends), "pipe");
         must_hold(fill(ends[1]).has_value(), "the pipe is full");
         must(fcntl(ends[1], F_SETFL, O_NONBLOCK), "fcntl O_NONBLOCK");
         must(dup2(ends[0], STDIN_FILENO), "dup2 onto standard input");
         close(ends[0]);
         redirect_stdout(ends[1]);
     }},
};

// How the parent left the signals that a failed write raises.
struct Disposition {
    const char* name;
    unsigned platforms;
    void (*set_up)();
};

void set_write_signals(void (*handler)(int))
{
    must(signal(SIGPIPE, handler) == SIG_ERR ? -1 : 0, "signal SIGPIPE");
    must(signal(SIGXFSZ, handler) == SIG_ERR ? -1 : 0, "signal SIGXFSZ");
}

const Disposition dispositions[] = {
    {"Default", every_platform, [] { set_write_signals(SIG_DFL); }},
    {"Ignored", linux_platform | windows_platform, [] { set_write_signals(SIG_IGN); }},
    {"Blocked", linux_platform | windows_platform,
     [] {
         sigset_t write_signals;
         sigemptyset(&write_signals);
         sigaddset(&write_signals, SIGPIPE);
         sigaddset(&write_signals, SIGXFSZ);
         must(sigprocmask(SIG_BLOCK, &write_signals, nullptr), "sigprocmask");
     }},
};

using UnwritableCase = std::tuple<UnwritableStdout, Disposition>;

std::vector<UnwritableCase> unwritable_cases_on(Platform platform)
{
    std::vector<UnwritableCase> cases;
    for (const UnwritableStdout& stdout_case : cases_on(platform, unwritable_stdouts))
        for (const Disposition& disposition : cases_on(platform, dispositions))
            cases.emplace_back(stdout_case, disposition);
    return cases;
}

std::string unwritable_case_name(const testing::TestParamInfo<UnwritableCase>& info)
{
    return std::string(std::get<0>(info.param).name) + "_" + std::get<1>(info.param).name;
}

class Unwritable : public testing::TestWithParam<UnwritableCase> {};

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

INSTANTIATE_TEST_SUITE_P(Linux, Unwritable, testing::ValuesIn(unwritable_cases_on(linux_platform)),
                         unwritable_case_name);
INSTANTIATE_TEST_SUITE_P(Windows, Unwritable, testing::ValuesIn(unwritable_cases_on(windows_platform)),
                         unwritable_case_name);

// A file size limit, under each disposition of SIGXFSZ: every byte below it is written, and the
// program ends as cleanly as with any other failed write.
class FileSizeLimit : public testing::TestWithParam<Disposition> {};

TEST_P(FileSizeLimit, KeepsEveryByteItAllows)
{
    Launch launch;
    launch.in_child = [disposition = GetParam()] {
        disposition.set_up();
        limit_file_size();
    };
    const Outcome outcome = run_to_file(launch);
    EXPECT_TRUE(exited_cleanly(outcome));
    EXPECT_TRUE(same_bytes(outcome.out, expected_output().substr(0, file_size_limit)));
}

INSTANTIATE_TEST_SUITE_P(Linux, FileSizeLimit, testing::ValuesIn(cases_on(linux_platform, dispositions)),
                         CaseName());

// A full pipe whose reader takes a few bytes once the program waits to write, then goes away.
class ReaderLeavesMidOutput : public testing::TestWithParam<Disposition> {};

TEST_P(ReaderLeavesMidOutput, EndsWithStatusZeroAndSaysNothing)
{
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_TRUE(fill(ends[1]).has_value());
    Launch launch;
    const int write_end = ends[1];
    const Disposition disposition = GetParam();
    launch.in_child = [write_end, disposition] {
        disposition.set_up();
        redirect_stdout(write_end);
    };
    launch.close_in_parent.push_back(ends[1]);
    bool left_while_it_waited = false;
    const Outcome outcome =
        run_inutil_once_it_waits(launch, [&left_while_it_waited, read_end = ends[0]](bool blocked) {
            left_while_it_waited = blocked;
            char few[16];
            (void)!read(read_end, few, sizeof few);
            close(read_end);
        });
    EXPECT_TRUE(exited_cleanly(outcome));
    EXPECT_TRUE(left_while_it_waited)
        << "the program never waited to write, so the reader did not leave mid-output";
}

INSTANTIATE_TEST_SUITE_P(Linux, ReaderLeavesMidOutput,
                         testing::ValuesIn(cases_on(linux_platform, dispositions)), CaseName());

// Start-up conditions that are odd but legal; the output must not notice them.
struct StartUp {
    const char* name;
    unsigned platforms;
    Launch (*launch)();
};

// As long a command line as the machine's limits allow with room to spare: execve takes at most a
// quarter of the stack limit for arguments and environment, and sysconf reports what it allows.
Launch with_huge_command_line()
{
    long budget = sysconf(_SC_ARG_MAX);
    rlimit stack = {};
    if (getrlimit(RLIMIT_STACK, &stack) == 0 && stack.rlim_cur != RLIM_INFINITY)
        budget = std::min(budget, static_cast<long>(stack.rlim_cur / 4));
    if (budget <= 0)
        ADD_FAILURE() << "sysconf(_SC_ARG_MAX) failed: the command line would not be long";
    // However small the stack, Linux allows 128 KB.
    budget = std::max(budget, 128L * 1024);
    const std::string arg(100, 'a');
    const long per_arg = static_cast<long>(arg.size() + 1 + sizeof(char*));
    Launch launch;
    launch.args.assign(static_cast<size_t>(std::max(budget / 2 / per_arg, 1L)), arg);
    return launch;
}

const StartUp start_ups[] = {
    {"EmptyEnvironment", linux_platform,
     [] {
         Launch launch;
         launch.environment = std::vector<std::string>();
         return launch;
     }},
    {"HugeCommandLine", linux_platform, with_huge_command_line},
};

class OddStart : public testing::TestWithParam<StartUp> {};

TEST_P(OddStart, WritesTheSameBytes)
{
    const Outcome outcome = run_to_file(GetParam().launch());
    EXPECT_TRUE(exited_cleanly(outcome));
    EXPECT_TRUE(same_bytes(outcome.out, expected_output()));
}

INSTANTIATE_TEST_SUITE_P(Linux, OddStart, testing::ValuesIn(cases_on(linux_platform, start_ups)), CaseName());

}  // namespace
