// Every tool through the real processes: agent -> mcp -> broker -> native
// host -> stand-in extension, and back.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "broker/screenshot/base64.h"
#include "support/peers.h"

namespace velkor::test {
namespace {

class ToolsE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    broker_ = std::make_unique<BrokerProcess>(dir_.path(), broker_args());
    ASSERT_TRUE(broker_->ready()) << broker_->child().stderr_text();
  }
  virtual std::vector<std::string> broker_args() { return {}; }

  // An extension that announced itself and answers like a healthy one.
  std::unique_ptr<FakeExtension> connect_extension(std::string browser = "Chrome") {
    auto ext = std::make_unique<FakeExtension>(dir_.path());
    auto reply = ext->announce_default(browser);
    EXPECT_TRUE(reply.has_value());
    if (reply) {
      EXPECT_EQ(json::dump(*reply), R"({"data":{"ready":true},"id":0,"ok":true})");
    }
    return ext;
  }

  std::string start_session(FakeAgent& agent, Json args = Json::object()) {
    auto started = agent.tool("browser_start", std::move(args));
    if (!started || !started->contains("structuredContent")) {
      ADD_FAILURE() << (started ? started->dump() : "no answer");
      return {};
    }
    return (*started)["structuredContent"].value("sessionId", std::string());
  }

  TempDir dir_;
  std::unique_ptr<BrokerProcess> broker_;
};

TEST_F(ToolsE2eTest, ListStartDriveAndStop) {
  auto ext = connect_extension();
  ext->serve();
  FakeAgent agent(dir_.path());

  auto init = agent.request("initialize", {{"protocolVersion", "2025-11-25"},
                                           {"clientInfo", {{"name", "claude-code"}}}});
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

}  // namespace
}  // namespace velkor::test
