// Runs the program under test in a child process whose standard streams and process state a test sets up.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/types.h>

// The platform that the binary under test was built for; it decides the expected line ends. A test's
// name begins with the platform it applies to, so that a target picks its cases by that prefix.
enum Platform : unsigned { linux_platform = 1U << 0U, windows_platform = 1U << 1U, wasi_platform = 1U << 2U };
constexpr unsigned every_platform = linux_platform | windows_platform | wasi_platform;

Platform target_platform();

// Parses the suite's own arguments, after GoogleTest has taken its flags:
//   --platform=Linux|Windows|Wasi -- [EMULATOR...] PROGRAM
// Returns an explanation when the arguments are wrong, or an empty string.
std::string configure_target(int argc, char** argv);

// Everything the program writes when nothing goes wrong, in the target's line ends.
std::string expected_output();

// The text as a terminal driver that maps each line feed to CR LF (ONLCR, the default) passes it on.
std::string with_crlf_line_ends(const std::string& text);

struct Outcome {
    int wait_status = 0;
    std::string not_run;  // why the program could not be started, or empty
    bool hung = false;    // still running after the guard's limit, then killed
    std::string out;      // what arrived on standard output, where the test captured it
    std::string err;      // what the program wrote to standard error
};

struct Launch {
    std::vector<std::string> args;
    // Runs in the child just before exec, after stdin became /dev/null, stderr a capture
    // file, and every signal default and unblocked; it sets up the condition under test.
    // A step that fails calls must(), which reports it and ends the child.
    std::function<void()> in_child = [] {};
    // Runs in the parent once the child is started, with its process id.
    std::function<void(pid_t)> on_start = [](pid_t) {};
    // Read while the program runs and until end of file, as a pipe's or terminal's reader would.
    int drain_fd = -1;
    // The parent's copies of what the child took, closed once it is started so that the drain ends.
    std::vector<int> close_in_parent;
    // The program's environment; this process's own when not given.
    std::optional<std::vector<std::string>> environment;
};

Outcome run_inutil(const Launch& launch);

// Runs with standard output a new regular file, or a new pipe drained as it fills, after the
// launch's own set-up; the outcome's out is what arrived there.
Outcome run_to_file(const Launch& launch);
Outcome run_to_pipe(const Launch& launch);

// The bytes that arrived are the expected ones; says where they first differ instead.
testing::AssertionResult same_bytes(const std::string& arrived, const std::string& expected);

// Exit status 0 and nothing on standard error; says what happened instead.
testing::AssertionResult exited_cleanly(const Outcome& outcome);

// In the child: a set-up step that returned -1 ends the child with a report that fails the test,
// instead of running the program on a condition that was never set up. Returns the result.
int must(int result, const char* step);

// In the child: a condition that the case relies on, reported like a failed step when it does not hold.
void must_hold(bool condition, const char* what);

// Makes the child's standard output this descriptor; closes it in the child when it is not fd 1.
void redirect_stdout(int fd);

// Writes filler without blocking until the pipe holds no more; returns what went in, or nothing when
// it could not be filled. The descriptor's flags stay as they were.
std::optional<std::string> fill(int fd);

// Runs the launch; on a thread of its own, once the program is blocked in a write or has ended, runs
// ACTION with whether it is blocked: the condition on which a slow reader starts to read. Under an
// emulator the process is the emulator, whose host write is what counts. The launch's own on_start
// runs first.
Outcome run_inutil_once_it_waits(Launch launch, const std::function<void(bool blocked_in_write)>& action);

// A new file holding CONTENT, unlinked; -1 when it could not be made.
int temporary_file(const std::string& content);
