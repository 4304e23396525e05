// UTF-8 text: validity, lossy conversion, trimming of Unicode white space,
// and the sequence decoding that string-literal quoting shares.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velorium::text {

// Removes leading and trailing Unicode white space (the White_Space
// property) from UTF-8 text; text that is not valid UTF-8 is returned as is.
std::string_view trim(std::string_view text) noexcept;

bool is_valid_utf8(std::string_view bytes) noexcept;

// The bytes as UTF-8 text, with every maximal invalid subsequence replaced
// by U+FFFD.
std::string lossy_utf8(std::string_view bytes);

// Length of the valid UTF-8 sequence starting at `pos` (below s.size()), or
// the length of the maximal invalid prefix there (at least 1) as a negative
// number.
long utf8_sequence_length(std::string_view s, std::size_t pos) noexcept;

// The code point of the valid UTF-8 sequence at `pos`; advances `pos` past it.
char32_t decode_utf8_at(std::string_view s, std::size_t& pos) noexcept;

}  // namespace velorium::text
