// ripple: blends "Input_1.bmp" and "Input_2.bmp" into "Output.bmp" with a
// concentric ripple cross-fade around a centre the user types in.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <string>

#include "bitmap.hpp"
#include "ripple.hpp"

namespace {

const std::string name_in1 = "Input_1.bmp";
const std::string name_in2 = "Input_2.bmp";
const std::string name_out = "Output.bmp";

bool is_space(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The whole token in "%i" syntax (sign, then decimal, 0-octal or 0x-hex),
// within 32 bits. A centre outside the picture is fine, so no other bound.
std::optional<std::int32_t> parse_i32(const std::string& tok)
{
    if (tok.empty())
        return std::nullopt;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(tok.c_str(), &end, 0);
    if (errno != 0 || end != tok.c_str() + tok.size() || v < INT32_MIN || v > INT32_MAX)
        return std::nullopt;
    return std::int32_t(v);
}

// Replies are whitespace-separated tokens, so "320 240" on one line answers
// both prompts. A bad reply drops the rest of its line and asks again.
std::int32_t ask_coordinate(const char* prompt)
{
    for (;;) {
        std::fputs(prompt, stdout);
        std::fflush(stdout);
        int c;
        while ((c = std::getchar()) != EOF && is_space(c)) {
        }
        if (c == EOF)
            throw ripple_error("standardowe wejście: dane skończyły się przed podaniem obu "
                               "współrzędnych");
        std::string tok;
        bool too_long = false;
        for (; c != EOF && !is_space(c); c = std::getchar()) {
            if (tok.size() < 40)
                tok += (c < 0x20 || c == 0x7f) ? '?' : char(c);
            else
                too_long = true;
        }
        if (auto v = parse_i32(tok); v && !too_long)
            return *v;
        while (c != EOF && c != '\n')
            c = std::getchar();
        std::fprintf(stderr,
                     "nieprawidłowa odpowiedź „%s%s”: potrzebna liczba całkowita z zakresu od "
                     "-2147483648 do 2147483647 (np. 320, -5, 0x1F, 017)\n",
                     tok.c_str(), too_long ? "…" : "");
    }
}

}  // namespace

int main()
{
    try {
        bmp_input in1 = load_bitmap(name_in1, true);
        bmp_input in2 = load_bitmap(name_in2, false);
        match_inputs(in1, name_in1, in2, name_in2);

        std::int32_t x = ask_coordinate("Podaj współrzędną x : ");
        std::int32_t y = ask_coordinate("Podaj współrzędną y : ");

        output_file out(name_out);
        out.reserve(header_size(in1) + image_size(in1));
        write_header(out, in1);
        std::int32_t pad_out = std::int32_t(row_pad(in1.width));
        pixs_out = alloc_block(image_size(in1), name_out);
        compose_ripple(in1, in2, pad_out, x, y);
        write_pixels(out);
        out.commit();
        return 0;
    } catch (const ripple_error& e) {
        std::fprintf(stderr, "%s\n", e.what());
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "ripple: brak pamięci\n");
    }
    return 1;
}
