// What the program writes, and that nothing around it changes that: command line, standard input, terminals.
#include "harness.h"

#include <cstdio>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

std::vector<std::string> split_at_line_feeds(const std::string& text)
{
    std::vector<std::string> pieces(1);
    for (char c : text) {
        if (c == '\n')
            pieces.emplace_back();
        else
            pieces.back() += c;
    }
    return pieces;
}

TEST(Output, FileHoldsTheEightyCopiesAndNothingElse)
{
    const Outcome outcome = run_to_file({});
    const std::string& file = outcome.out;
    EXPECT_TRUE(exited_cleanly(outcome));
    EXPECT_EQ(file.size(), 3280u);
    EXPECT_EQ(file, expected_output());
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(file.front(), 'E');
    EXPECT_EQ(file.back(), '\a');
}

TEST(Output, SplitAtLineFeedsGivesEightyOnePieces)
{
    const std::vector<std::string> pieces = split_at_line_feeds(run_to_file({}).out);
    ASSERT_EQ(pieces.size(), 81u);
    EXPECT_EQ(pieces.front(), "Este sistema operativo si que es inutil");
    for (size_t i = 1; i < 80; i++)
        EXPECT_EQ(pieces[i], "\aEste sistema operativo si que es inutil") << "piece " << i;
    EXPECT_EQ(pieces.back(), "\a");
}

TEST(Output, PipeCarriesTheSameBytes)
{
    Outcome outcome = run_to_pipe({});
    EXPECT_TRUE(exited_cleanly(outcome));
    EXPECT_EQ(outcome.out, expected_output());
}

class CommandLine : public testing::TestWithParam<std::vector<std::string>> {};

TEST_P(CommandLine, IsIgnored)
{
    Launch launch;
    launch.args = GetParam();
    const Outcome outcome = run_to_file(launch);
    EXPECT_TRUE(exited_cleanly(outcome));
    EXPECT_EQ(outcome.out, expected_output());
}

INSTANTIATE_TEST_SUITE_P(Arguments, CommandLine,
                         testing::Values(std::vector<std::string>{}, std::vector<std::string>{"--help"},
                                         std::vector<std::string>{"--version", "-h", "-", "--"},
                                         std::vector<std::string>{"%s%n%d%%"},
                                         std::vector<std::string>{"", "a b", "\n", "\a"},
                                         std::vector<std::string>{"\xff\xfe not text"},
                                         std::vector<std::string>{"-n", "1", ">", "/dev/null"}));

// Each sets up the child's standard input; the parent keeps a pipe's write end open and silent throughout.
struct StandardInput {
    const char* name;
    void (*set_up)(int held_pipe_read_end);
};

class Input : public testing::TestWithParam<StandardInput> {};

TEST_P(Input, IsNeverRead)
{
    int held[2];
    ASSERT_EQ(pipe(held), 0);
    Launch launch;
    const int held_read_end = held[0];
    const StandardInput input = GetParam();
    launch.in_child = [input, held_read_end] { input.set_up(held_read_end); };
    const Outcome outcome = run_to_file(launch);
    close(held[0]);
    close(held[1]);
    EXPECT_TRUE(exited_cleanly(outcome));
    EXPECT_EQ(outcome.out, expected_output());
}

INSTANTIATE_TEST_SUITE_P(
    StandardInputs, Input,
    testing::Values(StandardInput{"Closed", [](int) { close(STDIN_FILENO); }},
                    StandardInput{"EmptyFile", [](int) { dup2(fileno(std::tmpfile()), STDIN_FILENO); }},
                    StandardInput{"PipeNeverWritten", [](int read_end) { dup2(read_end, STDIN_FILENO); }}),
    [](const testing::TestParamInfo<StandardInput>& info) { return info.param.name; });

TEST(Output, TerminalReceivesTheSameBytes)
{
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    Launch launch;
    launch.in_child = [slave] {
        setsid();
        redirect_stdout(slave);
    };
    launch.drain_fd = master;
    launch.close_in_parent.push_back(slave);
    Outcome outcome = run_inutil(launch);
    close(master);
    EXPECT_TRUE(exited_cleanly(outcome));
    EXPECT_EQ(outcome.out, with_crlf_line_ends(expected_output()));
}

}  // namespace
