#include "harness.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Only a guard against a hung program; no test asserts anything about time.
constexpr auto hang_limit = std::chrono::seconds(60);

[[noreturn]] void exec_program(const Launch& launch)
{
    std::vector<char*> argv;
    std::string name = INUTIL_PROGRAM;
    argv.push_back(name.data());
    std::vector<std::string> args = launch.args;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    // Only the three standard streams go through, so that no stray pipe end keeps a reader alive.
    close_range(3, ~0U, 0);
    char* no_environment[] = {nullptr};
    execve(INUTIL_PROGRAM, argv.data(), launch.empty_environment ? no_environment : environ);
    _exit(127);
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

std::string expected_output()
{
    std::string all;
    for (int i = 0; i < 80; i++)
        all += "Este sistema operativo si que es inutil\n\a";
    return all;
}

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

std::string with_crlf_line_ends(const std::string& text)
{
    std::string result;
    for (char c : text)
        result += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return result;
}

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

void redirect_stdout(int fd)
{
    if (fd != STDOUT_FILENO) {
        dup2(fd, STDOUT_FILENO);
        close(fd);
    }
}

Outcome run_inutil(const Launch& launch)
{
    Outcome outcome;
    std::FILE* err_file = std::tmpfile();
    if (err_file == nullptr) {
        ADD_FAILURE() << "tmpfile: " << std::strerror(errno);
        return outcome;
    }
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        reset_signals();
        int null_in = open("/dev/null", O_RDONLY);
        dup2(null_in, STDIN_FILENO);
        dup2(fileno(err_file), STDERR_FILENO);
        launch.in_child();
        exec_program(launch);
    }
    for (int fd : launch.close_in_parent)
        close(fd);
    if (launch.drain_fd != -1)
        fcntl(launch.drain_fd, F_SETFL, fcntl(launch.drain_fd, F_GETFL) | O_NONBLOCK);

    const auto give_up_at = std::chrono::steady_clock::now() + hang_limit;
    for (;;) {
        if (launch.drain_fd != -1) {
            pollfd readable = {launch.drain_fd, POLLIN, 0};
            poll(&readable, 1, 10);
            outcome.out += read_until_end(launch.drain_fd);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (waitpid(pid, &outcome.wait_status, WNOHANG) == pid)
            break;
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
    outcome.err = read_file(fileno(err_file));
    std::fclose(err_file);
    return outcome;
}

testing::AssertionResult exited_cleanly(const Outcome& outcome)
{
    if (outcome.hung)
        return testing::AssertionFailure() << "hung, and was killed";
    if (WIFSIGNALED(outcome.wait_status))
        return testing::AssertionFailure() << "killed by signal " << WTERMSIG(outcome.wait_status) << " ("
                                           << strsignal(WTERMSIG(outcome.wait_status)) << ")";
    if (!WIFEXITED(outcome.wait_status) || WEXITSTATUS(outcome.wait_status) != 0)
        return testing::AssertionFailure() << "exit status " << WEXITSTATUS(outcome.wait_status);
    if (!outcome.err.empty())
        return testing::AssertionFailure()
               << "wrote to standard error: " << testing::PrintToString(outcome.err);
    return testing::AssertionSuccess();
}

Outcome run_to_file(const Launch& launch)
{
    std::FILE* out = std::tmpfile();
    if (out == nullptr) {
        ADD_FAILURE() << "tmpfile: " << std::strerror(errno);
        return {};
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
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return {};
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
