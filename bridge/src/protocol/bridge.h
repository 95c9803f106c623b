#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error/result.h"
#include "protocol/json.h"
#include "protocol/stream.h"

namespace velkor::protocol {

// A request from the broker to the extension.
struct BridgeReq {
  std::uint64_t id = 0;  // chosen by the session; never 0
  std::string op;        // one of the names in protocol/operations.h
  std::optional<std::int64_t> tab_id;
  json::Json args;  // null = omitted
};

// A response from the extension, or the broker's reply to an announce.
struct BridgeResp {
  std::uint64_t id = 0;  // 0 answers no request
  bool ok = false;
  std::optional<json::Json> data;  // never holds null when parsed
  std::optional<std::string> error;
};

// Compact JSON, members in declaration order, absent ones left out. No line
// feed.
std::string serialize(const BridgeReq& req);
std::string serialize(const BridgeResp& resp);

// Decodes one response. Members may come in any order and unknown ones are
// ignored, so the extension can add members; "id" and "ok" are required,
// and each of the four known members may occur once. A null "data" or
// "error" is absent. Failures are kInvalidData (kUnexpectedEof when the JSON
// stops early) with a text such as "missing field `ok` at line 1, column 8".
Result<BridgeResp> parse_bridge_resp(std::string_view line);

// Reads the next response, skipping blank lines, with the same line rules
// and 16 MiB cap as mcp_read. nullopt means the peer closed the connection
// on a line boundary. After a failure the stream may stand inside a line.
Result<std::optional<BridgeResp>> bridge_read(BufReader& in);

// Each writes one line (the record or value and a line feed) with a single
// write_all, so lines of writers that share a locked sink never interleave.
Result<void> bridge_write(Sink& out, const BridgeReq& req);
Result<void> bridge_write(Sink& out, const BridgeResp& resp);
// Writes any value unchanged, object keys in the order it holds them.
Result<void> bridge_write_value(Sink& out, const json::Json& value);

}  // namespace velkor::protocol
