// Tool arguments come straight from the agent. The broker reads only a few of
// them, and what it reads must be usable.
// Input: the tool name, a 0x00 byte, then the arguments as JSON text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "broker/tools/tool.h"
#include "protocol/json.h"

using namespace velkor;
using broker::tools::Tool;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::size_t split = bytes.find('\0');
  if (split == std::string_view::npos) return 0;
  auto parsed = protocol::json::parse(bytes.substr(split + 1));
  if (!parsed) return 0;
  auto tool = Tool::parse(bytes.substr(0, split), parsed->value);
  if (!tool) return 0;
  if (!parsed->value.is_object()) __builtin_trap();
  if (const auto* page = std::get_if<Tool::Page>(&tool->kind)) {
    if (page->session_id.empty()) __builtin_trap();
    if (page->selection_id && page->selection_id->empty()) __builtin_trap();
  }
  if (const auto* start = std::get_if<Tool::Start>(&tool->kind)) {
    if (start->tab_id && (*start->tab_id < 0 || *start->tab_id > broker::tools::kMaxTabId)) {
      __builtin_trap();
    }
    if (start->browser_id && start->browser_id->empty()) __builtin_trap();
  }
  return 0;
}
