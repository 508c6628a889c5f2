// The user's replies to the two prompts: a coordinate in "%i" syntax, and a
// refused reply shown back safely.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

// How messages name the replies' source, and the prompts' destination.
inline const std::string stdin_name = "standardowe wejście";
inline const std::string stdout_name = "standardowe wyjście";

// A whole token in "%i" syntax (a sign, then decimal, 0-octal or 0x-hex),
// fed one character at a time so that no number of leading zeros is too
// long to hold. A centre outside the picture is fine, so 32 bits are the
// only bound.
class coordinate_parser {
public:
    void feed(char c);
    std::optional<std::int32_t> result() const;

private:
    int base_ = 0;
    bool started_ = false, negative_ = false, digits_ = false, bad_ = false, maybe_hex_ = false;
    std::uint64_t value_ = 0;  // saturates just above 2^31
};

// The value of a whole token, or nothing if it is not such a number.
std::optional<std::int32_t> parse_coordinate(std::string_view token);

// How a refused reply is shown on a terminal: at most 40 characters, cut
// between characters and followed by "…" where there was more (or where
// `longer`), shown as shown_text shows it.
std::string shown_reply(std::string_view raw, bool longer = false);

// The replies as they come from a stream: a byte-order mark at its very
// start, which Windows editors put in front of a file saved as UTF-8
// (Notepad, PowerShell 5's Out-File), is no part of them.
class reply_stream {
public:
    explicit reply_stream(std::FILE* in) : in_(in) {}
    int get();  // a byte as unsigned char, or EOF
    bool failed() const { return std::ferror(in_) != 0; }

private:
    std::FILE* in_;
    bool started_ = false;
    unsigned char ahead_[3] = {};
    int ahead_count_ = 0, ahead_next_ = 0;
};

// Prints `prompt` to `out` and reads one reply from `in`, asking again after
// a refused one, which is reported on `err`. Replies are whitespace-separated
// tokens, so "320 240" on one line answers both prompts; a refused reply
// drops the rest of its line. Throws a ripple_error where the input ends or
// cannot be read, or the prompt cannot be written.
std::int32_t ask_coordinate(const char* prompt, reply_stream& in, std::FILE* out, std::FILE* err);
