#pragma once

#include <cstddef>
#include <string_view>

namespace velkor {

// Strict UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing above
// U+10FFFF. Paths and environment values are raw bytes; this decides which
// of them can be used as text.
bool is_valid_utf8(std::string_view bytes);

// Length of the valid UTF-8 sequence that `bytes` (not empty) starts with,
// under the rules of is_valid_utf8; 0 when it starts with none.
std::size_t utf8_sequence_length(std::string_view bytes);

// Decodes the scalar value starting at s[i] and advances i past it. `s`
// must be valid UTF-8.
char32_t decode_utf8_at(std::string_view s, std::size_t& i);

// Unicode White_Space.
bool is_unicode_space(char32_t c);

// True when `s` (valid UTF-8) holds only Unicode white space.
bool is_unicode_blank(std::string_view s);

}  // namespace velkor
