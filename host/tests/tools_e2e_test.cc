// Every tool through the real processes: agent -> mcp -> broker -> native
// host -> stand-in extension, and back.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "broker/screenshot/base64.h"
#include "e2e_fixture.h"
#include "protocol/bridge.h"

namespace velkor::test {
namespace {

class ToolsE2eTest : public E2eTest {
 protected:
  // The whole answer to a "tools/call" with these params (so that a test
  // can leave "name" or "arguments" out).
  static Json call_raw(FakeAgent& agent, Json params) {
    auto answer = agent.request("tools/call", std::move(params));
    if (!answer) return "no answer";
    return answer->contains("result") ? (*answer)["result"] : *answer;
  }
};

const std::string kInstructions =
    "Velkor Computer Use работает в выбранных пользователем вкладках. Сначала вызовите "
    "browser_tabs и закрепите сессию через browser_start. После смены документа получите "
    "свежий снимок элементов. Для загрузки используйте только selectionId из browser_files.";
const std::string kNotConnected = "Подключите расширение velkor в браузере.";
const std::string kNotYours = "Сессия не принадлежит этому клиенту.";

bool is_identifier(const std::string& s) {
  return s.size() == 32 && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

TEST_F(ToolsE2eTest, ListStartDriveAndStop) {
  auto ext = connect_extension();
  ext->serve();
  FakeAgent agent(dir_.path());

  auto init = agent.request(
      "initialize", {{"protocolVersion", "2025-11-25"}, {"clientInfo", {{"name", "claude-code"}}}});
  ASSERT_TRUE(init);
  EXPECT_EQ((*init)["result"]["protocolVersion"], "2025-11-25");

  auto tabs = agent.tool("browser_tabs");
  ASSERT_TRUE(tabs);
  const Json& browsers = (*tabs)["structuredContent"]["browsers"];
  ASSERT_EQ(browsers.size(), 1u);
  EXPECT_EQ(browsers[0]["browser"]["name"], "Chrome");
  EXPECT_EQ(browsers[0]["tabs"][0]["id"], 7);

  std::string session = start_session(agent, {{"tabId", 7}});
  ASSERT_EQ(session.size(), 32u);
  auto requests = ext->requests();
  ASSERT_GE(requests.size(), 2u);
  EXPECT_EQ(requests[1].op, "session_start");
  EXPECT_EQ(requests[1].args["controller"]["name"], "Claude");
  EXPECT_EQ(requests[1].tab_id, 7);

  auto clicked = agent.tool("browser_click", {{"sessionId", session}, {"frameId", "abc"}});
  ASSERT_TRUE(clicked);
  EXPECT_EQ((*clicked)["structuredContent"]["op"], "page_click");
  EXPECT_EQ((*clicked)["structuredContent"]["args"],
            (Json{{"frameId", "abc"}, {"sessionId", session}}));

  auto shot = agent.tool("browser_screenshot", {{"sessionId", session}});
  ASSERT_TRUE(shot);
  const Json& item = (*shot)["content"][0];
  EXPECT_EQ(item["type"], "image");
  EXPECT_EQ(item["mimeType"], "image/png");
  EXPECT_EQ(item["data"], broker::screenshot::base64_encode(ext->png));
  EXPECT_EQ((*shot)["structuredContent"]["size"], 1000);

  auto stopped = agent.tool("browser_stop", {{"sessionId", session}});
  ASSERT_TRUE(stopped);
  EXPECT_FALSE(stopped->contains("isError"));
  auto after = agent.tool("browser_click", {{"sessionId", session}});
  ASSERT_TRUE(after);
  EXPECT_EQ(FakeAgent::text(*after), "Сессия не принадлежит этому клиенту.");
}

TEST_F(ToolsE2eTest, PingUnknownMethodsAndNotifications) {
  FakeAgent agent(dir_.path());
  // A notification gets no answer, so the next line answers the ping.
  agent.notify("notifications/initialized");
  EXPECT_EQ(agent.request("ping", {{"anything", 1}}),
            (Json{{"id", 1}, {"jsonrpc", "2.0"}, {"result", Json::object()}}));
  const Json not_found = {{"code", -32601}, {"message", "Method not found"}};
  EXPECT_EQ(agent.request("Ping"), (Json{{"error", not_found}, {"id", 2}, {"jsonrpc", "2.0"}}));
  EXPECT_EQ(agent.request("notifications/initialized"),
            (Json{{"error", not_found}, {"id", 3}, {"jsonrpc", "2.0"}}));
  EXPECT_EQ(agent.request("resources/list"),
            (Json{{"error", not_found}, {"id", 4}, {"jsonrpc", "2.0"}}));
}

TEST_F(ToolsE2eTest, ToolsListHasTheNineteenToolsInOrder) {
  FakeAgent agent(dir_.path());
  auto listed = agent.request("tools/list");
  ASSERT_TRUE(listed);
  const Json& tools = (*listed)["result"]["tools"];
  std::vector<std::string> names;
  for (const Json& tool : tools) names.push_back(tool.value("name", std::string()));
  EXPECT_EQ(names, (std::vector<std::string>{
                       "browser_tabs", "browser_start", "browser_snapshot", "browser_text",
                       "browser_frames", "browser_navigate", "browser_back", "browser_forward",
                       "browser_reload", "browser_screenshot", "browser_press", "browser_select",
                       "browser_scroll", "browser_click", "browser_fill", "browser_files",
                       "browser_upload", "browser_download", "browser_stop"}));
  EXPECT_EQ(tools[0],
            (Json{{"description", "List browser profiles and tabs explicitly shared with Velkor."},
                  {"inputSchema",
                   {{"additionalProperties", false},
                    {"properties", Json::object()},
                    {"required", Json::array()},
                    {"type", "object"}}},
                  {"name", "browser_tabs"}}));
}

TEST_F(ToolsE2eTest, InitializeAnswersAKnownVersionOrTheDefault) {
  struct Case {
    const char* what;
    Json params;  // null: no params member
    std::string version;
  };
  const std::vector<Case> cases = {
      {"newest", {{"protocolVersion", "2025-11-25"}}, "2025-11-25"},
      {"oldest", {{"protocolVersion", "2024-11-05"}}, "2024-11-05"},
      {"march", {{"protocolVersion", "2025-03-26"}}, "2025-03-26"},
      {"unknown date", {{"protocolVersion", "2026-01-01"}}, "2025-06-18"},
      {"padded", {{"protocolVersion", "2025-11-25 "}}, "2025-06-18"},
      {"number", {{"protocolVersion", 20251125}}, "2025-06-18"},
      {"missing", {{"clientInfo", {{"name", "x"}}}}, "2025-06-18"},
      {"no params", nullptr, "2025-06-18"},
      {"params not an object", Json::array({"2025-11-25"}), "2025-06-18"},
  };
  FakeAgent agent(dir_.path());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto answer = agent.request("initialize", c.params);
    ASSERT_TRUE(answer);
    EXPECT_EQ((*answer)["result"], (Json{{"capabilities", {{"tools", Json::object()}}},
                                         {"instructions", kInstructions},
                                         {"protocolVersion", c.version},
                                         {"serverInfo",
                                          {{"name", "velkor-computer-use"},
                                           {"title", "Velkor Computer Use"},
                                           {"version", VELKOR_VERSION}}}}));
  }
}

TEST_F(ToolsE2eTest, InitializeNamesTheControllerSentAtStart) {
  auto ext = connect_extension();
  ext->serve();
  FakeAgent agent(dir_.path());
  struct Step {
    Json params;
    std::string controller;
  };
  const std::vector<Step> steps = {
      {{{"clientInfo", {{"version", "1"}}}}, "Agent"},  // no name: unchanged
      {{{"clientInfo", {{"name", "Cursor Agent"}}}}, "Cursor"},
      {{{"clientInfo", {{"name", 5}}}}, "Cursor"},  // not a string: unchanged
      {{{"clientInfo", {{"name", "OpenCodex"}}}}, "Codex"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.params.dump());
    ASSERT_TRUE(agent.request("initialize", step.params));
    const std::size_t before = ext->requests().size();
    ASSERT_FALSE(start_session(agent, {{"tabId", 7}}).empty());
    auto seen = seen_since(*ext, before);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].op, "session_start");
    EXPECT_EQ(seen[0].args["controller"], (Json{{"name", step.controller}}));
  }
}

// Argument errors and their precedence, with a real session so that each
// case fails on exactly the check it names. None reaches the extension.
TEST_F(ToolsE2eTest, ArgumentErrorsAndTheirPrecedence) {
  auto ext = connect_extension();
  ext->serve();
  FakeAgent agent(dir_.path());
  const std::string s = start_session(agent, {{"tabId", 7}});
  ASSERT_FALSE(s.empty());
  const std::size_t before = ext->requests().size();

  const std::string objects = "Ожидался объект параметров.";
  const std::string unknown_tool = "Неизвестный инструмент.";
  const std::string unknown_arg = "Неизвестный параметр инструмента.";
  const std::string session = "Укажите идентификатор сессии.";
  const std::string selection = "Выберите файл в приложении Велкора.";
  const std::string browser_tab = "Укажите корректный браузер и вкладку.";
  struct Case {
    Json params;  // the "tools/call" params as sent
    std::string text;
  };
  const std::vector<Case> cases = {
      // Arguments that are not an object, whatever the name.
      {{{"name", "browser_nope"}, {"arguments", Json::array()}}, objects},
      {{{"name", "browser_click"}, {"arguments", "sessionId"}}, objects},
      {{{"name", "browser_tabs"}, {"arguments", nullptr}}, objects},
      {{{"name", "browser_start"}, {"arguments", 7}}, objects},
      {{{"arguments", Json::array({1})}}, objects},
      // Names: exact and case-sensitive; a missing or non-string name is "".
      {{{"name", "Browser_tabs"}, {"arguments", Json::object()}}, unknown_tool},
      {{{"name", "browser_nope"}, {"arguments", {{"sessionId", s}}}}, unknown_tool},
      {{{"name", 5}, {"arguments", Json::object()}}, unknown_tool},
      {Json::object(), unknown_tool},
      // Argument names come before any value check.
      {{{"name", "browser_tabs"}, {"arguments", {{"x", 1}}}}, unknown_arg},
      {{{"name", "browser_files"}, {"arguments", {{"sessionId", s}}}}, unknown_arg},
      {{{"name", "browser_start"}, {"arguments", {{"sessionId", s}}}}, unknown_arg},
      {{{"name", "browser_start"}, {"arguments", {{"tabId", "bad"}, {"zoom", 1}}}}, unknown_arg},
      {{{"name", "browser_click"}, {"arguments", {{"url", "https://example.com/"}}}}, unknown_arg},
      {{{"name", "browser_click"}, {"arguments", {{"sessionId", s}, {"url", "https://a/"}}}},
       unknown_arg},
      {{{"name", "browser_stop"}, {"arguments", {{"sessionId", s}, {"tabId", 7}}}}, unknown_arg},
      {{{"name", "browser_screenshot"}, {"arguments", {{"frameId", 0}, {"sessionId", s}}}},
       unknown_arg},
      {{{"name", "browser_download"}, {"arguments", {{"ref", "e1"}, {"sessionId", s}}}},
       unknown_arg},
      // browser_start values.
      {{{"name", "browser_start"}, {"arguments", {{"tabId", -1}}}}, browser_tab},
      {{{"name", "browser_start"}, {"arguments", {{"tabId", 2147483648LL}}}}, browser_tab},
      {{{"name", "browser_start"}, {"arguments", {{"tabId", 1.0}}}}, browser_tab},
      {{{"name", "browser_start"}, {"arguments", {{"tabId", "7"}}}}, browser_tab},
      {{{"name", "browser_start"}, {"arguments", {{"tabId", nullptr}}}}, browser_tab},
      {{{"name", "browser_start"}, {"arguments", {{"browserId", ""}}}}, browser_tab},
      {{{"name", "browser_start"}, {"arguments", {{"browserId", 5}, {"tabId", 7}}}}, browser_tab},
      // The session id: present, a string, not empty.
      {{{"name", "browser_click"}, {"arguments", Json::object()}}, session},
      {{{"name", "browser_click"}, {"arguments", {{"sessionId", ""}}}}, session},
      {{{"name", "browser_click"}, {"arguments", {{"sessionId", 5}}}}, session},
      {{{"name", "browser_click"}, {"arguments", {{"sessionId", nullptr}}}}, session},
      {{{"name", "browser_upload"}, {"arguments", {{"selectionId", "x"}}}}, session},
      // The upload's selection comes after the session id.
      {{{"name", "browser_upload"}, {"arguments", {{"sessionId", s}}}}, selection},
      {{{"name", "browser_upload"}, {"arguments", {{"selectionId", ""}, {"sessionId", s}}}},
       selection},
      {{{"name", "browser_upload"}, {"arguments", {{"selectionId", 5}, {"sessionId", s}}}},
       selection},
      // Well-formed, but no session of this client.
      {{{"name", "browser_navigate"}, {"arguments", {{"sessionId", s + "0"}}}}, kNotYours},
      {{{"name", "browser_upload"}, {"arguments", {{"selectionId", "x"}, {"sessionId", "s"}}}},
       kNotYours},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.params.dump());
    EXPECT_EQ(call_raw(agent, c.params), error_result(c.text));
  }
  // "tools/call" without params at all calls the tool named "".
  EXPECT_EQ(call_raw(agent, nullptr), error_result(unknown_tool));
  EXPECT_TRUE(seen_since(*ext, before).empty());
}

TEST_F(ToolsE2eTest, StartNeedsOneBrowserOrAListedBrowserId) {
  FakeAgent agent(dir_.path());
  const std::string invented(32, 'f');
  EXPECT_EQ(call(agent, "browser_start"), error_result(kNotConnected));
  EXPECT_EQ(call(agent, "browser_start", {{"browserId", invented}}), error_result(kNotConnected));

  auto chrome = connect_extension("Chrome");
  chrome->serve();
  auto chromium = connect_extension("Chromium");
  chromium->serve();
  EXPECT_EQ(call(agent, "browser_start", {{"tabId", 7}}),
            error_result("Укажите browserId из browser_tabs."));
  EXPECT_EQ(call(agent, "browser_start", {{"browserId", invented}}), error_result(kNotConnected));
  EXPECT_TRUE(chrome->requests().empty());
  EXPECT_TRUE(chromium->requests().empty());

  // The id that browser_tabs lists picks that browser.
  Json tabs = call(agent, "browser_tabs");
  std::string chromium_id;
  for (Json entry : tabs["structuredContent"]["browsers"]) {
    if (entry["browser"]["name"] == "Chromium") {
      chromium_id = entry["browser"].value("id", std::string());
    }
  }
  ASSERT_TRUE(is_identifier(chromium_id)) << tabs.dump();
  Json started = call(agent, "browser_start", {{"browserId", chromium_id}, {"tabId", 7}});
  const std::string s = started["structuredContent"].value("sessionId", std::string());
  ASSERT_TRUE(is_identifier(s)) << started.dump();
  EXPECT_EQ(started, value_result({{"browserId", chromium_id}, {"sessionId", s}, {"tabId", 7}}));
  ASSERT_EQ(chromium->requests().size(), 2u);
  EXPECT_EQ(chromium->requests()[1].op, "session_start");
  ASSERT_EQ(chrome->requests().size(), 1u);
  EXPECT_EQ(chrome->requests()[0].op, "tab_list");
}

// An unconfirmed start fails with its text, and the broker withdraws the
// session with a "session_stop" that names no tab.
TEST_F(ToolsE2eTest, UnconfirmedStartIsWithdrawn) {
  const std::string id_text = "Расширение не подтвердило идентификатор сессии.";
  const std::string tab_text = "Расширение не подтвердило выбранную вкладку.";
  const std::string other(32, '0');
  auto echo = [](const SeenRequest& req) { return req.args.value("sessionId", std::string()); };
  struct Case {
    const char* what;
    std::optional<std::int64_t> tab;  // the tabId the agent asks for
    std::function<Answer(const SeenRequest&)> reply;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"other session id", 7,
       [&](const SeenRequest&) {
         return Answer::ok({{"sessionId", other}, {"tabId", 7}});
       },
       id_text},
      {"no session id", 7,
       [](const SeenRequest&) {
         return Answer::ok({{"tabId", 7}});
       },
       id_text},
      {"no data", 7, [](const SeenRequest&) { return Answer::ok(nullptr); }, id_text},
      {"session id checked first", 7,
       [&](const SeenRequest&) {
         return Answer::ok({{"sessionId", other}, {"tabId", 5}});
       },
       id_text},
      {"tab 5 for 7", 7,
       [&](const SeenRequest& r) {
         return Answer::ok({{"sessionId", echo(r)}, {"tabId", 5}});
       },
       tab_text},
      {"no tab", std::nullopt,
       [&](const SeenRequest& r) {
         return Answer::ok({{"sessionId", echo(r)}});
       },
       tab_text},
      {"tab above the signed 64-bit range", std::nullopt,
       [&](const SeenRequest& r) {
         return Answer::ok(
             {{"sessionId", echo(r)}, {"tabId", std::uint64_t{9223372036854775808ULL}}});
       },
       tab_text},
      {"tab as a float", std::nullopt,
       [&](const SeenRequest& r) {
         return Answer::ok({{"sessionId", echo(r)}, {"tabId", 7.0}});
       },
       tab_text},
      {"negative tab", std::nullopt,
       [&](const SeenRequest& r) {
         return Answer::ok({{"sessionId", echo(r)}, {"tabId", -1}});
       },
       tab_text},
      {"tab as a string", 7,
       [&](const SeenRequest& r) {
         return Answer::ok({{"sessionId", echo(r)}, {"tabId", "7"}});
       },
       tab_text},
      {"refused", 7, [](const SeenRequest&) { return Answer::fail("Вкладка не открыта."); },
       "Вкладка не открыта."},
  };
  std::atomic<std::size_t> current{0};
  auto ext = connect_extension();
  FakeExtension* e = ext.get();
  ext->serve([&, e](const SeenRequest& req) {
    if (req.op == "session_start") return cases[current.load()].reply(req);
    return e->default_answer(req);
  });
  FakeAgent agent(dir_.path());

  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.what);
    current.store(i);
    const std::size_t before = ext->requests().size();
    Json args = Json::object();
    if (c.tab) args["tabId"] = *c.tab;
    EXPECT_EQ(call(agent, "browser_start", args), error_result(c.text));

    auto seen = seen_since(*ext, before);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].op, "session_start");
    EXPECT_EQ(seen[0].tab_id, c.tab);
    const std::string attempted = echo(seen[0]);
    ASSERT_TRUE(is_identifier(attempted));
    EXPECT_EQ(seen[0].args, (Json{{"controller", {{"name", "Agent"}}}, {"sessionId", attempted}}));
    EXPECT_EQ(seen[1].op, "session_stop");
    EXPECT_FALSE(seen[1].tab_id.has_value());
    EXPECT_EQ(seen[1].args, (Json{{"sessionId", attempted}}));
    // Nothing was recorded for the attempt.
    EXPECT_EQ(call(agent, "browser_click", {{"sessionId", attempted}}), error_result(kNotYours));
  }
}

TEST_F(ToolsE2eTest, AgentsCannotUseEachOthersSessions) {
  auto ext = connect_extension();
  ext->serve();
  FakeAgent first(dir_.path());
  FakeAgent second(dir_.path());
  const std::string mine = start_session(first, {{"tabId", 3}});
  const std::string theirs = start_session(second, {{"tabId", 4}});
  ASSERT_TRUE(is_identifier(mine));
  ASSERT_TRUE(is_identifier(theirs));
  ASSERT_NE(mine, theirs);

  const std::size_t before = ext->requests().size();
  for (const char* tool : {"browser_click", "browser_screenshot", "browser_stop"}) {
    SCOPED_TRACE(tool);
    EXPECT_EQ(call(second, tool, {{"sessionId", mine}}), error_result(kNotYours));
    EXPECT_EQ(call(first, tool, {{"sessionId", theirs}}), error_result(kNotYours));
  }
  EXPECT_TRUE(seen_since(*ext, before).empty());

  // Both sessions are intact and still reach their own tabs.
  EXPECT_EQ(call(first, "browser_click", {{"sessionId", mine}})["structuredContent"]["op"],
            "page_click");
  EXPECT_EQ(call(second, "browser_click", {{"sessionId", theirs}})["structuredContent"]["op"],
            "page_click");
  auto seen = seen_since(*ext, before);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].tab_id, 3);
  EXPECT_EQ(seen[1].tab_id, 4);
}

TEST_F(ToolsE2eTest, DisconnectingAgentStopsItsSessionsInIdOrder) {
  auto ext = connect_extension();
  ext->serve();
  FakeAgent agent(dir_.path());
  const std::string a = start_session(agent, {{"tabId", 3}});
  const std::string b = start_session(agent, {{"tabId", 4}});
  ASSERT_TRUE(is_identifier(a));
  ASSERT_TRUE(is_identifier(b));
  const std::size_t before = ext->requests().size();

  agent.child().close_stdin();
  EXPECT_EQ(agent.child().wait(), 0) << agent.child().stderr_text();
  ASSERT_TRUE(ext->wait_requests(before + 2));
  auto seen = seen_since(*ext, before);
  ASSERT_EQ(seen.size(), 2u);
  std::vector<std::pair<std::string, std::int64_t>> expected = {{a, 3}, {b, 4}};
  std::sort(expected.begin(), expected.end());
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(seen[i].op, "session_stop");
    EXPECT_EQ(seen[i].tab_id, expected[i].second);
    EXPECT_EQ(seen[i].args, (Json{{"sessionId", expected[i].first}}));
  }
}

TEST_F(ToolsE2eTest, TabsReportsAFailingBrowserBesideTheOthers) {
  auto healthy = connect_extension("Chrome");
  healthy->serve();
  auto failing = connect_extension("Failing");
  FakeExtension* f = failing.get();
  failing->serve([f](const SeenRequest& req) {
    return req.op == "tab_list" ? Answer::fail("boom") : f->default_answer(req);
  });
  FakeAgent agent(dir_.path());

  Json result = call(agent, "browser_tabs");
  Json browsers = result["structuredContent"]["browsers"];
  ASSERT_EQ(browsers.size(), 2u) << result.dump();
  // Entries come in browser-id order; each is shaped by its own browser.
  Json expected = Json::array();
  std::vector<std::string> names;
  std::vector<std::string> ids;
  for (Json listed : browsers) {
    const std::string name = listed["browser"].value("name", std::string());
    const std::string id = listed["browser"].value("id", std::string());
    ASSERT_TRUE(is_identifier(id)) << result.dump();
    names.push_back(name);
    ids.push_back(id);
    Json browser{{"id", id}, {"name", name}, {"version", "126"}};
    if (name == "Failing") {
      expected.push_back({{"browser", browser}, {"error", "boom"}});
    } else {
      expected.push_back(
          {{"browser", browser},
           {"tabs",
            Json::array({{{"id", 7}, {"title", "Example"}, {"url", "https://example.com/"}}})}});
    }
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Chrome", "Failing"}));
  EXPECT_LT(ids[0], ids[1]);
  EXPECT_EQ(result, value_result({{"browsers", expected}}));
  EXPECT_EQ(healthy->requests().size(), 1u);
  EXPECT_EQ(failing->requests().size(), 1u);
}

// A request over the browser's 1 MiB frame limit is refused in the broker;
// the native host never sees it, so the browser stays usable.
TEST_F(ToolsE2eTest, OversizedRequestFailsAndTheBrowserStaysUsable) {
  auto ext = connect_extension();
  ext->serve();
  FakeAgent agent(dir_.path());
  const std::string s = start_session(agent, {{"tabId", 7}});
  ASSERT_TRUE(is_identifier(s));
  const std::uint64_t start_id = ext->requests().back().id;

  const Json args{{"sessionId", s}, {"value", std::string(2 * 1024 * 1024, 'v')}};
  const std::size_t n =
      protocol::serialize(protocol::BridgeReq{start_id + 1, "page_fill", 7, args}).size();
  EXPECT_EQ(call(agent, "browser_fill", args),
            error_result("write to extension failed: native-messaging outgoing frame " +
                         std::to_string(n) + " bytes exceeds 1 MB cap"));

  Json clicked = call(agent, "browser_click", {{"sessionId", s}});
  EXPECT_EQ(clicked, value_result({{"args", {{"sessionId", s}}}, {"op", "page_click"}}));
  const SeenRequest last = ext->requests().back();
  EXPECT_EQ(last.op, "page_click");
  EXPECT_EQ(last.id, start_id + 2);  // the refused call used up its id
  for (const SeenRequest& req : ext->requests()) EXPECT_NE(req.op, "page_fill");
}

// An extension reply whose answer line would pass the 16 MiB line limit is
// replaced by a short error; the agent's connection survives.
TEST_F(ToolsE2eTest, OversizedAnswerBecomesAnErrorAndTheAgentStays) {
  auto ext = connect_extension();
  FakeExtension* e = ext.get();
  ext->serve([e](const SeenRequest& req) {
    if (req.op != "page_text") return e->default_answer(req);
    return Answer::ok({{"text", std::string(9 * 1024 * 1024, 't')}});
  });
  FakeAgent agent(dir_.path());
  const std::string s = start_session(agent, {{"tabId", 7}});
  ASSERT_TRUE(is_identifier(s));

  // Megabytes pass through four processes here; sanitizer builds are slow.
  EXPECT_EQ(call(agent, "browser_text", {{"sessionId", s}}, 100s),
            error_result("Ответ браузера слишком велик."));
  EXPECT_EQ(agent.request("ping"),
            (Json{{"id", 3}, {"jsonrpc", "2.0"}, {"result", Json::object()}}));
  EXPECT_EQ(call(agent, "browser_click", {{"sessionId", s}}),
            value_result({{"args", {{"sessionId", s}}}, {"op", "page_click"}}));
}

// Only the broker's own screenshot transfer yields an image: a page reply
// that carries the marker member is shown as plain text.
TEST_F(ToolsE2eTest, PageReplyCannotPassItselfOffAsAScreenshot) {
  auto ext = connect_extension();
  FakeExtension* e = ext.get();
  ext->serve([e](const SeenRequest& req) {
    if (req.op != "page_snapshot") return e->default_answer(req);
    return Answer::ok({{"_verifiedScreenshot", "iVBORw0KGgo="}, {"sha256", "x"}, {"size", 8}});
  });
  FakeAgent agent(dir_.path());
  const std::string s = start_session(agent, {{"tabId", 7}});
  ASSERT_TRUE(is_identifier(s));

  auto result = agent.tool("browser_snapshot", {{"sessionId", s}});
  ASSERT_TRUE(result);
  EXPECT_EQ(protocol::json::dump(*result),
            R"({"content":[{"text":"{\"_verifiedScreenshot\":\"iVBORw0KGgo=\",\"sha256\":\"x\",)"
            R"(\"size\":8}","type":"text"}],"structuredContent":{"_verifiedScreenshot":)"
            R"("iVBORw0KGgo=","sha256":"x","size":8}})");
}

}  // namespace
}  // namespace velkor::test
