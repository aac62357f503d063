// What the program writes, and that nothing around it changes that: command line, standard input.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include "cases.h"

namespace {

Outcome run_to_terminal(const Launch& launch)
{
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        Outcome outcome;
        outcome.not_run = "openpty failed";
        ADD_FAILURE() << outcome.not_run;
        return outcome;
    }
    Launch to_terminal = launch;
    to_terminal.in_child = [&launch, slave] {
        must(setsid(), "setsid");
        redirect_stdout(slave);
        launch.in_child();
    };
    to_terminal.drain_fd = master;
    to_terminal.close_in_parent.push_back(slave);
    Outcome outcome = run_inutil(to_terminal);
    close(master);
    return outcome;
}

struct StdoutKind {
    const char* name;
    unsigned platforms;
    Outcome (*run)(const Launch&);
    bool terminal;  // its driver passes each line feed on as CR LF
};

const StdoutKind stdout_kinds[] = {
    {"File", every_platform, run_to_file, false},
    {"Pipe", every_platform, run_to_pipe, false},
    {"Terminal", linux_platform, run_to_terminal, true},
};

std::string expected_on(const StdoutKind& kind)
{
    return kind.terminal ? with_crlf_line_ends(expected_output()) : expected_output();
}

class Output : public testing::TestWithParam<StdoutKind> {};

TEST_P(Output, HoldsTheEightyCopiesAndNothingElse)
{
    const Outcome outcome = GetParam().run({});
    EXPECT_TRUE(exited_cleanly(outcome));
    EXPECT_TRUE(same_bytes(outcome.out, expected_on(GetParam())));
}

std::vector<std::string> split(const std::string& text, const std::string& separator)
{
    std::vector<std::string> pieces;
    size_t start = 0;
    for (size_t at; (at = text.find(separator, start)) != std::string::npos; start = at + separator.size())
        pieces.push_back(text.substr(start, at - start));
    pieces.push_back(text.substr(start));
    return pieces;
}

TEST_P(Output, SplitAtLineEndsGivesEightyOnePieces)
{
    const bool crlf = GetParam().terminal || target_platform() == windows_platform;
    const std::vector<std::string> pieces = split(GetParam().run({}).out, crlf ? "\r\n" : "\n");
    ASSERT_EQ(pieces.size(), 81U);
    EXPECT_EQ(pieces.front(), "Este sistema operativo si que es inutil");
    for (size_t i = 1; i < 80; i++)
        EXPECT_EQ(pieces[i], "\aEste sistema operativo si que es inutil") << "piece " << i;
    EXPECT_EQ(pieces.back(), "\a");
}

INSTANTIATE_TEST_SUITE_P(Linux, Output, testing::ValuesIn(cases_on(linux_platform, stdout_kinds)),
                         CaseName());
INSTANTIATE_TEST_SUITE_P(Windows, Output, testing::ValuesIn(cases_on(windows_platform, stdout_kinds)),
                         CaseName());
INSTANTIATE_TEST_SUITE_P(Wasi, Output, testing::ValuesIn(cases_on(wasi_platform, stdout_kinds)), CaseName());

struct CommandLineCase {
    const char* name;
    unsigned platforms;
    std::vector<std::string> args;
};

const CommandLineCase command_lines[] = {
    {"None", every_platform, {}},
    {"Help", every_platform, {"--help"}},
    {"Options", every_platform, {"--version", "-h", "-", "--"}},
    {"FormatDirectives", every_platform, {"%s%n%d%%"}},
    {"EmptyAndControlCharacters", every_platform, {"", "a b", "\n", "\a"}},
    {"NotText", linux_platform, {"\xff\xfe not text"}},
    {"ShellSyntax", every_platform, {"-n", "1", ">", "/dev/null"}},
    {"WindowsStyle", every_platform, {"/?", "/h", "-?", "C:\\Windows", "\"quoted\""}},
};

class CommandLine : public testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLine, IsIgnored)
{
    Launch launch;
    launch.args = GetParam().args;
    const Outcome outcome = run_to_file(launch);
    EXPECT_TRUE(exited_cleanly(outcome));
    EXPECT_TRUE(same_bytes(outcome.out, expected_output()));
}

INSTANTIATE_TEST_SUITE_P(Linux, CommandLine, testing::ValuesIn(cases_on(linux_platform, command_lines)),
                         CaseName());
INSTANTIATE_TEST_SUITE_P(Windows, CommandLine, testing::ValuesIn(cases_on(windows_platform, command_lines)),
                         CaseName());
INSTANTIATE_TEST_SUITE_P(Wasi, CommandLine, testing::ValuesIn(cases_on(wasi_platform, command_lines)),
                         CaseName());

// Standard input as the parent holds it while the program runs; the program must leave it as it was.
struct HeldInput {
    int fd = -1;    // becomes the child's standard input; -1 for closed
    int held = -1;  // a pipe's write end that the parent keeps open and silent
    bool ready = true;
};

HeldInput file_holding(const std::string& content)
{
    const int fd = temporary_file(content);
    return {fd, -1, fd != -1};
}

HeldInput pipe_holding(const std::string& content)
{
    int ends[2];
    if (pipe(ends) != 0 ||
        write(ends[1], content.data(), content.size()) != static_cast<ssize_t>(content.size()))
        return {-1, -1, false};
    return {ends[0], ends[1], true};
}

const std::string unread = "never to be read\n";

testing::AssertionResult offset_still_zero(const HeldInput& input)
{
    const off_t offset = lseek(input.fd, 0, SEEK_CUR);
    if (offset != 0)
        return testing::AssertionFailure() << "standard input's offset moved to " << offset;
    return testing::AssertionSuccess();
}

testing::AssertionResult pipe_still_holds_its_content(const HeldInput& input)
{
    if (fcntl(input.fd, F_SETFL, O_NONBLOCK) == -1)
        return testing::AssertionFailure() << "cannot make the pipe non-blocking to look into it";
    char buffer[64];
    const ssize_t got = read(input.fd, buffer, sizeof buffer);
    if (got != static_cast<ssize_t>(unread.size()) || std::string(buffer, got) != unread)
        return testing::AssertionFailure() << "the pipe lost what it held: " << got << " bytes left";
    return testing::AssertionSuccess();
}

testing::AssertionResult nothing_to_check(const HeldInput&)
{
    return testing::AssertionSuccess();
}

struct StandardInput {
    const char* name;
    unsigned platforms;
    HeldInput (*set_up)();
    testing::AssertionResult (*left_as_it_was)(const HeldInput&);
};

const StandardInput standard_inputs[] = {
    // Under Node a WASI module's closed standard input is /dev/null, which EmptyFile already covers.
    {"Closed", linux_platform | windows_platform, [] { return HeldInput{}; }, nothing_to_check},
    {"EmptyFile", every_platform, [] { return file_holding(""); }, offset_still_zero},
    {"NonEmptyFile", every_platform, [] { return file_holding(unread); }, offset_still_zero},
    {"PipeNeverWritten", every_platform, [] { return pipe_holding(""); }, nothing_to_check},
    {"PipeHoldingData", every_platform, [] { return pipe_holding(unread); }, pipe_still_holds_its_content},
};

class Input : public testing::TestWithParam<StandardInput> {};

TEST_P(Input, IsNeverRead)
{
    const HeldInput input = GetParam().set_up();
    ASSERT_TRUE(input.ready) << "could not set up standard input: " << std::strerror(errno);
    Launch launch;
    launch.in_child = [input] {
        if (input.fd == -1)
            close(STDIN_FILENO);
        else
            must(dup2(input.fd, STDIN_FILENO), "dup2 onto standard input");
    };
    const Outcome outcome = run_to_file(launch);
    EXPECT_TRUE(exited_cleanly(outcome));
    EXPECT_TRUE(same_bytes(outcome.out, expected_output()));
    EXPECT_TRUE(GetParam().left_as_it_was(input));
    close(input.fd);
    close(input.held);
}

INSTANTIATE_TEST_SUITE_P(Linux, Input, testing::ValuesIn(cases_on(linux_platform, standard_inputs)),
                         CaseName());
INSTANTIATE_TEST_SUITE_P(Windows, Input, testing::ValuesIn(cases_on(windows_platform, standard_inputs)),
                         CaseName());
INSTANTIATE_TEST_SUITE_P(Wasi, Input, testing::ValuesIn(cases_on(wasi_platform, standard_inputs)),
                         CaseName());

}  // namespace
