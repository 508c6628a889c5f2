// ripple: blends two BMP pictures ("Input_1.bmp" and "Input_2.bmp", or the
// files named on the command line) into a third ("Output.bmp") with a
// concentric ripple cross-fade around a centre the user types in.
#include <cerrno>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "blend.hpp"
#include "command_line.hpp"
#include "process.hpp"
#include "replies.hpp"
#include "text.hpp"

#ifndef RIPPLE_VERSION
#define RIPPLE_VERSION "?"
#endif

namespace {

int run(const command_line& command)
{
    const std::string* at = &command.input1;  // what a failure to allocate is about
    try {
        // load, check where the output goes, and start reading the pixels
        // while the user answers
        bmp_input in1 = load_bitmap(command.input1);
        at = &command.input2;
        bmp_input in2 = load_bitmap(command.input2);
        match_inputs(in1, in2);
        at = &command.output;
        output_target target = check_output(command.output);
        const reading_plan plan(in1, in2);

        // ask
        at = &stdin_name;
        reply_stream replies(stdin);
        const std::int32_t x = ask_coordinate("Podaj współrzędną x : ", replies, stdout, stderr);
        const std::int32_t y = ask_coordinate("Podaj współrzędną y : ", replies, stdout, stderr);

        // blend into the output, made only of inputs that stayed what they were
        at = &command.output;
        output_file out(command.output, std::move(target));
        blend_files(in1, in2, x, y, out, plan);
        return 0;
    } catch (const ripple_error& e) {
        std::fprintf(stderr, "%s\n", e.what());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: za mało pamięci\n", shown_name(*at).c_str());
    }
    return 1;
}

// What --help and --version print: it must reach stdout, or the run fails
// like any other, with one line on stderr.
int print(const char* text)
{
    errno = 0;
    int err = standard_output_was_closed() ? EBADF : 0;
    if (err == 0 && (std::fputs(text, stdout) < 0 || std::fflush(stdout) != 0))
        err = errno != 0 ? errno : EIO;
    if (err == 0)
        return 0;
    std::fprintf(stderr, "standardowe wyjście: błąd zapisu: %s\n", os_reason(err).c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    prepare_process();
    const std::vector<std::string> args = process_arguments(argc, argv);
    const command_line command = parse_command_line(std::vector<std::string_view>(args.begin(), args.end()));
    switch (command.what) {
    case command_line::action::help:
        return print(usage_text);
    case command_line::action::version:
        return print("ripple " RIPPLE_VERSION "\n");
    case command_line::action::usage_error:
        std::fprintf(stderr, "%s\n", command.problem.c_str());
        return end_process(2);
    case command_line::action::run:
        break;
    }
    return end_process(run(command));
}
