#include <gtest/gtest.h>

#include "command_line.hpp"

TEST(parse_command_line, takes_two_or_three_files_or_one_option)
{
    using act = command_line::action;
    const struct {
        std::vector<std::string_view> args;
        act what;
        std::string in1, in2, out;
    } cases[] = {
        {{}, act::run, "Input_1.bmp", "Input_2.bmp", "Output.bmp"},
        {{"a.bmp", "b.bmp"}, act::run, "a.bmp", "b.bmp", "Output.bmp"},
        {{"a.bmp", "b.bmp", "c/d.bmp"}, act::run, "a.bmp", "b.bmp", "c/d.bmp"},
        {{"--", "-a.bmp", "-"}, act::run, "-a.bmp", "-", "Output.bmp"},
        {{"-", "b.bmp"}, act::run, "-", "b.bmp", "Output.bmp"},  // a file named "-": stdin holds the replies
        {{"--", "--", "b.bmp"}, act::run, "--", "b.bmp", "Output.bmp"},  // only the first -- ends the options
        {{"a.bmp", "--help"}, act::help, "", "", ""},
        {{"--version", "-x"}, act::version, "", "", ""},
        {{"-x"}, act::usage_error, "", "", ""},
        {{"-x", "b.bmp"}, act::usage_error, "", "", ""},  // an unknown option is no name
        {{"--help=1"}, act::usage_error, "", "", ""},
        {{"a.bmp"}, act::usage_error, "", "", ""},
        {{"a", "b", "c", "d"}, act::usage_error, "", "", ""},
        {{"--", "--help"}, act::usage_error, "", "", ""},
    };
    for (const auto& c : cases) {
        const command_line cl = parse_command_line(c.args);
        std::string all;
        for (auto a : c.args)
            all += std::string(a) + " ";
        EXPECT_EQ(cl.what, c.what) << all;
        if (c.what == act::run) {
            EXPECT_EQ(cl.input1 + "|" + cl.input2 + "|" + cl.output, c.in1 + "|" + c.in2 + "|" + c.out) << all;
        }
        if (c.what == act::usage_error) {
            EXPECT_NE(cl.problem.find("; zobacz „ripple --help”"), std::string::npos) << all;
        }
    }
    const std::string_view unknown[] = {"-x", "a.bmp", "b.bmp"};
    EXPECT_EQ(parse_command_line(unknown).problem, "ripple: nieznana opcja „-x”; zobacz „ripple --help”");
}
