#include <gtest/gtest.h>

#include <cstdio>
#include <optional>

#include "replies.hpp"
#include "test_files.hpp"

// Every token either is read exactly as "%i" would read it, within 32
// bits, or is refused whole.
TEST(parse_coordinate, reads_whole_percent_i_tokens_within_32_bits)
{
    const std::string zeros(46, '0');
    const std::pair<std::string, std::optional<std::int32_t>> cases[] = {
        {"20", 20},          {"0x10", 16},         {"0X1f", 31},       {"0x1a", 26},
        {"010", 8},          {"0", 0},             {"-0", 0},          {"+16", 16},
        {"-5", -5},          {"-0x190", -400},     {"0454", 300},      {zeros + "20", 16},
        {"0x" + zeros + "8", 8},                   {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN},                {"0x7fffffff", 2147483647},
        {"-0x80000000", INT32_MIN},                {"2147483648", std::nullopt},
        {"-2147483649", std::nullopt},             {"99999999999999999999", std::nullopt},
        {"0x80000000", std::nullopt},              {"08", std::nullopt},
        {"12x", std::nullopt},                     {"0x", std::nullopt},
        {"3-2", std::nullopt},                     {"--3", std::nullopt},
        {"+", std::nullopt},                       {"", std::nullopt},
        {"1.5", std::nullopt},                     {"0x1g", std::nullopt},
        {"abc", std::nullopt},                     {"1e3", std::nullopt},
        {"x5", std::nullopt},                      {"X1", std::nullopt},
    };
    for (const auto& [token, value] : cases)
        EXPECT_EQ(parse_coordinate(token), value) << "„" << token << "”";
}

namespace {

struct asked {
    std::vector<std::int32_t> values;
    std::string out, err, failure;
};

// Asks for `n` coordinates from `input`, as the program does.
asked ask(const std::string& input, int n)
{
    asked a;
    std::FILE* in = tmpfile();
    std::FILE* out = tmpfile();
    std::FILE* err = tmpfile();
    std::fwrite(input.data(), 1, input.size(), in);
    std::rewind(in);
    reply_stream replies(in);
    a.failure = error_of([&] {
        for (int k = 0; k < n; k++)
            a.values.push_back(ask_coordinate("? ", replies, out, err));
    });
    for (auto [f, text] : {std::pair{out, &a.out}, std::pair{err, &a.err}}) {
        std::rewind(f);
        for (int c; (c = std::getc(f)) != EOF;)
            *text += char(c);
        std::fclose(f);
    }
    std::fclose(in);
    return a;
}

std::string refusal(const std::string& shown)
{
    return "nieprawidłowa odpowiedź „" + shown + "”: potrzebna liczba całkowita z zakresu od "
           "-2147483648 do 2147483647 (np. 320, -5, 0x1F, 017)\n";
}

}  // namespace

TEST(ask_coordinate, asks_again_after_a_refused_reply_and_drops_its_line)
{
    asked a = ask("  abc rest of line\n12x\n\n 7 \r\n0x1F 9\n", 3);
    EXPECT_EQ(a.values, (std::vector<std::int32_t>{7, 31, 9}));
    EXPECT_EQ(a.out, "? ? ? ? ? ");
    EXPECT_EQ(a.err, refusal("abc") + refusal("12x"));
    EXPECT_EQ(a.failure, "");

    const std::string end = "standardowe wejście: dane skończyły się przed podaniem obu współrzędnych";
    EXPECT_EQ(ask("", 1).failure, end);
    EXPECT_EQ(ask("5", 2).failure, end);
    asked bad = ask("oops", 1);
    EXPECT_EQ(bad.err, refusal("oops"));
    EXPECT_EQ(bad.failure, end);

    // A byte-order mark at the very start, as Windows editors write one, is
    // no part of the replies; anywhere else it is, and shows as "?"; and a
    // start that only looks like one is all there.
    const std::string mark = "\xef\xbb\xbf";
    EXPECT_EQ(ask(mark + "5 6", 2).values, (std::vector<std::int32_t>{5, 6}));
    EXPECT_EQ(ask(mark + "\n 5\n6", 2).values, (std::vector<std::int32_t>{5, 6}));
    asked inner = ask("5\n" + mark + "6\n7", 2);
    EXPECT_EQ(inner.values, (std::vector<std::int32_t>{5, 7}));
    EXPECT_EQ(inner.err, refusal("?6"));
    const std::pair<std::string, std::string> almost[] = {
        {"\xef\xbb\n8", "??"}, {"\xef" "1\n8", "?1"}, {"\xef\xbb" "x\n8", "??x"}, {"\xbf\n8", "?"}};
    EXPECT_EQ(ask("7 \xbf", 1).values, std::vector<std::int32_t>{7});  // a mark's last byte alone is no mark
    for (const auto& [input, shown] : almost) {
        asked got = ask(input, 1);
        EXPECT_EQ(got.values, std::vector<std::int32_t>{8});
        EXPECT_EQ(got.err, refusal(shown));
    }

#ifndef _WIN32  // where a folder opens as a stream
    // A read error is not the end of the input (ripple < folder).
    temp_dir dir;
    std::FILE* folder = std::fopen(dir.path.string().c_str(), "r");
    ASSERT_NE(folder, nullptr);
    std::FILE* out = tmpfile();
    reply_stream replies(folder);
    EXPECT_EQ(error_of([&] { ask_coordinate("? ", replies, out, out); }),
              "standardowe wejście: błąd odczytu: to jest katalog, a nie plik");
    std::fclose(folder);
    std::fclose(out);
#endif
}
