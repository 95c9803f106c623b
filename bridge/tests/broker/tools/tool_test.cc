#include "broker/tools/tool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace velkor::broker::tools {
namespace {

protocol::json::Json arguments_of(std::string_view text) {
  auto parsed = protocol::json::parse(text);
  if (!parsed) {
    ADD_FAILURE() << "test JSON does not parse: " << text;
    return nullptr;
  }
  return std::move(parsed->value);
}

struct Printer {
  std::string operator()(const Tool::Tabs&) const { return "tabs"; }
  std::string operator()(const Tool::Files&) const { return "files"; }
  std::string operator()(const Tool::Start& start) const {
    return "start tab=" + (start.tab_id ? std::to_string(*start.tab_id) : "-") +
           " browser=" + start.browser_id.value_or("-");
  }
  std::string operator()(const Tool::Page& page) const {
    return "page " + std::string(page.op) + " session=" + page.session_id +
           " selection=" + page.selection_id.value_or("-");
  }
};

// The parse outcome as one comparable line: the variant and its fields, or
// "error " and the exact text.
std::string outcome(std::string_view name, const protocol::json::Json& arguments) {
  Result<Tool, std::string> tool = Tool::parse(name, arguments);
  if (!tool) return "error " + tool.error();
  return std::visit(Printer{}, tool->kind);
}

std::string outcome(std::string_view name, std::string_view arguments) {
  return outcome(name, arguments_of(arguments));
}

const std::string kNotObject = "error Ожидался объект параметров.";
const std::string kNoTool = "error Неизвестный инструмент.";
const std::string kBadName = "error Неизвестный параметр инструмента.";
const std::string kNoSession = "error Укажите идентификатор сессии.";
const std::string kNoSelection = "error Выберите файл в приложении Велкора.";
const std::string kBadStart = "error Укажите корректный браузер и вкладку.";

struct Case {
  std::string_view name;
  std::string_view arguments;
  std::string expected;
};

void run(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    EXPECT_EQ(outcome(c.name, c.arguments), c.expected) << c.name << " " << c.arguments;
  }
}

TEST(ToolTest, ArgumentsMustBeAnObjectWhateverTheName) {
  run({
      {"browser_tabs", "[]", kNotObject},
      {"browser_click", R"(["sessionId"])", kNotObject},
      {"browser_start", "5", kNotObject},
      {"browser_stop", "null", kNotObject},
      {"no_such_tool", R"("x")", kNotObject},
      {"", "false", kNotObject},
  });
}

TEST(ToolTest, NameMatchesExactly) {
  run({
      {"Browser_tabs", "{}", kNoTool},
      {"BROWSER_CLICK", R"({"sessionId":"s"})", kNoTool},
      {"browser_tab", "{}", kNoTool},
      {"browser_stop ", R"({"sessionId":"s"})", kNoTool},
      {"page_click", R"({"sessionId":"s"})", kNoTool},
      {"", "{}", kNoTool},
  });
}

TEST(ToolTest, TabsAndFilesTakeNothing) {
  run({
      {"browser_tabs", "{}", "tabs"},
      {"browser_files", "{}", "files"},
      {"browser_tabs", R"({"sessionId":"s"})", kBadName},
      {"browser_files", R"({"x":null})", kBadName},
  });
}

TEST(ToolTest, Start) {
  run({
      {"browser_start", "{}", "start tab=- browser=-"},
      {"browser_start", R"({"tabId":0})", "start tab=0 browser=-"},
      {"browser_start", R"({"tabId":2147483647})", "start tab=2147483647 browser=-"},
      {"browser_start", R"({"browserId":"b1"})", "start tab=- browser=b1"},
      {"browser_start", R"({"browserId":" b1 ","tabId":7})", "start tab=7 browser= b1 "},
      {"browser_start", R"({"tabId":2147483648})", kBadStart},
      {"browser_start", R"({"tabId":18446744073709551615})", kBadStart},
      {"browser_start", R"({"tabId":-1})", kBadStart},
      {"browser_start", R"({"tabId":1.0})", kBadStart},
      {"browser_start", R"({"tabId":1e0})", kBadStart},
      {"browser_start", R"({"tabId":"7"})", kBadStart},
      {"browser_start", R"({"tabId":null})", kBadStart},
      {"browser_start", R"({"tabId":true})", kBadStart},
      {"browser_start", R"({"tabId":[7]})", kBadStart},
      {"browser_start", R"({"browserId":""})", kBadStart},
      {"browser_start", R"({"browserId":5})", kBadStart},
      {"browser_start", R"({"browserId":null,"tabId":1})", kBadStart},
      {"browser_start", R"({"browserId":"b1","tabId":-5})", kBadStart},
      // Names are checked before values.
      {"browser_start", R"({"sessionId":"s"})", kBadName},
      {"browser_start", R"({"sessionId":"s","tabId":-1})", kBadName},
  });
}

TEST(ToolTest, PageIdentifiers) {
  run({
      {"browser_click", R"({"sessionId":"s1"})", "page page_click session=s1 selection=-"},
      {"browser_click", R"({"sessionId":" s1 "})", "page page_click session= s1  selection=-"},
      {"browser_click", "{}", kNoSession},
      {"browser_click", R"({"sessionId":""})", kNoSession},
      {"browser_click", R"({"sessionId":5})", kNoSession},
      {"browser_click", R"({"sessionId":null})", kNoSession},
      {"browser_click", R"({"sessionId":"s1","url":"https://a.example"})", kBadName},
      {"browser_click", R"({"url":"https://a.example"})", kBadName},
      // Values of listed arguments are the extension's to judge.
      {"browser_click", R"({"sessionId":"s1","frameId":"abc"})",
       "page page_click session=s1 selection=-"},
      {"browser_fill", R"({"sessionId":"s1"})", "page page_fill session=s1 selection=-"},
      {"browser_navigate", R"({"sessionId":"s1"})", "page page_navigate session=s1 selection=-"},
      {"browser_upload", R"({"sessionId":"s1"})", kNoSelection},
      {"browser_upload", R"({"sessionId":"s1","selectionId":""})", kNoSelection},
      {"browser_upload", R"({"sessionId":"s1","selectionId":7})", kNoSelection},
      {"browser_upload", R"({"selectionId":"f1"})", kNoSession},
      {"browser_upload", R"({"sessionId":"s1","selectionId":"f1"})",
       "page page_upload session=s1 selection=f1"},
      {"browser_snapshot", R"({"sessionId":"s1","selectionId":"f1"})", kBadName},
      {"browser_stop", R"({"sessionId":"s1"})", "page session_stop session=s1 selection=-"},
  });
}

// Every argument name any tool takes, plus one that none takes.
const std::vector<std::string> kAllNames = {
    "browserId", "tabId", "sessionId", "frameId",     "documentId", "ref",    "selector", "key",
    "value",     "url",   "filename",  "selectionId", "deltaX",     "deltaY", "paths",
};

TEST(ToolTest, EachPageToolAcceptsExactlyItsArguments) {
  struct PageTool {
    std::string name;
    std::string op;
    std::vector<std::string> allowed;
  };
  const std::vector<std::string> target = {"sessionId", "ref", "selector", "frameId", "documentId"};
  auto with = [&target](std::vector<std::string> extra) {
    extra.insert(extra.end(), target.begin(), target.end());
    return extra;
  };
  const std::vector<PageTool> tools = {
      {"browser_snapshot", "page_snapshot", {"sessionId", "frameId", "documentId"}},
      {"browser_text", "page_text", {"sessionId", "frameId", "documentId"}},
      {"browser_frames", "page_frames", {"sessionId"}},
      {"browser_navigate", "page_navigate", {"sessionId", "url"}},
      {"browser_back", "page_back", {"sessionId"}},
      {"browser_forward", "page_forward", {"sessionId"}},
      {"browser_reload", "page_reload", {"sessionId"}},
      {"browser_screenshot", "page_screenshot", {"sessionId"}},
      {"browser_press", "page_press", with({"key"})},
      {"browser_select", "page_select", with({"value"})},
      {"browser_scroll", "page_scroll", with({"deltaX", "deltaY"})},
      {"browser_click", "page_click", target},
      {"browser_fill", "page_fill", with({"value"})},
      {"browser_upload", "page_upload", with({"selectionId"})},
      {"browser_download", "page_download", {"sessionId", "url", "filename"}},
      {"browser_stop", "session_stop", {"sessionId"}},
  };
  for (const PageTool& tool : tools) {
    SCOPED_TRACE(tool.name);
    protocol::json::Json arguments = protocol::json::Json::object();
    for (const std::string& name : tool.allowed) arguments[name] = 1;
    arguments["sessionId"] = "s";
    std::string selection = "-";
    if (arguments.contains("selectionId")) {
      arguments["selectionId"] = "f";
      selection = "f";
    }
    EXPECT_EQ(outcome(tool.name, arguments),
              "page " + tool.op + " session=s selection=" + selection);

    for (const std::string& name : kAllNames) {
      if (std::find(tool.allowed.begin(), tool.allowed.end(), name) != tool.allowed.end()) {
        continue;
      }
      protocol::json::Json extra = arguments;
      extra[name] = "x";
      EXPECT_EQ(outcome(tool.name, extra), kBadName) << name;
    }
  }
}

TEST(ToolTest, StartAcceptsOnlyBrowserAndTab) {
  for (const std::string& name : kAllNames) {
    if (name == "browserId" || name == "tabId") continue;
    protocol::json::Json arguments = protocol::json::Json::object();
    arguments[name] = "x";
    EXPECT_EQ(outcome("browser_start", arguments), kBadName) << name;
  }
}

}  // namespace
}  // namespace velkor::broker::tools
