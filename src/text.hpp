// Text from outside shown on a terminal: file names and refused replies.
// Neither may steer the terminal (set its title, clear it, move the cursor)
// or split the one line a message is.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// `raw` with every control character (C0, DEL, C1), every character that
// steers the direction of text, splits a line or shows nothing (the
// bidirectional controls, U+2028 and U+2029, zero-width and other invisible
// format characters) and every byte that is not part of valid UTF-8 shown
// as "?", and the rest as it is, so that "Zdjęcia/wakacje.bmp" still reads
// so. At most `max_chars` characters are
// kept, cut between characters and followed by "…" where there was more
// (or where `longer`).
std::string shown_text(std::string_view raw, std::size_t max_chars = std::string_view::npos,
                       bool longer = false);

// A file name as messages show it; an empty one as „”.
inline std::string shown_name(std::string_view name) { return name.empty() ? "„”" : shown_text(name); }
