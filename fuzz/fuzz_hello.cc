// The hello line is the first thing any local process can send the broker:
// no role may be granted without the exact secret.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ipc/tcp.h"
#include "protocol/json.h"

using namespace velkor;

namespace {

// Shaped like the secrets the broker makes, so the fuzzer's dictionary of
// compared bytes can find it.
constexpr std::string_view kSecret = "0123456789abcdef0123456789abcdef";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view line(reinterpret_cast<const char*>(data), size);
  auto role = ipc::parse_hello(line, kSecret);
  if (!role) return 0;
  auto parsed = protocol::json::parse(line);
  if (!parsed) __builtin_trap();
  const std::string* given = protocol::json::find_string(parsed->value, "hello");
  if (given == nullptr || *given != kSecret) __builtin_trap();
  const std::string* claimed = protocol::json::find_string(parsed->value, "role");
  if ((*role == ipc::Role::kMcp) != (claimed != nullptr && *claimed == "mcp")) __builtin_trap();
  return 0;
}
