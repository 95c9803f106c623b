#include "broker/tools/tool.h"

#include "broker/tools/table.h"
#include "protocol/operations.h"

namespace velkor::broker::tools {
namespace {

Unexpected<std::string> failure(std::string_view text) { return Unexpected(std::string(text)); }

// A non-empty string member, or nullptr. An empty identifier is as good as
// none: it cannot name anything.
const std::string* non_empty_string(const protocol::json::Json& arguments, std::string_view key) {
  const std::string* text = protocol::json::find_string(arguments, key);
  return text != nullptr && !text->empty() ? text : nullptr;
}

// Whether `arguments` carries a name that `tool` does not list. Names are
// checked before any value, so a stray name wins over a bad value.
bool has_unknown_argument(const ToolEntry& tool, const protocol::json::Json& arguments) {
  for (auto it = arguments.begin(); it != arguments.end(); ++it) {
    if (!allows(tool, it.key())) return true;
  }
  return false;
}

Result<Tool, std::string> parse_start(const ToolEntry& tool,
                                      const protocol::json::Json& arguments) {
  if (has_unknown_argument(tool, arguments)) return failure(kUnknownArgument);
  Tool::Start start;
  if (auto tab = arguments.find("tabId"); tab != arguments.end()) {
    // A float such as 1.0 is refused: only a number written as an integer is
    // a tab id.
    std::optional<std::int64_t> id = protocol::json::as_i64(*tab);
    if (!id || *id < 0 || *id > kMaxTabId) return failure(kInvalidBrowserOrTab);
    start.tab_id = *id;
  }
  if (arguments.contains("browserId")) {
    const std::string* browser = non_empty_string(arguments, "browserId");
    if (browser == nullptr) return failure(kInvalidBrowserOrTab);
    start.browser_id = *browser;
  }
  return Tool{std::move(start)};
}

Result<Tool, std::string> parse_page(const ToolEntry& tool, const protocol::json::Json& arguments) {
  if (has_unknown_argument(tool, arguments)) return failure(kUnknownArgument);
  const std::string* session = non_empty_string(arguments, "sessionId");
  if (session == nullptr) return failure(kMissingSessionId);
  Tool::Page page{tool.op, *session, std::nullopt};
  if (tool.op == protocol::kPageUpload) {
    const std::string* selection = non_empty_string(arguments, "selectionId");
    if (selection == nullptr) return failure(kMissingSelection);
    page.selection_id = *selection;
  }
  return Tool{std::move(page)};
}

}  // namespace

Result<Tool, std::string> Tool::parse(std::string_view name,
                                      const protocol::json::Json& arguments) {
  if (!arguments.is_object()) return failure(kArgumentsNotObject);
  const ToolEntry* tool = find_tool(name);
  if (tool == nullptr) return failure(kUnknownTool);
  switch (tool->kind) {
    case Kind::kTabs:
    case Kind::kFiles:
      if (!arguments.empty()) return failure(kUnknownArgument);
      return tool->kind == Kind::kTabs ? Tool{Tabs{}} : Tool{Files{}};
    case Kind::kStart:
      return parse_start(*tool, arguments);
    case Kind::kPage:
      return parse_page(*tool, arguments);
  }
  return failure(kUnknownTool);
}

}  // namespace velkor::broker::tools
