#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error/result.h"
#include "protocol/json.h"
#include "protocol/stream.h"

namespace velkor::protocol {

// The JSON-RPC error object.
struct RpcError {
  std::int32_t code = 0;
  std::string message;
  std::optional<json::Json> data;  // never holds null
};

// One MCP message: request, notification or response alike. Every field is
// optional on input; a JSON null counts as absent, so the optional values
// never hold null. Written back with the fields in declaration order.
struct JsonRpc {
  std::optional<std::string> jsonrpc;
  std::optional<json::Json> id;
  std::optional<std::string> method;
  std::optional<json::Json> params;
  std::optional<json::Json> result;
  std::optional<RpcError> error;

  // An error answer: "2.0", `id`, and an error without data.
  static JsonRpc err(json::Json id, std::int32_t code, std::string message);
  // A success answer: "2.0", `id` and `result`.
  static JsonRpc ok(json::Json id, json::Json result);

  // A message without an id (including "id": null) expects no answer.
  bool is_notification() const { return !id.has_value(); }
};

// Decodes one message from `line` (a trailing CR/LF is JSON white space).
// The six known keys may each occur once; other keys are ignored. Failures
// are kInvalidData, or kUnexpectedEof when the JSON stops early, with a text
// that names the fault and its position.
Result<JsonRpc> parse_jsonrpc(std::string_view line);

// Compact JSON, fields in declaration order, absent ones left out except
// "jsonrpc", which is written as null. No line feed.
std::string serialize_jsonrpc(const JsonRpc& message);

// Reads the next message, skipping blank lines. nullopt means end of input
// on a line boundary; a last line without a line feed is still a message.
// Any failure (read error, "JSON message too large", parse failure) leaves
// the stream unusable, so callers stop reading.
Result<std::optional<JsonRpc>> mcp_read(BufReader& in);

// Reads the next message like mcp_read and writes it like mcp_write. A line
// already in the form mcp_write gives (every line the broker writes is) goes
// out as it came, unbuilt; any other goes through mcp_read and mcp_write.
// The value says whether the message awaits an answer; nullopt means end of
// input. Failures are mcp_read's and the sink's.
Result<std::optional<bool>> mcp_relay(BufReader& in, Sink& out);

// Writes `message` and a line feed with one write_all, so that a message is
// never interleaved with another writer's or held back.
Result<void> mcp_write(Sink& out, const JsonRpc& message);

}  // namespace velkor::protocol
