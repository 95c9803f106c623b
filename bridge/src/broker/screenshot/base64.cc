#include "broker/screenshot/base64.h"

#include "base/hex.h"

// The SHA256_* calls, which OpenSSL 3 marks deprecated, link on their own;
// the EVP interface would pull the whole provider machinery in.
#define OPENSSL_API_COMPAT 10101
#include <openssl/sha.h>

#include <array>
#include <cstdint>
#include <cstring>

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

// Two symbols for every 12 bits, so three bytes take two lookups.
constexpr std::array<char, 2 * 4096> make_pair_table() {
  std::array<char, 2 * 4096> table{};
  for (std::size_t i = 0; i < 4096; ++i) {
    table[2 * i] = kAlphabet[i >> 6];
    table[2 * i + 1] = kAlphabet[i & 0x3F];
  }
  return table;
}

constexpr std::array<char, 2 * 4096> kPairs = make_pair_table();

}  // namespace

std::size_t base64_encoded_size(std::size_t n) { return (n + 2) / 3 * 4; }

void base64_encode_to(std::string_view bytes, char* out) {
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t group = std::uint32_t{in[i]} << 16 | std::uint32_t{in[i + 1]} << 8 | in[i + 2];
    std::memcpy(out, &kPairs[2 * (group >> 12)], 2);
    std::memcpy(out + 2, &kPairs[2 * (group & 0xFFF)], 2);
    out += 4;
  }
  std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t group = std::uint32_t{in[i]} << 16;
    if (rest == 2) group |= std::uint32_t{in[i + 1]} << 8;
    out[0] = kAlphabet[group >> 18 & 0x3F];
    out[1] = kAlphabet[group >> 12 & 0x3F];
    out[2] = rest == 2 ? kAlphabet[group >> 6 & 0x3F] : '=';
    out[3] = '=';
  }
}

std::string base64_encode(std::string_view bytes) {
  std::string out(base64_encoded_size(bytes.size()), '\0');
  base64_encode_to(bytes, out.data());
  return out;
}

bool base64_decode_append(std::string_view text, std::string& out) {
  if (text.size() % 4 != 0) return false;
  const std::size_t old_size = out.size();
  out.resize(old_size + text.size() / 4 * 3);
  char* dst = out.data() + old_size;
  const char* p = text.data();
  const std::size_t groups = text.size() / 4;
  for (std::size_t g = 0; g < groups; ++g, p += 4, dst += 3) {
    bool last = g + 1 == groups;
    // Padding may only end the text: "xx==" carries one byte, "xxx=" two.
    std::size_t padding = 0;
    if (last && p[3] == '=') padding = p[2] == '=' ? 2 : 1;

    std::uint32_t group = 0;
    std::uint8_t invalid = 0;
    for (std::size_t j = 0; j < 4 - padding; ++j) {
      std::uint8_t value = symbol(p[j]);
      invalid |= value;
      group = group << 6 | (value & 0x3F);
    }
    // Every valid symbol is below 64; kInvalid has the high bits set.
    if (invalid & 0xC0) {
      out.resize(old_size);
      return false;
    }
    group <<= 6 * padding;
    // A canonical encoder leaves the bits below the last byte clear; set
    // bits would let two texts stand for the same bytes.
    if ((padding == 2 && (group & 0xFFFF) != 0) || (padding == 1 && (group & 0xFF) != 0)) {
      out.resize(old_size);
      return false;
    }
    dst[0] = static_cast<char>(group >> 16 & 0xFF);
    dst[1] = static_cast<char>(group >> 8 & 0xFF);
    dst[2] = static_cast<char>(group & 0xFF);
    if (last) out.resize(out.size() - padding);
  }
  return true;
}

std::optional<std::string> base64_decode_strict(std::string_view text) {
  std::string out;
  if (!base64_decode_append(text, out)) return std::nullopt;
  return out;
}

std::string sha256_hex(std::string_view bytes) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256_CTX context;
  SHA256_Init(&context);
  SHA256_Update(&context, bytes.data(), bytes.size());
  SHA256_Final(digest, &context);
  return to_hex(digest);
}

}  // namespace velkor::broker::screenshot
