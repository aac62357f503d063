// Runs the program under test in a child process whose standard streams and process state a test sets up.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

// Everything the program writes when nothing goes wrong, with bare line feeds.
std::string expected_output();

struct Outcome {
    int wait_status = 0;
    bool hung = false;  // still running after the guard's limit, then killed
    std::string out;    // what arrived on standard output, where the test captured it
    std::string err;    // what the program wrote to standard error
};

struct Launch {
    std::vector<std::string> args;
    // Runs in the child just before exec, after stdin became /dev/null, stderr a capture
    // file, and every signal default and unblocked; it sets up the condition under test.
    std::function<void()> in_child = [] {};
    // Read while the program runs and until end of file, as a pipe's or terminal's reader would.
    int drain_fd = -1;
    // The parent's copies of what the child took, closed once it is started so that the drain ends.
    std::vector<int> close_in_parent;
    bool empty_environment = false;
};

Outcome run_inutil(const Launch& launch);

// Runs with standard output a new regular file, or a new pipe drained as it fills, after the
// launch's own set-up; the outcome's out is what arrived there.
Outcome run_to_file(const Launch& launch);
Outcome run_to_pipe(const Launch& launch);

// The whole content of a regular file, read from its start.
std::string read_file(int fd);

// Reads until end of file or, on a non-blocking descriptor, until nothing more is there.
std::string read_until_end(int fd);

// The text as a terminal driver that maps each line feed to CR LF (ONLCR, the default) passes it on.
std::string with_crlf_line_ends(const std::string& text);

// Exit status 0 and nothing on standard error; says what happened instead.
testing::AssertionResult exited_cleanly(const Outcome& outcome);

// Makes the child's standard output this descriptor; closes it in the child when it is not fd 1.
void redirect_stdout(int fd);
