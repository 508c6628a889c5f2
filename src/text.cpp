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

}  // namespace

std::string shown_text(std::string_view raw, std::size_t max_chars, bool longer)
{
    std::string out;
    std::size_t i = 0;
    for (std::size_t chars = 0; i < raw.size() && chars < max_chars; chars++) {
        const auto [cp, len] = decode(raw, i);
        const bool control = cp < 0x20 || (cp >= 0x7f && cp < 0xa0);
        if (len > 0 && !control)
            out.append(raw.substr(i, len));
        else
            out += '?';
        i += len > 0 ? len : 1;
    }
    return i < raw.size() || longer ? out + "…" : out;
}
