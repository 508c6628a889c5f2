// ripple: blends "Input_1.bmp" and "Input_2.bmp" into "Output.bmp" with a
// concentric ripple cross-fade around a centre the user types in.
#include <cerrno>
#include <cstdio>
#include <new>
#include <optional>
#include <string>

#include "bitmap.hpp"
#include "ripple.hpp"

namespace {

const std::string name_in1 = "Input_1.bmp";
const std::string name_in2 = "Input_2.bmp";
const std::string name_out = "Output.bmp";
const std::string name_stdin = "standardowe wejście";

bool is_space(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// A whole token in "%i" syntax (sign, then decimal, 0-octal or 0x-hex)
// within 32 bits, read one character at a time, so that no length of
// leading zeros is too long. A centre outside the picture is fine, so 32
// bits are the only bound.
class number_reader {
    int base = 0;
    bool negative = false, digits = false, bad = false, maybe_hex = false;
    std::size_t length = 0;
    std::uint64_t value = 0;  // saturates just above 2^31

public:
    void feed(char c)
    {
        const bool first = length++ == 0;
        if (bad)
            return;
        if (first && (c == '+' || c == '-')) {
            negative = c == '-';
            return;
        }
        if (maybe_hex && (c == 'x' || c == 'X')) {
            base = 16;
            digits = maybe_hex = false;
            return;
        }
        maybe_hex = false;
        if (base == 0) {
            base = c == '0' ? 8 : 10;
            maybe_hex = c == '0';
        }
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : 99;
        if (digit >= base) {
            bad = true;
            return;
        }
        digits = true;
        value = std::min<std::uint64_t>(value * std::uint64_t(base) + std::uint64_t(digit),
                                        (std::uint64_t(1) << 31) + 1);
    }

    std::optional<std::int32_t> result() const
    {
        if (bad || !digits || value > (std::uint64_t(1) << 31) - (negative ? 0 : 1))
            return std::nullopt;
        return std::int32_t(negative ? -std::int64_t(value) : std::int64_t(value));
    }
};

// The start of a refused reply as it may be shown on a terminal: at most
// 40 characters, cut between characters, with every control character (C0,
// DEL, C1) and every byte that is not valid UTF-8 shown as "?".
std::string shown(const std::string& raw, bool longer)
{
    std::string out;
    std::size_t i = 0;
    for (int chars = 0; i < raw.size() && chars < 40; chars++) {
        const auto c = static_cast<unsigned char>(raw[i]);
        const std::size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        char32_t cp = len == 1 ? c : len == 2 ? c & 0x1f : len == 3 ? c & 0x0f : c & 0x07;
        bool valid = len > 0 && i + len <= raw.size();
        for (std::size_t k = 1; valid && k < len; k++) {
            const auto b = static_cast<unsigned char>(raw[i + k]);
            valid = (b & 0xc0) == 0x80;
            cp = cp << 6 | (b & 0x3f);
        }
        const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        valid = valid && cp >= least[len] && cp <= 0x10ffff && (cp < 0xd800 || cp > 0xdfff);
        const bool control = cp < 0x20 || (cp >= 0x7f && cp < 0xa0);
        if (valid && !control)
            out.append(raw, i, len);
        else
            out += '?';
        i += valid ? len : 1;
    }
    return i < raw.size() || longer ? out + "…" : out;
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
        if (c == EOF && std::ferror(stdin))
            fail(name_stdin, "błąd odczytu: " + os_reason(errno));
        if (c == EOF)
            fail(name_stdin, "dane skończyły się przed podaniem obu współrzędnych");
        number_reader number;
        std::string raw;  // enough of it for any 40 characters
        bool longer = false;
        for (; c != EOF && !is_space(c); c = std::getchar()) {
            number.feed(char(c));
            if (raw.size() < 4 * 40)
                raw += char(c);
            else
                longer = true;
        }
        if (auto v = number.result())
            return *v;
        while (c != EOF && c != '\n')
            c = std::getchar();
        std::fprintf(stderr,
                     "nieprawidłowa odpowiedź „%s”: potrzebna liczba całkowita z zakresu od "
                     "-2147483648 do 2147483647 (np. 320, -5, 0x1F, 017)\n",
                     shown(raw, longer).c_str());
    }
}

}  // namespace

int main()
{
    const std::string* at = &name_in1;  // what a failure to allocate is about
    try {
        bmp_input in1 = load_bitmap(name_in1);
        at = &name_in2;
        bmp_input in2 = load_bitmap(name_in2);
        match_inputs(in1, name_in1, in2, name_in2);
        plan_reading(in1, in2);

        at = &name_stdin;
        std::int32_t x = ask_coordinate("Podaj współrzędną x : ");
        std::int32_t y = ask_coordinate("Podaj współrzędną y : ");

        at = &name_out;
        output_file out(name_out);
        out.reserve(in1.file.size);
        write_header(out, in1);
        std::int32_t pad_out = std::int32_t(row_pad(in1.width));
        pixs_out = pixels_in_file(out, in1.pixel_offset, image_size(in1));
        compose_ripple(in1, in2, pad_out, x, y);
        write_tail(out, in1);
        // The output is made only of inputs that stayed what they were.
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
