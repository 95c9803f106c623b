// The announce is the extension's own account of itself, relayed unchecked by
// the native host: it must never crash the broker, and only a complete one
// may be accepted.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "peer/peer.h"
#include "protocol/json.h"

using namespace velkor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  (void)peer::parse_semver(text);
  auto parsed = protocol::json::parse(text);
  if (!parsed) return 0;
  std::optional<protocol::json::Json> value = std::move(parsed->value);
  std::optional<peer::PeerInfo> info = peer::parse_announce(value);
  if (!info) return 0;
  if (peer::announce_accepted(*info) &&
      (info->protocol_version != peer::kProtocolVersion || !info->browser)) {
    __builtin_trap();
  }
  (void)peer::describe(*info);
  auto advisory = peer::drift_advisory(peer::kHostVersion, *info);
  if (advisory && !info->version) __builtin_trap();
  return 0;
}
