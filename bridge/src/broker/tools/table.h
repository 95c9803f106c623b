#pragma once

#include <span>
#include <string_view>

namespace velkor::broker::tools {

// How an argument's schema is written in the catalog.
enum class Shape {
  kString,              // {"description":D,"type":"string"}
  kNonNegativeInteger,  // {"description":D,"minimum":0,"type":"integer"}
  kInteger,             // {"type":"integer"}; the description stays empty
};

struct Argument {
  std::string_view name;
  Shape shape;
  std::string_view description;
};

// Which Tool variant a tool parses into.
enum class Kind { kTabs, kFiles, kStart, kPage };

// One tool, as the catalog shows it to the agent and as Tool::parse reads a
// call of it. `arguments` serves both: it is the schema's "properties" and the
// complete set of names a call may carry, so the catalog can never promise an
// argument that the parser refuses.
struct ToolEntry {
  std::string_view name;
  std::string_view description;
  Kind kind;
  std::string_view op;  // the bridge operation of a kPage tool; empty otherwise
  std::span<const Argument> arguments;
  std::span<const std::string_view> required;  // in the order the catalog lists them
};

// The 19 tools in catalog order. Static storage; never changes.
std::span<const ToolEntry> tool_table();

// The tool named exactly `name` (case-sensitive), or nullptr.
const ToolEntry* find_tool(std::string_view name);

// Whether a call of `tool` may carry an argument named `name`.
bool allows(const ToolEntry& tool, std::string_view name);

}  // namespace velkor::broker::tools
