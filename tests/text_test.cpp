#include <gtest/gtest.h>

#include <cerrno>

#include "error.hpp"
#include "progress.hpp"
#ifdef _WIN32
#include "win32.hpp"
#endif
#include "replies.hpp"
#include "test_files.hpp"
#include "text.hpp"

// A refused reply reaches the terminal as at most 40 whole characters, and
// nothing in it can steer the terminal.
TEST(shown_reply, shows_at_most_40_printable_characters)
{
    const std::string forty(40, '0'), a39(39, 'a'), polish = "zażółćgęśląjaźń";
    const std::pair<std::string, std::string> cases[] = {
        {"abc", "abc"},
        {forty, forty},
        {forty + "abc", forty + "…"},
        {a39 + "żb", a39 + "ż…"},              // cut after a whole 2-byte character
        {a39 + "€b", a39 + "€…"},              // and a whole 3-byte one
        {a39 + "\xf0\x9d\x84\x9e" "b", a39 + "\xf0\x9d\x84\x9e" "…"},  // and a whole 4-byte one
        {polish + polish + polish, polish + polish + "zażółćgęśl…"},  // characters, not bytes
    };
    for (const auto& [raw, shown] : cases)
        EXPECT_EQ(shown_reply(raw), shown) << raw;
    EXPECT_EQ(shown_reply("abc", true), "abc…");
}

// Names are shown whole; replies by the same rule. What could steer the
// terminal, split the line or hide is shown as "?", and so is every byte
// that is not UTF-8; the edges of each range are where a slip shows.
TEST(shown_text, shows_what_steers_splits_or_hides_as_question_marks)
{
    const std::string long_name(300, 'n');
    const std::pair<std::string, std::string> cases[] = {
        {"Zdjęcia/wakacje.bmp", "Zdjęcia/wakacje.bmp"},
        {long_name, long_name},
        {"two\nlines.bmp", "two?lines.bmp"},
        {"\x1b]0;title\x07.bmp", "?]0;title?.bmp"},
        {"\x1f~\x7f", "?~?"},                      // C0's last, the last printable, DEL
        {"\xc2\x9b" "2J \xc2\x9f \xc2\xa0", "?2J ? \xc2\xa0"},  // C1: a CSI, its last; then no-break space
        {"\xc2\x9b" "2J", "?2J"},
        {"\x9b" "2J", "?2J"},                        // a lone C1 byte is no UTF-8
        // Bidirectional controls, which reverse what follows on terminals
        // that lay out text both ways: an override, an isolate, a mark.
        {"kot\xe2\x80\xae" "pmb.exe", "kot?pmb.exe"},
        {"a\xe2\x81\xa6" "b\xe2\x81\xa9", "a?b?"},
        {"a\xe2\x80\x8f" "b\xd8\x9c", "a?b?"},
        // Line and paragraph separators, which split the line for tools
        // that know Unicode.
        {"a\xe2\x80\xa8" "b\xe2\x80\xa9", "a?b?"},
        // What shows nothing: zero-width space, joiner, word joiner, soft
        // hyphen, byte-order mark, a tag.
        {"a\xe2\x80\x8b" "b\xe2\x80\x8d" "c\xe2\x81\xa0" "d\xc2\xad" "e\xef\xbb\xbf" "f\xf3\xa0\x80\x81",
         "a?b?c?d?e?f?"},
        {"\xe2\x80\x8a\xe2\x80\x90", "\xe2\x80\x8a\xe2\x80\x90"},  // a hair space and a hyphen show
        // UTF-8 at the edges of each length, and just past them.
        {"\xc2\x80", "?"},                              // U+0080, a C1 control
        {"\xc1\xbf", "??"},                             // overlong below it
        {"\xe0\xa0\x80", "\xe0\xa0\x80"},                   // U+0800
        {"\xe0\x9f\xbf", "???"},                         // overlong below it
        {"\xe0\x80\xaf", "???"},                         // an overlong "/"
        {"\xf0\x90\x80\x80", "\xf0\x90\x80\x80"},           // U+10000
        {"\xf0\x8f\xbf\xbf", "????"},                     // overlong below it
        {"\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},           // U+10FFFF
        {"\xf4\x90\x80\x80", "????"},                     // past it
        {"\xed\x9f\xbf\xee\x80\x80", "\xed\x9f\xbf\xee\x80\x80"},  // U+D7FF and U+E000
        {"\xed\xa0\x80\xed\xbf\xbf", "??????"},           // the surrogates' edges
        {"\xc0\xaf\xff", "???"},                         // an overlong "/", a byte never UTF-8
        {"\xe2\x82", "??"},                              // a character cut short
        {"\xf8\x88\x80\x80\x80", "?????"},                 // a 5-byte form, never UTF-8
    };
    for (const auto& [raw, shown] : cases)
        EXPECT_EQ(shown_text(raw), shown) << raw;
    // The edges of every range of what hides: its first and last member
    // are shown as "?", the characters just outside it as they are.
    auto utf8 = [](char32_t c) {
        std::string s;
        if (c < 0x80)
            s += char(c);
        else if (c < 0x800)
            s += {char(0xc0 | c >> 6), char(0x80 | (c & 0x3f))};
        else if (c < 0x10000)
            s += {char(0xe0 | c >> 12), char(0x80 | (c >> 6 & 0x3f)), char(0x80 | (c & 0x3f))};
        else
            s += {char(0xf0 | c >> 18), char(0x80 | (c >> 12 & 0x3f)), char(0x80 | (c >> 6 & 0x3f)),
                  char(0x80 | (c & 0x3f))};
        return s;
    };
    const std::pair<char32_t, char32_t> hidden[] = {
        {0xad, 0xad},     {0x61c, 0x61c},   {0x180e, 0x180e},   {0x200b, 0x200f},   {0x2028, 0x202e},
        {0x2060, 0x206f}, {0xfeff, 0xfeff}, {0xfff9, 0xfffb},   {0x1bca0, 0x1bca3}, {0x1d173, 0x1d17a},
        {0xe0000, 0xe007f}};
    for (auto [first, last] : hidden) {
        const std::string before = utf8(first - 1), after = utf8(last + 1);
        EXPECT_EQ(shown_text(before + utf8(first) + utf8(last) + after), before + "??" + after) << std::hex << std::uint32_t(first);
    }
    // A view that ends inside a character is read no further than it goes.
    EXPECT_EQ(shown_text(std::string_view("\xe2\x82\xac", 2)), "??");
    EXPECT_EQ(shown_name(""), "„”");
    EXPECT_EQ(error_of([] { fail("two\nlines.bmp", "coś"); }), "two?lines.bmp: coś");
}

// What nobody foresaw keeps its number; what a dead mount or a network
// file system says has words; and an error puts the reason after what
// went wrong, or alone.
TEST(os_reason, keeps_the_number_of_what_it_has_no_words_for)
{
    EXPECT_EQ(os_reason(123456), "nieoczekiwany błąd systemowy (errno 123456)");
    EXPECT_EQ(os_reason(-1234), "nieoczekiwany błąd systemu Windows (kod 1234)");
#if defined(ENOTCONN) && defined(ESTALE)
    for (int err : {ENOTCONN, ESTALE, EIO})
        EXPECT_EQ(os_reason(err).find("nieoczekiwany"), std::string::npos) << err;
#endif
    EXPECT_STREQ(ripple_error("a.bmp", "błąd zapisu", ENOSPC).what(), "a.bmp: błąd zapisu: brak miejsca na dysku");
    EXPECT_STREQ(ripple_error("a.bmp", "", EISDIR).what(), "a.bmp: to jest katalog, a nie plik");
    EXPECT_EQ(ripple_error("a.bmp", "coś", EIO).code(), EIO);
#ifdef _WIN32
    // No Windows error is success, the end of a file's included.
    for (DWORD code = 1; code < 16000; code++)
        ASSERT_NE(errno_from(code), 0) << code;
#endif
}

// Progress shows only once the run has taken a while, only as the
// percentage changes and not more often than it can be read, and is erased
// at the end; with nowhere to show it, nothing is written.
TEST(progress_line, shows_late_seldom_and_leaves_nothing)
{
    using namespace std::chrono_literals;
    std::FILE* f = std::tmpfile();
    const auto t0 = progress_line::clock::now();
    {
        progress_line p(1000, f, 1s);
        p.add(100, t0 + 500ms);   // too early
        p.add(100, t0 + 1100ms);  // 20 %
        p.add(10, t0 + 1200ms);   // 21 %, too soon after
        p.add(10, t0 + 1400ms);   // 22 %
        p.add(0, t0 + 1700ms);    // the same
        p.add(780, t0 + 2000ms);  // all
    }
    {
        progress_line nowhere(1000, nullptr, 0s);
        nowhere.add(1000, t0 + 5s);
        progress_line quick(1000, f, 1s);
        quick.add(1000, t0 + 10ms);
    }
    {
        progress_line barely(1000, f, 1s);
        barely.add(1, t0 + 1100ms);  // 0 %, erased all the same
    }
    std::rewind(f);
    std::string said;
    for (int c; (c = std::getc(f)) != EOF;)
        said += char(c);
    std::fclose(f);
    EXPECT_EQ(said, "\rripple: gotowe  20%\rripple: gotowe  22%\rripple: gotowe 100%\r" + std::string(24, ' ') + "\r" +
                        "\rripple: gotowe   0%\r" + std::string(24, ' ') + "\r");
}
