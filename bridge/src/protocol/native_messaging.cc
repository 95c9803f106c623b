#include "protocol/native_messaging.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "protocol/json_fast.h"
#include "protocol/limits.h"

namespace velkor::protocol {

Result<std::optional<std::string>> nm_read_body(BufReader& in) {
  char prefix[kFrameHeaderBytes];
  auto got = in.read_up_to(prefix, sizeof prefix);
  if (!got) return Unexpected(std::move(got).error());
  // The browser closing the pipe, even mid-prefix, ends the conversation
  // rather than breaking it.
  if (*got < sizeof prefix) return std::optional<std::string>();

  std::uint32_t length = 0;
  std::memcpy(&length, prefix, sizeof length);
  if (length > kMaxIncomingFrameBytes) {
    return Unexpected(IoError(ErrorKind::kInvalidData, "native-messaging frame too large: " +
                                                           std::to_string(length) + " bytes"));
  }

  std::string body;
  // Room for the line feed of the line it usually becomes.
  body.reserve(length + 1);
  body.resize(length);
  auto filled = in.read_up_to(body.data(), length);
  if (!filled) return Unexpected(std::move(filled).error());
  if (*filled < length) {
    return Unexpected(IoError(ErrorKind::kUnexpectedEof, "failed to fill whole buffer"));
  }
  return std::optional<std::string>(std::move(body));
}

Result<json::Json> nm_decode(std::string_view body) {
  auto parsed = json::parse(body);
  if (!parsed) {
    return Unexpected(
        IoError(ErrorKind::kInvalidData, "nm json decode: " + parsed.error().to_string()));
  }
  return std::move(parsed->value);
}

Result<std::optional<json::Json>> nm_read_frame(BufReader& in) {
  auto body = nm_read_body(in);
  if (!body) return Unexpected(std::move(body).error());
  if (!body->has_value()) return std::optional<json::Json>();
  auto value = nm_decode(**body);
  if (!value) return Unexpected(std::move(value).error());
  return std::optional<json::Json>(std::move(*value));
}

std::optional<IoError> check_outgoing_frame_size(std::size_t body_len) {
  if (body_len <= kMaxOutgoingFrameBytes) return std::nullopt;
  return IoError(ErrorKind::kInvalidData, "native-messaging outgoing frame " +
                                              std::to_string(body_len) + " bytes exceeds 1 MB cap");
}

namespace {

// Writes `frame`, whose first kFrameHeaderBytes are room for the length of
// the body after them, as one frame; refused whole when the body is too long.
Result<void> write_frame(Sink& out, std::string& frame) {
  std::size_t body_len = frame.size() - kFrameHeaderBytes;
  if (auto refused = check_outgoing_frame_size(body_len)) return Unexpected(std::move(*refused));
  auto length = static_cast<std::uint32_t>(body_len);
  std::memcpy(frame.data(), &length, sizeof length);
  return out.write_all(frame);
}

}  // namespace

Result<void> nm_write_body(Sink& out, std::string_view body) {
  std::string frame;
  frame.reserve(kFrameHeaderBytes + body.size());
  frame.resize(kFrameHeaderBytes);
  frame += body;
  return write_frame(out, frame);
}

Result<void> nm_write_frame(Sink& out, const json::Json& value) {
  std::string frame;
  frame.reserve(kFrameHeaderBytes + json::fast::size_hint(value));
  frame.resize(kFrameHeaderBytes);
  json::dump_to(frame, value);
  return write_frame(out, frame);
}

}  // namespace velkor::protocol
