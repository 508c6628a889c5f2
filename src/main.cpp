// ripple: blends "Input_1.bmp" and "Input_2.bmp" into "Output.bmp" with a
// concentric ripple cross-fade around a centre the user types in.
#include <cstdio>
#include <new>
#include <string>

#include "bitmap.hpp"
#include "compose.hpp"
#include "output.hpp"
#include "process.hpp"
#include "replies.hpp"

int main()
{
    const std::string name_in1 = "Input_1.bmp", name_in2 = "Input_2.bmp", name_out = "Output.bmp";
    prepare_process();
    const std::string* at = &name_in1;  // what a failure to allocate is about
    try {
        // load, and start reading the pixels while the user answers
        bmp_input in1 = load_bitmap(name_in1);
        at = &name_in2;
        bmp_input in2 = load_bitmap(name_in2);
        match_inputs(in1, in2);
        const auto used1 = used_bytes(in1, in1), used2 = used_bytes(in2, in1);
        plan_reading(in1.file, used1, in2.file, used2, in1.layout.image_size);

        // ask
        at = &stdin_name;
        const std::int32_t x = ask_coordinate("Podaj współrzędną x : ", stdin, stdout, stderr);
        const std::int32_t y = ask_coordinate("Podaj współrzędną y : ", stdin, stdout, stderr);

        // blend into the output, made only of inputs that stayed what they were
        at = &name_out;
        in1.file.finish_reading(used1);
        in2.file.finish_reading(used2);
        output_file out(name_out);
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
