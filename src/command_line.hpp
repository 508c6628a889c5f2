// The command line: `ripple [PIERWSZY DRUGI [WYNIK]]`, --help and --version.
#pragma once

#include <span>
#include <string>
#include <string_view>

struct command_line {
    enum class action { run, help, version, usage_error } what = action::run;
    std::string input1 = "Input_1.bmp", input2 = "Input_2.bmp", output = "Output.bmp";
    std::string problem;  // for a usage error: one line that points to --help
};

// Reads the arguments after the program's name.
command_line parse_command_line(std::span<const std::string_view> args);

// The text --help prints.
extern const char* const usage_text;
