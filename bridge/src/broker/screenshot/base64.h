#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velkor::broker::screenshot {

// Standard base64 (RFC 4648 alphabet with "+" and "/"), "=" padded.
std::string base64_encode(std::string_view bytes);

// Decodes standard base64 and accepts only the one text that base64_encode
// would produce for the result: length a multiple of 4, "=" only as the
// final one or two characters, and no set bits in the unused low bits of the
// last symbol. Anything else gives nullopt. The empty text decodes to empty.
std::optional<std::string> base64_decode_strict(std::string_view text);

// SHA-256 of `bytes` as 64 lowercase hexadecimal digits.
std::string sha256_hex(std::string_view bytes);

}  // namespace velkor::broker::screenshot
