#include <gtest/gtest.h>

#include <cerrno>

#include "error.hpp"
#include "replies.hpp"
#include "test_files.hpp"
#include "text.hpp"

// A refused reply reaches the terminal as at most 40 whole characters, and
// nothing in it can steer the terminal.
TEST(shown_reply, shows_at_most_40_printable_characters)
{
    const std::string forty(40, '0'), a39(39, 'a');
    const std::pair<std::string, std::string> cases[] = {
        {"abc", "abc"},
        {forty, forty},
        {forty + "abc", forty + "…"},
        {a39 + "żb", a39 + "ż…"},              // cut after a whole 2-byte character
        {a39 + "€b", a39 + "€…"},              // and a whole 3-byte one
        {"\xc2\x9b" "2J", "?2J"},              // C1: a CSI
        {"\x1b[1m\xff", "?[1m?"},              // ESC and a byte that is never UTF-8
        {"a\x7f" "b", "a?b"},                  // DEL
        {"\xc0\xaf", "??"},                    // an overlong "/"
        {"\xed\xa0\x80", "???"},               // a surrogate
        {"\xe2\x82", "??"},                    // a character cut short
        {"zażółć", "zażółć"},
        {a39 + "\xf0\x9d\x84\x9e" "b", a39 + "\xf0\x9d\x84\x9e" "…"},  // a whole 4-byte one
        {"\xf4\x90\x80\x80", "????"},     // past U+10FFFF
        {"\xf8\x88\x80\x80\x80", "?????"}, // a 5-byte form, never UTF-8
    };
    for (const auto& [raw, shown] : cases)
        EXPECT_EQ(shown_reply(raw), shown) << raw;
    EXPECT_EQ(shown_reply("abc", true), "abc…");
}

// Names are shown whole, by the same rule; an empty one as „”.
TEST(shown_name, shows_controls_and_bad_bytes_as_question_marks)
{
    const std::string long_name(300, 'n');
    const std::pair<std::string, std::string> cases[] = {
        {"Zdjęcia/wakacje.bmp", "Zdjęcia/wakacje.bmp"},
        {"two\nlines.bmp", "two?lines.bmp"},
        {"\x1b]0;title\x07.bmp", "?]0;title?.bmp"},
        {"\x9b" "2J", "?2J"},
        {long_name, long_name},
        {"", "„”"},
    };
    for (const auto& [raw, shown] : cases)
        EXPECT_EQ(shown_name(raw), shown) << raw;
    EXPECT_EQ(error_of([] { fail("two\nlines.bmp", "coś"); }), "two?lines.bmp: coś");
}

// What nobody foresaw keeps its number.
TEST(os_reason, keeps_the_number_of_what_it_has_no_words_for)
{
    EXPECT_EQ(os_reason(123456), "nieoczekiwany błąd systemowy (errno 123456)");
    EXPECT_EQ(os_reason(-1234), "nieoczekiwany błąd systemu Windows (kod 1234)");
}
