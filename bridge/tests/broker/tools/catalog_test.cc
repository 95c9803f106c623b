#include "broker/tools/catalog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace velkor::broker::tools {
namespace {

const protocol::json::Json& member(const protocol::json::Json& object, std::string_view key) {
  static const protocol::json::Json kMissing;
  auto it = object.find(key);
  if (it == object.end()) {
    ADD_FAILURE() << "no " << key << " in " << protocol::json::dump(object);
    return kMissing;
  }
  return *it;
}

std::vector<std::string> keys(const protocol::json::Json& object) {
  std::vector<std::string> out;
  for (auto it = object.begin(); it != object.end(); ++it) out.push_back(it.key());
  return out;
}

// Argument schemas as the agent reads them. "value" and "url" are described
// per tool and keyed here as "tool/argument".
const std::map<std::string, std::string> kSchemas = {
    {"browserId", R"({"description":"Connected browser identifier.","type":"string"})"},
    {"tabId", R"({"description":"Explicitly shared tab. Defaults to the active shared tab.",)"
              R"("minimum":0,"type":"integer"})"},
    {"sessionId",
     R"({"description":"Identifier returned by browser_start in this client.","type":"string"})"},
    {"frameId", R"({"description":"Frame ID from browser_frames. Pair a child frame ID with its )"
                R"(documentId.","minimum":0,"type":"integer"})"},
    {"documentId",
     R"({"description":"Current documentId from browser_frames, required for a child frame )"
     R"(unless ref identifies its document.","type":"string"})"},
    {"ref", R"({"description":"Element reference from the latest snapshot of this frame.",)"
            R"("type":"string"})"},
    {"selector", R"({"description":"CSS selector in the selected document.","type":"string"})"},
    {"key", R"({"description":"Key such as Enter, Escape, Tab or ArrowDown.","type":"string"})"},
    {"browser_select/value", R"({"description":"Value of the option.","type":"string"})"},
    {"browser_fill/value", R"({"description":"New field value.","type":"string"})"},
    {"browser_navigate/url", R"({"description":"HTTP or HTTPS URL.","type":"string"})"},
    {"browser_download/url",
     R"({"description":"Start URL on the selected page's site. Chrome follows redirects and )"
     R"(verifies the effective destination.","type":"string"})"},
    {"filename", R"({"description":"Optional preferred filename.","type":"string"})"},
    {"selectionId", R"({"description":"Identifier from browser_files.","type":"string"})"},
    {"deltaX", R"({"type":"integer"})"},
    {"deltaY", R"({"type":"integer"})"},
};

struct Entry {
  std::string name;
  std::string description;
  std::vector<std::string> properties;  // in serialised (sorted) order
  std::string required;                 // compact JSON
};

const std::vector<std::string> kTarget = {"documentId", "frameId", "ref", "selector", "sessionId"};

std::vector<std::string> target_with(std::vector<std::string> extra) {
  std::vector<std::string> out = kTarget;
  out.insert(out.end(), extra.begin(), extra.end());
  std::sort(out.begin(), out.end());
  return out;
}

const std::vector<Entry>& expected_tools() {
  static const std::vector<Entry> kTools = {
      {"browser_tabs", "List browser profiles and tabs explicitly shared with Velkor.", {}, "[]"},
      {"browser_start",
       "Start a session in one shared tab. Use a browserId and tabId from browser_tabs.",
       {"browserId", "tabId"},
       "[]"},
      {"browser_snapshot",
       "Observe actionable elements in the selected document.",
       {"documentId", "frameId", "sessionId"},
       R"(["sessionId"])"},
      {"browser_text",
       "Read visible text from the selected document.",
       {"documentId", "frameId", "sessionId"},
       R"(["sessionId"])"},
      {"browser_frames",
       "List accessible web frames and their current document IDs in the selected tab.",
       {"sessionId"},
       R"(["sessionId"])"},
      {"browser_navigate",
       "Open an HTTP or HTTPS URL in the selected tab. A different website requires a fresh tab "
       "grant.",
       {"sessionId", "url"},
       R"(["sessionId","url"])"},
      {"browser_back", "Go back in the selected tab.", {"sessionId"}, R"(["sessionId"])"},
      {"browser_forward", "Go forward in the selected tab.", {"sessionId"}, R"(["sessionId"])"},
      {"browser_reload", "Reload the selected tab.", {"sessionId"}, R"(["sessionId"])"},
      {"browser_screenshot",
       "Capture the selected tab as a PNG image.",
       {"sessionId"},
       R"(["sessionId"])"},
      {"browser_press", "Press a normal navigation or editing key in the selected document.",
       target_with({"key"}), R"(["sessionId","key"])"},
      {"browser_select", "Select a value in an HTML select control.", target_with({"value"}),
       R"(["sessionId","value"])"},
      {"browser_scroll", "Scroll the selected page or a specified scroll container.",
       target_with({"deltaX", "deltaY"}), R"(["sessionId"])"},
      {"browser_click", "Click one element in the selected document using ref or selector.",
       kTarget, R"(["sessionId"])"},
      {"browser_fill", "Set a field in the selected document using ref or selector.",
       target_with({"value"}), R"(["sessionId","value"])"},
      {"browser_files", "List files the user selected for upload.", {}, "[]"},
      {"browser_upload", "Attach a user-selected file to a file input in the selected document.",
       target_with({"selectionId"}), R"(["sessionId","selectionId"])"},
      {"browser_download",
       "Download a file from the selected page and report the completed transfer.",
       {"filename", "sessionId", "url"},
       R"(["sessionId","url"])"},
      {"browser_stop",
       "End this client's selected browser session.",
       {"sessionId"},
       R"(["sessionId"])"},
  };
  return kTools;
}

TEST(CatalogTest, EveryToolInOrder) {
  const protocol::json::Json tools = catalog();
  ASSERT_TRUE(tools.is_array());
  const auto& expected = expected_tools();
  ASSERT_EQ(tools.size(), expected.size());
  ASSERT_EQ(expected.size(), 19u);

  for (std::size_t i = 0; i < expected.size(); ++i) {
    const Entry& want = expected[i];
    const protocol::json::Json& tool = tools[i];
    SCOPED_TRACE(want.name);
    EXPECT_EQ(keys(tool), (std::vector<std::string>{"description", "inputSchema", "name"}));
    EXPECT_EQ(member(tool, "name"), want.name);
    EXPECT_EQ(member(tool, "description"), want.description);

    const protocol::json::Json& schema = member(tool, "inputSchema");
    EXPECT_EQ(keys(schema),
              (std::vector<std::string>{"additionalProperties", "properties", "required", "type"}));
    EXPECT_EQ(protocol::json::dump(member(schema, "additionalProperties")), "false");
    EXPECT_EQ(protocol::json::dump(member(schema, "type")), R"("object")");
    EXPECT_EQ(protocol::json::dump(member(schema, "required")), want.required);

    const protocol::json::Json& properties = member(schema, "properties");
    ASSERT_TRUE(properties.is_object());
    EXPECT_EQ(keys(properties), want.properties);
    for (auto it = properties.begin(); it != properties.end(); ++it) {
      auto schema_of = kSchemas.find(want.name + "/" + it.key());
      if (schema_of == kSchemas.end()) schema_of = kSchemas.find(it.key());
      ASSERT_NE(schema_of, kSchemas.end()) << it.key();
      EXPECT_EQ(protocol::json::dump(it.value()), schema_of->second) << it.key();
    }
  }
}

TEST(CatalogTest, ExactBytesOfOneElementTool) {
  const protocol::json::Json tools = catalog();
  ASSERT_EQ(tools.size(), 19u);
  EXPECT_EQ(protocol::json::dump(tools[10]),
            R"({"description":"Press a normal navigation or editing key in the selected )"
            R"(document.","inputSchema":{"additionalProperties":false,"properties":{)"
            R"("documentId":{"description":"Current documentId from browser_frames, required )"
            R"(for a child frame unless ref identifies its document.","type":"string"},)"
            R"("frameId":{"description":"Frame ID from browser_frames. Pair a child frame ID )"
            R"(with its documentId.","minimum":0,"type":"integer"},"key":{"description":"Key )"
            R"(such as Enter, Escape, Tab or ArrowDown.","type":"string"},"ref":{"description":)"
            R"("Element reference from the latest snapshot of this frame.","type":"string"},)"
            R"("selector":{"description":"CSS selector in the selected document.","type":)"
            R"("string"},"sessionId":{"description":"Identifier returned by browser_start in )"
            R"(this client.","type":"string"}},"required":["sessionId","key"],"type":"object"},)"
            R"("name":"browser_press"})");
  EXPECT_EQ(protocol::json::dump(tools[0]),
            R"({"description":"List browser profiles and tabs explicitly shared with Velkor.",)"
            R"("inputSchema":{"additionalProperties":false,"properties":{},"required":[],)"
            R"("type":"object"},"name":"browser_tabs"})");
}

}  // namespace
}  // namespace velkor::broker::tools
