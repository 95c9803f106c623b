#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "error/result.h"
#include "protocol/json.h"
#include "protocol/stream.h"

namespace velkor::protocol {

// Reads one frame from the browser: a 4-byte length in native byte order,
// then that many bytes of one JSON value (any type). nullopt means the
// input ended between frames or inside the length prefix. An announced
// length above kMaxIncomingFrameBytes fails with kInvalidData
// "native-messaging frame too large: N bytes" before any of the body is
// read; input ending inside the body fails with kUnexpectedEof "failed to
// fill whole buffer"; a body that is not exactly one JSON value fails with
// kInvalidData "nm json decode: " and the parser's text. After any failure
// the input no longer stands on a frame boundary.
Result<std::optional<json::Json>> nm_read_frame(BufReader& in);

// nm_read_frame in two steps: the body's bytes with every failure but the
// decoding one, then the decoding with its "nm json decode: " failure.
Result<std::optional<std::string>> nm_read_body(BufReader& in);
Result<json::Json> nm_decode(std::string_view body);

// Writes `value` compactly as one frame, prefix and body in a single
// write_all so that the frame leaves at once. A body above
// kMaxOutgoingFrameBytes is refused (see check_outgoing_frame_size) and
// nothing is written.
Result<void> nm_write_frame(Sink& out, const json::Json& value);

// Writes `body`, which must be one JSON value as nm_write_frame would write
// it, as one frame, with the same size refusal.
Result<void> nm_write_body(Sink& out, std::string_view body);

// The refusal of a body of `body_len` bytes that the browser would not
// accept: kInvalidData "native-messaging outgoing frame N bytes exceeds 1 MB
// cap", or nullopt when the body fits.
std::optional<IoError> check_outgoing_frame_size(std::size_t body_len);

}  // namespace velkor::protocol
