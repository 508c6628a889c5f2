#include "replies.hpp"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "error.hpp"
#include "text.hpp"

namespace {

bool is_space(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int digit_value(char c)
{
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : 99;
}

}  // namespace

void coordinate_parser::feed(char c)
{
    const bool first = !std::exchange(started_, true);
    if (bad_)
        return;
    if (first && (c == '+' || c == '-')) {
        negative_ = c == '-';
        return;
    }
    if (maybe_hex_ && (c == 'x' || c == 'X')) {
        base_ = 16;
        digits_ = maybe_hex_ = false;
        return;
    }
    maybe_hex_ = false;
    if (base_ == 0) {
        base_ = c == '0' ? 8 : 10;
        maybe_hex_ = c == '0';
    }
    const int digit = digit_value(c);
    if (digit >= base_) {
        bad_ = true;
        return;
    }
    digits_ = true;
    value_ = std::min<std::uint64_t>(value_ * std::uint64_t(base_) + std::uint64_t(digit),
                                     (std::uint64_t(1) << 31) + 1);
}

std::optional<std::int32_t> coordinate_parser::result() const
{
    if (bad_ || !digits_ || value_ > (std::uint64_t(1) << 31) - (negative_ ? 0 : 1))
        return std::nullopt;
    return std::int32_t(negative_ ? -std::int64_t(value_) : std::int64_t(value_));
}

std::optional<std::int32_t> parse_coordinate(std::string_view token)
{
    coordinate_parser p;
    for (char c : token)
        p.feed(c);
    return p.result();
}

std::string shown_reply(std::string_view raw, bool longer) { return shown_text(raw, 40, longer); }

int reply_stream::get()
{
    if (!started_) {
        started_ = true;
        static constexpr unsigned char mark[] = {0xef, 0xbb, 0xbf};
        for (int c; ahead_count_ < 3 && (c = std::getc(in_)) != EOF;) {
            ahead_[ahead_count_++] = static_cast<unsigned char>(c);
            if (c != mark[ahead_count_ - 1])
                break;
        }
        if (ahead_count_ == 3 && ahead_[2] == mark[2])
            ahead_count_ = 0;
    }
    return ahead_next_ < ahead_count_ ? ahead_[ahead_next_++] : std::getc(in_);
}

std::int32_t ask_coordinate(const char* prompt, reply_stream& in, std::FILE* out, std::FILE* err)
{
    for (;;) {
        // A reader that went away (a closed pipe) or a full disk ends the
        // run like any other failure, not silently.
        errno = 0;
        if (std::fputs(prompt, out) < 0 || std::fflush(out) != 0)
            fail(stdout_name, "błąd zapisu", errno != 0 ? errno : EIO);
        int c;
        while ((c = in.get()) != EOF && is_space(c)) {
        }
        if (c == EOF && in.failed())
            fail(stdin_name, "błąd odczytu", errno);
        if (c == EOF)
            fail(stdin_name, "dane skończyły się przed podaniem obu współrzędnych");
        coordinate_parser number;
        std::string raw;  // enough of it for any 40 characters
        bool longer = false;
        for (; c != EOF && !is_space(c); c = in.get()) {
            number.feed(char(c));
            if (raw.size() < 4 * 40)
                raw += char(c);
            else
                longer = true;
        }
        if (auto v = number.result())
            return *v;
        while (c != EOF && c != '\n')
            c = in.get();
        std::fprintf(err,
                     "nieprawidłowa odpowiedź „%s”: potrzebna liczba całkowita z zakresu od "
                     "-2147483648 do 2147483647 (np. 320, -5, 0x1F, 017)\n",
                     shown_reply(raw, longer).c_str());
    }
}
