#pragma once

#include <span>
#include <string>

namespace velkor {

// `bytes` as lower-case hexadecimal, two digits per byte, high nibble first:
// the form of identifiers, secrets and digests everywhere in the product.
inline std::string to_hex(std::span<const unsigned char> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * bytes.size());
  for (unsigned char b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0x0F];
  }
  return out;
}

}  // namespace velkor
