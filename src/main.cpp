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

#ifndef RIPPLE_VERSION
#define RIPPLE_VERSION "?"
#endif

namespace {

// A step of the run; memory that runs out in it is told as being about
// `name`, the file the step works on.
template <class F>
auto step(const std::string& name, F f)
{
    try {
        return f();
    } catch (const std::bad_alloc&) {
        fail(name, "", ENOMEM);
    }
}

void run(const command_line& command)
{
    // load, check where the output goes, and start reading the pixels
    // while the user answers
    bmp_input in1 = step(command.input1, [&] { return load_bitmap(command.input1); });
    bmp_input in2 = step(command.input2, [&] {
        bmp_input in = load_bitmap(command.input2);
        match_inputs(in1, in);
        return in;
    });
    output_target target = step(command.output, [&] { return check_output(command.output); });
    const reading_plan plan(in1, in2);

    // ask
    const std::pair<std::int32_t, std::int32_t> centre = step(stdin_name, [] {
        reply_stream replies(stdin);
        const std::int32_t x = ask_coordinate("Podaj współrzędną x : ", replies, stdout, stderr);
        return std::pair{x, ask_coordinate("Podaj współrzędną y : ", replies, stdout, stderr)};
    });
    const std::int32_t x = centre.first, y = centre.second;  // a lambda may not take a structured binding in clang 14

    // blend into the output, made only of inputs that stayed what they were
    step(command.output, [&] {
        output_file out(command.output, std::move(target));
        blend_files(in1, in2, x, y, out, plan, standard_error_is_terminal() ? stderr : nullptr);
    });
}

// What --help and --version print must reach stdout, or the run fails like
// any other.
void print(const char* text)
{
    errno = 0;
    if (standard_output_was_closed())
        fail(stdout_name, "błąd zapisu", EBADF);
    if (std::fputs(text, stdout) < 0 || std::fflush(stdout) != 0)
        fail(stdout_name, "błąd zapisu", errno != 0 ? errno : EIO);
}

int status_of(const command_line& command)
{
    switch (command.what) {
    case command_line::action::help: print(usage_text); return 0;
    case command_line::action::version: print("ripple " RIPPLE_VERSION "\n"); return 0;
    case command_line::action::usage_error: std::fprintf(stderr, "%s\n", command.problem.c_str()); return 2;
    case command_line::action::run: run(command); return 0;
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    prepare_process();
    int status = 1;
    try {
        const std::vector<std::string> args = process_arguments(argc, argv);
        status = status_of(parse_command_line(std::vector<std::string_view>(args.begin(), args.end())));
    } catch (const ripple_error& e) {
        std::fprintf(stderr, "%s\n", e.what());
    } catch (const std::exception& e) {
        // A fault of the program's own, never of the user's input.
        std::fprintf(stderr, "ripple: błąd programu: %s\n", e.what());
    }
    return end_process(status);
}
