#include "base/utf8.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velkor {

std::size_t utf8_sequence_length(std::string_view bytes) {
  auto b0 = static_cast<unsigned char>(bytes[0]);
  if (b0 < 0x80) return 1;
  std::size_t len;
  // Bounds for the second byte exclude overlong forms (E0, F0),
  // surrogates (ED) and code points above U+10FFFF (F4).
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (bytes.size() < len) return 0;
  auto b1 = static_cast<unsigned char>(bytes[1]);
  if (b1 < lo || b1 > hi) return 0;
  for (std::size_t k = 2; k < len; ++k) {
    auto b = static_cast<unsigned char>(bytes[k]);
    if (b < 0x80 || b > 0xBF) return 0;
  }
  return len;
}

bool is_valid_utf8(std::string_view bytes) {
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    // Long texts (screenshots, page text) are mostly ASCII: eight at a time.
    std::uint64_t word;
    while (n - i >= sizeof word) {
      std::memcpy(&word, bytes.data() + i, sizeof word);
      if ((word & 0x8080808080808080ULL) != 0) break;
      i += sizeof word;
    }
    if (i == n) break;
    std::size_t len = utf8_sequence_length(bytes.substr(i));
    if (len == 0) return false;
    i += len;
  }
  return true;
}

char32_t decode_utf8_at(std::string_view s, std::size_t& i) {
  auto c = static_cast<unsigned char>(s[i]);
  std::size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : 4;
  char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
  for (std::size_t k = 1; k < len && i + k < s.size(); ++k) {
    cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  }
  i += len;
  return cp;
}

bool is_unicode_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

bool is_unicode_blank(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    if (!is_unicode_space(decode_utf8_at(s, i))) return false;
  }
  return true;
}

}  // namespace velkor
