// The fast JSON reader and writer against nlohmann's: on every input the
// fast reader either declines or gives the very value and duplicate keys
// nlohmann gives, and the writer writes nlohmann's bytes.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "protocol/json.h"
#include "protocol/json_fast.h"
#include "protocol/mcp.h"
#include "protocol/stream.h"

using namespace velkor;

namespace {

// Equal values of equal types: 1 read as unsigned is not 1 read as signed.
bool same(const protocol::json::Json& a, const protocol::json::Json& b) {
  if (a.type() != b.type()) return false;
  if (a.is_array()) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      if (!same(a[i], b[i])) return false;
    }
    return true;
  }
  if (a.is_object()) {
    if (a.size() != b.size()) return false;
    for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib) {
      if (ia.key() != ib.key() || !same(*ia, *ib)) return false;
    }
    return true;
  }
  return a == b;
}

void check_writer(const protocol::json::Json& value) {
  std::string fast;
  protocol::json::fast::dump_to(fast, value);
  if (fast != protocol::json::dump_general(value)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto reference = protocol::json::parse_general(text);
  if (auto fast = protocol::json::fast::parse(text)) {
    if (!reference) __builtin_trap();
    if (!same(fast->value, reference->value)) __builtin_trap();
    if (fast->duplicate_top_keys != reference->duplicate_top_keys) __builtin_trap();
  }
  if (reference) check_writer(reference->value);
  // Lines passed on or only reordered must be what the full path writes.
  if (auto sorted = protocol::json::fast::sorted_object(text)) {
    if (!reference || *sorted != protocol::json::dump_general(reference->value)) __builtin_trap();
  }
  if (auto members = protocol::json::fast::written_members(text)) {
    if (!reference || !reference->value.is_object()) __builtin_trap();
    for (const protocol::json::fast::Member& m : *members) {
      auto value = protocol::json::parse_general(m.value);
      if (!value || protocol::json::dump_general(value->value) != m.value) __builtin_trap();
    }
  }
  // Raw bytes as a string value: escapes, and broken UTF-8 replaced.
  check_writer(protocol::json::Json(std::string(text)));
  protocol::json::Json keyed = protocol::json::Json::object();
  keyed[std::string(text)] = 1;
  check_writer(keyed);
  // The relay's pass-through writes what the full path writes, and fails
  // where it fails.
  {
    protocol::BufReader in(std::make_unique<protocol::StringSource>(std::string(text)));
    protocol::StringSink relayed;
    auto got = protocol::mcp_relay(in, relayed);
    protocol::BufReader again(std::make_unique<protocol::StringSource>(std::string(text)));
    protocol::StringSink written;
    auto read = protocol::mcp_read(again);
    if (got.has_value() != read.has_value()) __builtin_trap();
    if (read && read->has_value()) {
      if (!protocol::mcp_write(written, **read)) __builtin_trap();
      if (relayed.data() != written.data()) __builtin_trap();
      if (**got != !(*read)->is_notification()) __builtin_trap();
    }
  }
  return 0;
}
