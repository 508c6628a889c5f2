#include "text.hpp"

#include <utility>

namespace {

// The length of the UTF-8 sequence that `lead` starts, or 0 if none does.
std::size_t sequence_length(unsigned char lead)
{
    return lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
}

// The character at raw[i] and its length, or a length of 0 where the bytes
// there are not valid UTF-8 (overlong forms, surrogates and code points past
// U+10FFFF included).
std::pair<char32_t, std::size_t> decode(std::string_view raw, std::size_t i)
{
    const auto lead = static_cast<unsigned char>(raw[i]);
    const std::size_t len = sequence_length(lead);
    if (len == 0 || i + len > raw.size())
        return {0, 0};
    char32_t cp = len == 1 ? lead : len == 2 ? lead & 0x1f : len == 3 ? lead & 0x0f : lead & 0x07;
    for (std::size_t k = 1; k < len; k++) {
        const auto b = static_cast<unsigned char>(raw[i + k]);
        if ((b & 0xc0) != 0x80)
            return {0, 0};
        cp = cp << 6 | (b & 0x3f);
    }
    constexpr char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[len] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
        return {0, 0};
    return {cp, len};
}

// Characters that steer a terminal, split a line or hide: the controls (C0,
// DEL, C1); the line and paragraph separators; the bidirectional controls,
// which reverse the rest of a line where a terminal lays out text both
// ways; and the format characters that show nothing (zero-width spaces and
// joiners, the soft hyphen, the byte-order mark, invisible operators, tags),
// which make one name look like another.
bool hidden(char32_t c)
{
    static constexpr std::pair<char32_t, char32_t> ranges[] = {
        {0x00, 0x1f},       {0x7f, 0x9f},       {0xad, 0xad},     {0x61c, 0x61c},   {0x180e, 0x180e},
        {0x200b, 0x200f},   {0x2028, 0x202e},   {0x2060, 0x206f}, {0xfeff, 0xfeff}, {0xfff9, 0xfffb},
        {0x1bca0, 0x1bca3}, {0x1d173, 0x1d17a}, {0xe0000, 0xe007f},
    };
    for (auto [first, last] : ranges)
        if (c >= first && c <= last)
            return true;
    return false;
}

}  // namespace

std::string shown_text(std::string_view raw, std::size_t max_chars, bool longer)
{
    std::string out;
    std::size_t i = 0;
    for (std::size_t chars = 0; i < raw.size() && chars < max_chars; chars++) {
        const auto [cp, len] = decode(raw, i);
        if (len > 0 && !hidden(cp))
            out.append(raw.substr(i, len));
        else
            out += '?';
        i += len > 0 ? len : 1;
    }
    return i < raw.size() || longer ? out + "…" : out;
}
