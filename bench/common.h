#pragma once

// What the soak and the end-to-end figures both need: reading their flags,
// quiet peers, and looking into answers without the JSON library's throwing
// accessors.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "protocol/json.h"
#include "support/process.h"

namespace velkor::bench {

// One "--name N" option and the range it accepts.
struct Flag {
  std::string_view name;
  std::uint64_t* value;
  std::uint64_t min, max;
};

// Sets the flags given as "--name N" pairs; false on an option it does not
// know or a value out of range.
inline bool parse_flags(int argc, char** argv, std::span<const Flag> flags) {
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 >= argc) return false;
    const std::string_view name = argv[i], text = argv[i + 1];
    auto flag =
        std::find_if(flags.begin(), flags.end(), [&](const Flag& f) { return f.name == name; });
    std::uint64_t value = 0;
    auto parsed = std::from_chars(text.data(), text.data() + text.size(), value);
    if (flag == flags.end() || parsed.ec != std::errc() ||
        parsed.ptr != text.data() + text.size() || value < flag->min || value > flag->max) {
      return false;
    }
    *flag->value = value;
  }
  return true;
}

// Errors only: nothing reads the children's standard error while they run,
// and at the test helpers' debug level every call or refused neighbour
// writes a line that would fill the pipe and stall them.
inline test::Env quiet_env() { return test::Env().set("VELKOR_COMPUTER_USE_LOG", "error"); }

// `value[key]` when `value` is an object holding it, else null.
inline const protocol::json::Json& member(const protocol::json::Json& value, const char* key) {
  static const protocol::json::Json kNull;
  if (!value.is_object()) return kNull;
  auto it = value.find(key);
  return it == value.end() ? kNull : *it;
}

inline bool is_true(const protocol::json::Json& value) {
  return value.is_boolean() && value.get<bool>();
}

// What the tests send: a known protocol version and a client name.
inline protocol::json::Json initialize_params() {
  return protocol::json::Json{{"protocolVersion", "2025-11-25"},
                              {"clientInfo", {{"name", "claude-code"}}}};
}

// Nearest rank in `sorted`, which is not empty.
inline double percentile_of_sorted(const std::vector<double>& sorted, double p) {
  const auto rank =
      static_cast<std::size_t>(std::ceil(p / 100 * static_cast<double>(sorted.size())));
  return sorted[std::max<std::size_t>(rank, 1) - 1];
}

}  // namespace velkor::bench
