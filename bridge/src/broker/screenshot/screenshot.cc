#include "broker/screenshot/screenshot.h"

#include <optional>

#include "broker/screenshot/base64.h"

namespace velkor::broker::screenshot {
namespace {

constexpr std::string_view kPngSignature{"\x89PNG\r\n\x1a\n", 8};

Unexpected<std::string> incomplete() { return Unexpected(std::string(kIncomplete)); }

// The member as an unsigned integer; floats, negatives and other types give
// nullopt.
std::optional<std::uint64_t> find_u64(const protocol::json::Json& object, std::string_view key) {
  if (!object.is_object()) return std::nullopt;
  auto it = object.find(key);
  if (it == object.end()) return std::nullopt;
  return protocol::json::as_u64(*it);
}

struct Description {
  std::string capture_id;
  std::string sha256;
  std::uint64_t size = 0;
  std::uint64_t chunk_size = 0;
};

std::optional<Description> read_description(const protocol::json::Json& value) {
  Description d;
  const std::string* capture_id = protocol::json::find_string(value, "captureId");
  if (capture_id == nullptr) return std::nullopt;
  const std::string* sha256 = protocol::json::find_string(value, "sha256");
  if (sha256 == nullptr) return std::nullopt;
  std::optional<std::uint64_t> size = find_u64(value, "size");
  if (!size || *size < kMinSize || *size > kMaxSize) return std::nullopt;
  std::optional<std::uint64_t> chunk_size = find_u64(value, "chunkSize");
  if (!chunk_size || *chunk_size < kMinChunkSize || *chunk_size > kMaxChunkSize) {
    return std::nullopt;
  }
  const std::string* mime = protocol::json::find_string(value, "mime");
  if (mime == nullptr || *mime != kPngMime) return std::nullopt;
  d.capture_id = *capture_id;
  d.sha256 = *sha256;
  d.size = *size;
  d.chunk_size = *chunk_size;
  return d;
}

// Checks one chunk reply for the piece at `offset` and appends its bytes to
// `image` (which holds exactly `offset` bytes); false, leaving `image` as it
// was, when the reply breaks the protocol.
bool append_piece(const protocol::json::Json& reply, const Description& d, std::uint64_t offset,
                  std::string& image) {
  const std::string* text = protocol::json::find_string(reply, "base64");
  if (text == nullptr) return false;
  if (find_u64(reply, "offset") != offset) return false;
  // Bounds the decoder's work before it runs: a piece of chunk_size bytes
  // never needs more symbols than this.
  std::uint64_t limit = 4 * ((d.chunk_size + 2) / 3);
  if (text->size() > limit) return false;
  // Whatever the symbols decode to, the piece must fit the image; checked
  // before decoding so the image never grows past its announced size.
  if (text->size() / 4 * 3 > d.size - offset + 2) return false;
  if (!base64_decode_append(*text, image)) return false;
  std::uint64_t n = image.size() - offset;
  std::uint64_t end = offset + n;
  bool fits = n >= 1 && n <= d.chunk_size && n <= d.size - offset;
  auto eof = reply.find("eof");
  if (!fits || find_u64(reply, "nextOffset") != end || eof == reply.end() || !eof->is_boolean() ||
      eof->get<bool>() != (end == d.size)) {
    image.resize(offset);
    return false;
  }
  return true;
}

protocol::json::Json chunk_request(const Description& d, std::uint64_t offset,
                                   std::string_view session_id) {
  protocol::json::Json request = protocol::json::Json::object();
  request["captureId"] = d.capture_id;
  request["offset"] = offset;
  request["sessionId"] = std::string(session_id);
  return request;
}

}  // namespace

Result<protocol::json::Json, std::string> receive(protocol::json::Json description,
                                                  const ReadChunk& read_chunk,
                                                  std::string_view session_id) {
  std::optional<Description> d = read_description(description);
  if (!d) return incomplete();

  std::string image;
  // Room for the last piece's padding too, so the image is never moved.
  image.reserve(d->size + 2);
  while (image.size() < d->size) {
    std::uint64_t offset = image.size();
    Result<protocol::json::Json, std::string> reply =
        read_chunk(chunk_request(*d, offset, session_id));
    if (!reply) return Unexpected(std::move(reply).error());
    if (!append_piece(*reply, *d, offset, image)) return incomplete();
  }

  if (image.compare(0, kPngSignature.size(), kPngSignature) != 0) return incomplete();
  if (sha256_hex(image) != d->sha256) return incomplete();

  protocol::json::Json result = protocol::json::Json::object();
  result[std::string(kVerifiedMember)] = base64_encode(image);
  result["sha256"] = std::move(d->sha256);
  result["size"] = d->size;
  return result;
}

}  // namespace velkor::broker::screenshot
