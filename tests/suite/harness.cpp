#include "harness.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Only a guard against a hung program; no test asserts anything about time.
constexpr auto hang_limit = std::chrono::seconds(60);

Platform platform = linux_platform;
std::vector<std::string> command;  // the emulator's words, if any, then the program

// In the child, where a failed set-up step or exec is reported; closed on exec.
int report_fd = -1;

[[noreturn]] void report_and_exit(const std::string& message)
{
    (void)!write(report_fd, message.data(), message.size());
    _exit(126);
}

[[noreturn]] void exec_program(const Launch& launch)
{
    std::vector<std::string> words = command;
    words.insert(words.end(), launch.args.begin(), launch.args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    // Only the standard streams and what the case hands on go through, so that no stray pipe end keeps
    // a reader alive.
    must(close_range(3, ~0U, CLOSE_RANGE_CLOEXEC), "close_range");
    std::vector<std::string> variables = launch.environment.value_or(std::vector<std::string>());
    std::vector<char*> envp;
    for (std::string& variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    execvpe(argv[0], argv.data(), launch.environment.has_value() ? envp.data() : environ);
    report_and_exit("exec " + words[0] + ": " + std::strerror(errno));
}

// Reads until end of file or, on a non-blocking descriptor, until nothing more is there.
std::string read_until_end(int fd)
{
    std::string content;
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0 || (got == -1 && errno == EINTR))
        if (got > 0)
            content.append(buffer, static_cast<size_t>(got));
    return content;
}

// The whole content of a regular file, read from its start.
std::string read_file(int fd)
{
    std::string content;
    char buffer[4096];
    ssize_t got;
    off_t offset = 0;
    while ((got = pread(fd, buffer, sizeof buffer, offset)) > 0) {
        content.append(buffer, static_cast<size_t>(got));
        offset += got;
    }
    return content;
}

void reset_signals()
{
    for (int sig = 1; sig < NSIG; sig++)
        signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

}  // namespace

Platform target_platform()
{
    return platform;
}

std::string configure_target(int argc, char** argv)
{
    const std::string usage =
        "usage: inutil_suite [gtest flags] --platform=Linux|Windows|Wasi -- [EMULATOR...] PROGRAM";
    int i = 1;
    if (i < argc && std::strncmp(argv[i], "--platform=", 11) == 0) {
        const std::string name = argv[i] + 11;
        if (name == "Linux")
            platform = linux_platform;
        else if (name == "Windows")
            platform = windows_platform;
        else if (name == "Wasi")
            platform = wasi_platform;
        else
            return "unknown platform " + name + "\n" + usage;
        i++;
    } else {
        return usage;
    }
    if (i >= argc || std::strcmp(argv[i], "--") != 0 || i + 1 >= argc)
        return usage;
    command.assign(argv + i + 1, argv + argc);
    return {};
}

// The expected bytes are files that every checker reads, one per line-end convention (tests/expected/).
std::string expected_output()
{
    const auto read_expected = [](const char* name) {
        const std::string path = std::string(INUTIL_EXPECTED_DIR) + "/" + name;
        std::ifstream file(path, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (!file || bytes.empty())
            throw std::runtime_error("cannot read the expected output " + path);
        return bytes;
    };
    static const std::string lf = read_expected("lf");
    static const std::string crlf = read_expected("crlf");
    return platform == windows_platform ? crlf : lf;
}

std::string with_crlf_line_ends(const std::string& text)
{
    std::string result;
    for (char c : text)
        result += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return result;
}

int must(int result, const char* step)
{
    if (result == -1)
        report_and_exit(std::string(step) + ": " + std::strerror(errno));
    return result;
}

void must_hold(bool condition, const char* what)
{
    if (!condition)
        report_and_exit(std::string("does not hold: ") + what);
}

void redirect_stdout(int fd)
{
    if (fd != STDOUT_FILENO) {
        must(dup2(fd, STDOUT_FILENO), "dup2 onto standard output");
        close(fd);
    }
}

namespace {

// The number of the system call that the process in the /proc directory PROC sleeps in, or -1 when it
// runs or cannot be read.
long syscall_number(int proc)
{
    const int fd = openat(proc, "syscall", O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        return -1;
    char text[32] = {};
    const ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    char* end = text;
    const long number = got > 0 ? std::strtol(text, &end, 10) : -1;
    return end == text ? -1 : number;
}

bool has_ended(int pidfd)
{
    pollfd ended = {pidfd, POLLIN, 0};
    return poll(&ended, 1, 0) == 1;
}

// Another thread reaps the child, after which its pid may name another process: PIDFD, opened on the
// child before it could be reaped, says whether /proc/PID was still the child when it was opened, and
// that directory stays the child's.
bool wait_until_blocked_in_write_or_ended(pid_t pid, int pidfd)
{
    const std::string path = "/proc/" + std::to_string(pid);
    const int proc = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc == -1) {
        if (!has_ended(pidfd))
            ADD_FAILURE() << "cannot open " << path << " to see whether the program waits";
        return false;
    }
    const auto give_up_at = std::chrono::steady_clock::now() + hang_limit;
    bool blocked = false;
    while (!has_ended(pidfd) && !blocked && std::chrono::steady_clock::now() < give_up_at) {
        const long number = syscall_number(proc);
        blocked = number == SYS_write || number == SYS_writev;
        if (!blocked)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    close(proc);
    if (!blocked && !has_ended(pidfd))
        ADD_FAILURE() << "process " << pid << " neither blocked in a write nor ended";
    return blocked;
}

}  // namespace

Outcome run_inutil_once_it_waits(Launch launch, const std::function<void(bool blocked_in_write)>& action)
{
    std::thread watcher;
    int pidfd = -1;
    launch.on_start = [&watcher, &action, &pidfd, case_on_start = launch.on_start](pid_t pid) {
        case_on_start(pid);
        // Here, before run_inutil's loop can reap the child, the pid is still the child's.
        pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        if (pidfd == -1)
            ADD_FAILURE() << "pidfd_open: " << std::strerror(errno);
        watcher = std::thread([pid, pidfd, &action] {
            action(pidfd != -1 && wait_until_blocked_in_write_or_ended(pid, pidfd));
        });
    };
    Outcome outcome = run_inutil(launch);
    if (watcher.joinable())
        watcher.join();
    if (pidfd != -1)
        close(pidfd);
    return outcome;
}

int temporary_file(const std::string& content)
{
    std::FILE* file = std::tmpfile();
    if (file == nullptr)
        return -1;
    const int fd = dup(fileno(file));
    std::fclose(file);
    if (fd != -1 && pwrite(fd, content.data(), content.size(), 0) != static_cast<ssize_t>(content.size()))
        return -1;
    return fd;
}

Outcome run_inutil(const Launch& launch)
{
    Outcome outcome;
    std::FILE* err_file = std::tmpfile();
    int report[2];
    if (err_file == nullptr || pipe2(report, O_CLOEXEC) != 0) {
        outcome.not_run = std::string("set-up in the parent: ") + std::strerror(errno);
        ADD_FAILURE() << outcome.not_run;
        return outcome;
    }
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        report_fd = report[1];
        reset_signals();
        must(dup2(must(open("/dev/null", O_RDONLY), "open /dev/null"), STDIN_FILENO), "dup2 stdin");
        must(dup2(fileno(err_file), STDERR_FILENO), "dup2 stderr");
        launch.in_child();
        exec_program(launch);
    }
    close(report[1]);
    for (int fd : launch.close_in_parent)
        close(fd);
    if (pid == -1) {
        outcome.not_run = std::string("fork: ") + std::strerror(errno);
        ADD_FAILURE() << outcome.not_run;
        close(report[0]);
        std::fclose(err_file);
        return outcome;
    }
    launch.on_start(pid);
    if (launch.drain_fd != -1)
        fcntl(launch.drain_fd, F_SETFL, fcntl(launch.drain_fd, F_GETFL) | O_NONBLOCK);

    const auto give_up_at = std::chrono::steady_clock::now() + hang_limit;
    for (;;) {
        if (launch.drain_fd != -1) {
            pollfd readable = {launch.drain_fd, POLLIN, 0};
            poll(&readable, 1, 10);
            outcome.out += read_until_end(launch.drain_fd);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        const pid_t waited = waitpid(pid, &outcome.wait_status, WNOHANG);
        if (waited == pid)
            break;
        if (waited == -1) {
            outcome.not_run = std::string("waitpid: ") + std::strerror(errno);
            ADD_FAILURE() << outcome.not_run;
            break;
        }
        if (std::chrono::steady_clock::now() > give_up_at) {
            outcome.hung = true;
            kill(pid, SIGKILL);
            waitpid(pid, &outcome.wait_status, 0);
            break;
        }
    }
    if (launch.drain_fd != -1) {
        fcntl(launch.drain_fd, F_SETFL, fcntl(launch.drain_fd, F_GETFL) & ~O_NONBLOCK);
        outcome.out += read_until_end(launch.drain_fd);
    }
    const std::string report_text = read_until_end(report[0]);
    close(report[0]);
    if (!report_text.empty()) {
        outcome.not_run = "the child failed before the program ran: " + report_text;
        ADD_FAILURE() << outcome.not_run;
    }
    outcome.err = read_file(fileno(err_file));
    std::fclose(err_file);
    return outcome;
}

testing::AssertionResult same_bytes(const std::string& arrived, const std::string& expected)
{
    if (arrived == expected)
        return testing::AssertionSuccess();
    size_t at = 0;
    while (at < arrived.size() && at < expected.size() && arrived[at] == expected[at])
        at++;
    const auto around = [at](const std::string& text) { return testing::PrintToString(text.substr(at, 24)); };
    return testing::AssertionFailure()
           << arrived.size() << " bytes arrived, " << expected.size() << " expected; from byte " << at
           << " on, arrived " << around(arrived) << ", expected " << around(expected);
}

testing::AssertionResult exited_cleanly(const Outcome& outcome)
{
    if (!outcome.not_run.empty())
        return testing::AssertionFailure() << "not run: " << outcome.not_run;
    if (outcome.hung)
        return testing::AssertionFailure() << "hung, and was killed";
    if (WIFSIGNALED(outcome.wait_status))
        return testing::AssertionFailure() << "killed by signal " << WTERMSIG(outcome.wait_status) << " ("
                                           << strsignal(WTERMSIG(outcome.wait_status)) << ")";
    if (!WIFEXITED(outcome.wait_status) || WEXITSTATUS(outcome.wait_status) != 0) {
        testing::AssertionResult failure = testing::AssertionFailure()
                                           << "exit status " << WEXITSTATUS(outcome.wait_status);
        if (!outcome.err.empty())
            failure << ", having written to standard error: " << testing::PrintToString(outcome.err);
        return failure;
    }
    if (!outcome.err.empty())
        return testing::AssertionFailure()
               << "wrote to standard error: " << testing::PrintToString(outcome.err);
    return testing::AssertionSuccess();
}

Outcome run_to_file(const Launch& launch)
{
    std::FILE* out = std::tmpfile();
    if (out == nullptr) {
        Outcome outcome;
        outcome.not_run = std::string("tmpfile: ") + std::strerror(errno);
        ADD_FAILURE() << outcome.not_run;
        return outcome;
    }
    const int out_fd = fileno(out);
    Launch to_file = launch;
    to_file.in_child = [&launch, out_fd] {
        redirect_stdout(out_fd);
        launch.in_child();
    };
    Outcome outcome = run_inutil(to_file);
    outcome.out = read_file(out_fd);
    std::fclose(out);
    return outcome;
}

Outcome run_to_pipe(const Launch& launch)
{
    int ends[2];
    if (pipe(ends) != 0) {
        Outcome outcome;
        outcome.not_run = std::string("pipe: ") + std::strerror(errno);
        ADD_FAILURE() << outcome.not_run;
        return outcome;
    }
    Launch to_pipe = launch;
    const int write_end = ends[1];
    to_pipe.in_child = [&launch, write_end] {
        redirect_stdout(write_end);
        launch.in_child();
    };
    to_pipe.drain_fd = ends[0];
    to_pipe.close_in_parent.push_back(write_end);
    Outcome outcome = run_inutil(to_pipe);
    close(ends[0]);
    return outcome;
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
