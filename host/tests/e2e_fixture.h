// The fixture that the process-level tests share: a broker on a private
// runtime directory, with helpers for the stand-in extensions and agents.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "protocol/json.h"
#include "support/peers.h"
#include "support/temp_dir.h"

namespace velkor::test {

class E2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    broker_ = std::make_unique<BrokerProcess>(dir_.path(), broker_args(), broker_env());
    ASSERT_TRUE(broker_->ready()) << broker_->child().stderr_text();
  }
  virtual std::vector<std::string> broker_args() { return {}; }
  virtual Env broker_env() { return {}; }

  // An extension that announced itself as `browser`; it answers nothing
  // until serve() is called.
  std::unique_ptr<FakeExtension> connect_extension(std::string browser = "Chrome") {
    auto ext = std::make_unique<FakeExtension>(dir_.path());
    auto reply = ext->announce_default(browser);
    EXPECT_TRUE(reply.has_value());
    if (reply) {
      EXPECT_EQ(protocol::json::dump(*reply), R"({"data":{"ready":true},"id":0,"ok":true})");
    }
    return ext;
  }

  // Starts a browser session and returns its id ("" after a failure, which
  // is reported).
  std::string start_session(FakeAgent& agent, Json args = Json::object()) {
    auto started = agent.tool("browser_start", std::move(args));
    if (!started || !started->contains("structuredContent")) {
      ADD_FAILURE() << (started ? started->dump() : "no answer");
      return {};
    }
    return (*started)["structuredContent"].value("sessionId", std::string());
  }

  // The result of a "tools/call", or the string "no answer".
  static Json call(FakeAgent& agent, const std::string& name, Json arguments = Json::object(),
                   std::chrono::milliseconds timeout = 30s) {
    auto result = agent.tool(name, std::move(arguments), timeout);
    return result ? *result : Json("no answer");
  }

  // The tool result of a failure with `text`.
  static Json error_result(const std::string& text) {
    return Json{{"content", Json::array({{{"text", text}, {"type", "text"}}})}, {"isError", true}};
  }

  // The tool result of a successful value that is an object.
  static Json value_result(const Json& value) {
    return Json{
        {"content", Json::array({{{"text", protocol::json::dump(value)}, {"type", "text"}}})},
        {"structuredContent", value}};
  }

  // Requests the extension saw from index `from` on.
  static std::vector<SeenRequest> seen_since(const FakeExtension& ext, std::size_t from) {
    std::vector<SeenRequest> all = ext.requests();
    if (from >= all.size()) return {};
    return {all.begin() + static_cast<std::ptrdiff_t>(from), all.end()};
  }

  // Entries of the runtime directory whose names begin with "selected-".
  std::vector<std::string> staging_dirs() const {
    std::vector<std::string> out;
    for (const std::string& name : list_dir(broker_->runtime_dir())) {
      if (name.rfind("selected-", 0) == 0) out.push_back(name);
    }
    return out;
  }

  TempDir dir_;
  std::unique_ptr<BrokerProcess> broker_;
};

}  // namespace velkor::test
