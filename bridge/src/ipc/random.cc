#include "ipc/random.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "base/hex.h"

namespace velkor::ipc {
namespace {

Result<void> fill_random(unsigned char* buf, std::size_t n) {
  // getentropy serves at most 256 bytes per call; we never ask for more.
  if (::getentropy(buf, n) != 0) {
    int err = errno;
    return Unexpected(IoError(ErrorKind::kOther, std::strerror(err)));
  }
  return {};
}

}  // namespace

Result<std::string> random_identifier() {
  std::array<unsigned char, 16> bytes{};
  if (auto r = fill_random(bytes.data(), bytes.size()); !r) return Unexpected(r.error());
  return to_hex(bytes);
}

Result<std::string> random_alnum(std::size_t n) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::string out;
  while (out.size() < n) {
    std::array<unsigned char, 32> bytes{};
    if (auto r = fill_random(bytes.data(), bytes.size()); !r) return Unexpected(r.error());
    for (unsigned char b : bytes) {
      // 248 = 4 * 62: rejecting the rest keeps every symbol equally likely.
      if (b < 248 && out.size() < n) out += kAlphabet[b % 62];
    }
  }
  return out;
}

}  // namespace velkor::ipc
