// The extension sends a screenshot in pieces and the broker does not trust
// it: whatever the pieces say, only a whole PNG matching its digest may come
// out as an image.
// Input: JSON texts separated by line feeds; the first is the description,
// each later one the data of the next chunk reply.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "broker/screenshot/base64.h"
#include "broker/screenshot/screenshot.h"
#include "protocol/json.h"

using namespace velkor;
namespace screenshot = velkor::broker::screenshot;

namespace {

constexpr std::string_view kSession = "0123456789abcdef0123456789abcdef";
constexpr std::string_view kPngSignature{"\x89PNG\r\n\x1a\n", 8};
// receive reserves the announced size up front; larger sizes only slow the
// run down without reaching other code.
constexpr std::uint64_t kMaxFuzzedSize = 1 << 20;

std::optional<std::uint64_t> member_u64(const protocol::json::Json& object, std::string_view key) {
  if (!object.is_object()) return std::nullopt;
  auto it = object.find(key);
  return it == object.end() ? std::nullopt : protocol::json::as_u64(*it);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> texts;
  for (;;) {
    std::size_t end = bytes.find('\n');
    texts.push_back(bytes.substr(0, end));
    if (end == std::string_view::npos) break;
    bytes.remove_prefix(end + 1);
  }
  auto description = protocol::json::parse(texts[0]);
  if (!description) return 0;
  std::optional<std::uint64_t> announced = member_u64(description->value, "size");
  if (announced && *announced > kMaxFuzzedSize) return 0;

  std::size_t next = 1;
  screenshot::ReadChunk read_chunk =
      [&](protocol::json::Json) -> Result<protocol::json::Json, std::string> {
    if (next == texts.size()) return Unexpected(std::string("no more chunks"));
    auto reply = protocol::json::parse(texts[next++]);
    if (!reply) return Unexpected(std::string("chunk reply is not JSON"));
    return std::move(reply->value);
  };
  auto result = screenshot::receive(std::move(description->value), read_chunk, kSession);
  if (!result) return 0;

  const std::string* encoded = protocol::json::find_string(*result, screenshot::kVerifiedMember);
  const std::string* digest = protocol::json::find_string(*result, "sha256");
  if (encoded == nullptr || digest == nullptr || !announced) __builtin_trap();
  std::optional<std::string> image = screenshot::base64_decode_strict(*encoded);
  if (!image || image->size() != *announced || member_u64(*result, "size") != announced) {
    __builtin_trap();
  }
  if (!image->starts_with(kPngSignature)) __builtin_trap();
  if (screenshot::sha256_hex(*image) != *digest) __builtin_trap();
  return 0;
}
