#include "broker/screenshot/base64.h"

#include <openssl/sha.h>

#include <array>
#include <cstdint>

namespace velkor::broker::screenshot {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> make_decode_table() {
  std::array<std::uint8_t, 256> table{};
  table.fill(kInvalid);
  for (std::uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
  return table;
}

constexpr std::array<std::uint8_t, 256> kDecode = make_decode_table();

std::uint8_t symbol(char c) { return kDecode[static_cast<unsigned char>(c)]; }

}  // namespace

std::string base64_encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t group = static_cast<std::uint8_t>(bytes[i]) << 16 |
                          static_cast<std::uint8_t>(bytes[i + 1]) << 8 |
                          static_cast<std::uint8_t>(bytes[i + 2]);
    out += kAlphabet[group >> 18 & 0x3F];
    out += kAlphabet[group >> 12 & 0x3F];
    out += kAlphabet[group >> 6 & 0x3F];
    out += kAlphabet[group & 0x3F];
  }
  std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t group = static_cast<std::uint8_t>(bytes[i]) << 16;
    if (rest == 2) group |= static_cast<std::uint8_t>(bytes[i + 1]) << 8;
    out += kAlphabet[group >> 18 & 0x3F];
    out += kAlphabet[group >> 12 & 0x3F];
    out += rest == 2 ? kAlphabet[group >> 6 & 0x3F] : '=';
    out += '=';
  }
  return out;
}

std::optional<std::string> base64_decode_strict(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    bool last = i + 4 == text.size();
    // Padding may only end the text: "xx==" carries one byte, "xxx=" two.
    std::size_t padding = 0;
    if (last && text[i + 3] == '=') padding = text[i + 2] == '=' ? 2 : 1;

    std::uint32_t group = 0;
    for (std::size_t j = 0; j < 4 - padding; ++j) {
      std::uint8_t value = symbol(text[i + j]);
      if (value == kInvalid) return std::nullopt;
      group = group << 6 | value;
    }
    group <<= 6 * padding;
    // A canonical encoder leaves the bits below the last byte clear; set
    // bits would let two texts stand for the same bytes.
    if (padding == 2 && (group & 0xFFFF) != 0) return std::nullopt;
    if (padding == 1 && (group & 0xFF) != 0) return std::nullopt;

    out += static_cast<char>(group >> 16 & 0xFF);
    if (padding < 2) out += static_cast<char>(group >> 8 & 0xFF);
    if (padding < 1) out += static_cast<char>(group & 0xFF);
  }
  return out;
}

std::string sha256_hex(std::string_view bytes) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * SHA256_DIGEST_LENGTH);
  for (unsigned char byte : digest) {
    out += kHex[byte >> 4];
    out += kHex[byte & 0x0F];
  }
  return out;
}

}  // namespace velkor::broker::screenshot
