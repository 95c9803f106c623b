// Every decoder that reads bytes from a peer, fed the same input: none may
// crash, hang or grow without bound, and what decodes must re-encode.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "broker/screenshot/base64.h"
#include "protocol/bridge.h"
#include "protocol/mcp.h"
#include "protocol/native_messaging.h"
#include "protocol/stream.h"

using namespace velkor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);

  if (auto rpc = protocol::parse_jsonrpc(bytes)) {
    auto again = protocol::parse_jsonrpc(protocol::serialize_jsonrpc(*rpc));
    if (!again) __builtin_trap();
  }
  if (auto resp = protocol::parse_bridge_resp(bytes)) {
    if (!protocol::parse_bridge_resp(protocol::serialize(*resp))) __builtin_trap();
  }
  {
    protocol::BufReader in(std::make_unique<protocol::StringSource>(std::string(bytes), 7));
    for (int i = 0; i < 4; ++i) {
      auto frame = protocol::nm_read_frame(in);
      if (!frame || !frame->has_value()) break;
    }
  }
  {
    protocol::BufReader in(std::make_unique<protocol::StringSource>(std::string(bytes)));
    for (int i = 0; i < 4; ++i) {
      auto line = protocol::mcp_read(in);
      if (!line || !line->has_value()) break;
    }
  }
  if (auto decoded = broker::screenshot::base64_decode_strict(bytes)) {
    if (broker::screenshot::base64_encode(*decoded) != bytes) __builtin_trap();
  }
  // And every encoding decodes: with the line above, the decoder takes
  // exactly the texts the encoder writes.
  if (broker::screenshot::base64_decode_strict(broker::screenshot::base64_encode(bytes)) != bytes) {
    __builtin_trap();
  }
  return 0;
}
