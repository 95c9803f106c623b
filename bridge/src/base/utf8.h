#pragma once

#include <string_view>

namespace velkor {

// Strict UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing above
// U+10FFFF. Paths and environment values are raw bytes; this decides which
// of them can be used as text.
bool is_valid_utf8(std::string_view bytes);

}  // namespace velkor
