#include "protocol/native_messaging.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "protocol/json_fast.h"
#include "protocol/limits.h"

namespace velkor::protocol {

Result<std::optional<json::Json>> nm_read_frame(BufReader& in) {
  char prefix[kFrameHeaderBytes];
  auto got = in.read_up_to(prefix, sizeof prefix);
  if (!got) return Unexpected(std::move(got).error());
  // The browser closing the pipe, even mid-prefix, ends the conversation
  // rather than breaking it.
  if (*got < sizeof prefix) return std::optional<json::Json>();

  std::uint32_t length = 0;
  std::memcpy(&length, prefix, sizeof length);
  if (length > kMaxIncomingFrameBytes) {
    return Unexpected(IoError(ErrorKind::kInvalidData, "native-messaging frame too large: " +
                                                           std::to_string(length) + " bytes"));
  }

  // Not zero-filled first: every byte is read over before it is used.
  auto body = std::make_unique_for_overwrite<char[]>(length);
  auto filled = in.read_up_to(body.get(), length);
  if (!filled) return Unexpected(std::move(filled).error());
  if (*filled < length) {
    return Unexpected(IoError(ErrorKind::kUnexpectedEof, "failed to fill whole buffer"));
  }

  auto parsed = json::parse(std::string_view(body.get(), length));
  if (!parsed) {
    return Unexpected(
        IoError(ErrorKind::kInvalidData, "nm json decode: " + parsed.error().to_string()));
  }
  return std::optional<json::Json>(std::move(parsed->value));
}

std::optional<IoError> check_outgoing_frame_size(std::size_t body_len) {
  if (body_len <= kMaxOutgoingFrameBytes) return std::nullopt;
  return IoError(ErrorKind::kInvalidData, "native-messaging outgoing frame " +
                                              std::to_string(body_len) + " bytes exceeds 1 MB cap");
}

Result<void> nm_write_frame(Sink& out, const json::Json& value) {
  std::string frame(kFrameHeaderBytes, '\0');
  frame.reserve(kFrameHeaderBytes + json::fast::size_hint(value));
  json::dump_to(frame, value);
  std::size_t body_len = frame.size() - kFrameHeaderBytes;
  if (auto refused = check_outgoing_frame_size(body_len)) return Unexpected(std::move(*refused));
  auto length = static_cast<std::uint32_t>(body_len);
  std::memcpy(frame.data(), &length, sizeof length);
  return out.write_all(frame);
}

}  // namespace velkor::protocol
