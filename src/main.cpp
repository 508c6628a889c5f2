// ripple: blends two BMP pictures ("Input_1.bmp" and "Input_2.bmp", or the
// files named on the command line) into a third ("Output.bmp") with a
// concentric ripple cross-fade around a centre the user types in.
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "bitmap.hpp"
#include "command_line.hpp"
#include "compose.hpp"
#include "output.hpp"
#include "process.hpp"
#include "replies.hpp"

#ifndef RIPPLE_VERSION
#define RIPPLE_VERSION "?"
#endif

namespace {

int run(const command_line& cl)
{
    const std::string* at = &cl.input1;  // what a failure to allocate is about
    try {
        // load, and start reading the pixels while the user answers
        bmp_input in1 = load_bitmap(cl.input1);
        at = &cl.input2;
        bmp_input in2 = load_bitmap(cl.input2);
        match_inputs(in1, in2);
        const auto used1 = used_bytes(in1, in1), used2 = used_bytes(in2, in1);
        plan_reading(in1.file, used1, in2.file, used2, in1.layout.image_size);

        // ask
        at = &stdin_name;
        const std::int32_t x = ask_coordinate("Podaj współrzędną x : ", stdin, stdout, stderr);
        const std::int32_t y = ask_coordinate("Podaj współrzędną y : ", stdin, stdout, stderr);

        // blend into the output, made only of inputs that stayed what they were
        at = &cl.output;
        in1.file.finish_reading(used1);
        in2.file.finish_reading(used2);
        output_file out(cl.output);
        out.reserve(in1.file.size());
        write_header(out, in1);
        file_sink pixs_out(out, in1.layout.pixel_offset);
        compose_ripple(in1, in2, x, y, pixs_out);
        write_tail(out, in1);
        in1.file.check_unchanged();
        in2.file.check_unchanged();
        out.commit();
        return 0;
    } catch (const ripple_error& e) {
        std::fprintf(stderr, "%s\n", e.what());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: za mało pamięci\n", at->c_str());
    }
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    prepare_process();
    const std::vector<std::string> args = process_arguments(argc, argv);
    const command_line cl = parse_command_line(std::vector<std::string_view>(args.begin(), args.end()));
    switch (cl.what) {
    case command_line::action::help:
        std::fputs(usage_text, stdout);
        return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
    case command_line::action::version:
        std::puts("ripple " RIPPLE_VERSION);
        return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
    case command_line::action::usage_error:
        std::fprintf(stderr, "%s\n", cl.problem.c_str());
        return 2;
    case command_line::action::run:
        break;
    }
    return run(cl);
}
