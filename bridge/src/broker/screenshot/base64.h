#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace velkor::broker::screenshot {

// Standard base64 (RFC 4648 alphabet with "+" and "/"), "=" padded.
std::string base64_encode(std::string_view bytes);
// The same into `out`, which has room for base64_encoded_size(bytes.size()).
void base64_encode_to(std::string_view bytes, char* out);
std::size_t base64_encoded_size(std::size_t n);

// Decodes standard base64 and accepts only the one text that base64_encode
// would produce for the result: length a multiple of 4, "=" only as the
// final one or two characters, and no set bits in the unused low bits of the
// last symbol. Anything else gives nullopt. The empty text decodes to empty.
std::optional<std::string> base64_decode_strict(std::string_view text);
// The same, appending the bytes to `out`; false, leaving `out` as it was,
// where base64_decode_strict gives nullopt.
bool base64_decode_append(std::string_view text, std::string& out);

// SHA-256 of `bytes` as 64 lowercase hexadecimal digits.
std::string sha256_hex(std::string_view bytes);

}  // namespace velkor::broker::screenshot
