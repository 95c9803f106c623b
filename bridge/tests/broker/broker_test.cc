// The broker's client handling in-process, where reply limits can be short
// and an identifier failure can be forced.
#include "broker/broker.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "broker/client.h"
#include "protocol/bridge.h"

namespace velkor::broker {
namespace {

using protocol::json::Json;
using namespace std::chrono_literals;

// One end of a socketpair handed to the broker as an authenticated native
// host; the test keeps the other end and plays the extension on it.
struct ExtensionEnd {
  ipc::UniqueFd mine;
  ipc::Authenticated theirs;
};

ExtensionEnd make_pair() {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
  ipc::UniqueFd broker_side(fds[0]);
  auto read_side = broker_side.try_clone();
  auto reader =
      std::make_unique<protocol::BufReader>(std::make_unique<ipc::FdSource>(std::move(*read_side)));
  return {ipc::UniqueFd(fds[1]),
          ipc::Authenticated{ipc::Role::kNativeHost, std::move(reader), std::move(broker_side)}};
}

// Reads lines from `fd` and answers each request with `answer` (nullopt:
// stay silent) until the connection ends. Announces itself first.
class FakeExtension {
 public:
  FakeExtension(ipc::UniqueFd fd, std::function<std::optional<Json>(const Json&)> answer)
      : fd_(std::move(fd)), answer_(std::move(answer)) {
    write_line(R"({"id":0,"ok":true,"data":{"announce":{"protocolVersion":1,)"
               R"("browser":{"name":"Chrome","version":"126"}}}})");
    thread_ = std::thread([this] { run(); });
  }
  ~FakeExtension() {
    ::shutdown(fd_.get(), SHUT_RDWR);
    thread_.join();
  }
  bool announced() const { return announced_.load(); }

 private:
  void write_line(const std::string& line) { (void)ipc::write_all_fd(fd_.get(), line + "\n"); }
  void run() {
    auto read_fd = fd_.try_clone();
    protocol::BufReader in(std::make_unique<ipc::FdSource>(std::move(*read_fd)));
    std::string line;
    for (;;) {
      line.clear();
      auto got = in.read_line(line, SIZE_MAX);
      if (!got || *got == 0) return;
      auto parsed = protocol::json::parse(line);
      if (!parsed) continue;
      const Json& msg = parsed->value;
      if (msg.contains("ok")) {  // the reply to our announce
        announced_.store(true);
        continue;
      }
      if (auto data = answer_(msg)) {
        write_line(protocol::json::dump(Json{{"id", msg["id"]}, {"ok", true}, {"data", *data}}));
      }
    }
  }

  ipc::UniqueFd fd_;
  std::function<std::optional<Json>(const Json&)> answer_;
  std::atomic<bool> announced_{false};
  std::thread thread_;
};

bool wait_until(const std::function<bool()>& pred) {
  for (int i = 0; i < 1000; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return false;
}

class BrokerInProcessTest : public ::testing::Test {
 protected:
  std::shared_ptr<Runtime> runtime_ = std::make_shared<Runtime>(session::Limits{300ms, 300ms});
};

TEST_F(BrokerInProcessTest, ConnectionWithoutABrowserIdIsClosed) {
  ExtensionEnd end = make_pair();
  auto filed = attach_native_host(*runtime_, std::move(end.theirs), [] {
    return Result<std::string>(Unexpected(IoError(ErrorKind::kOther, "getentropy: no entropy")));
  });
  ASSERT_FALSE(filed);
  EXPECT_EQ(filed.error().to_string(), "getentropy: no entropy");
  // The broker's reader must not keep the connection alive: we see its end.
  pollfd p{end.mine.get(), POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);
  char c;
  EXPECT_EQ(::read(end.mine.get(), &c, 1), 0);
  EXPECT_TRUE(runtime_->browsers().empty());
}

TEST_F(BrokerInProcessTest, TabsReportsTheSilentBrowserBesideTheAnsweringOne) {
  int n = 0;
  auto make_id = [&n] { return Result<std::string>(std::string(n++ == 0 ? "a" : "b")); };
  ExtensionEnd first = make_pair();
  ExtensionEnd second = make_pair();
  ASSERT_TRUE(attach_native_host(*runtime_, std::move(first.theirs), make_id));
  ASSERT_TRUE(attach_native_host(*runtime_, std::move(second.theirs), make_id));
  FakeExtension answering(std::move(first.mine), [](const Json&) -> std::optional<Json> {
    return Json::array({{{"id", 1}}});
  });
  FakeExtension silent(std::move(second.mine),
                       [](const Json&) -> std::optional<Json> { return std::nullopt; });
  ASSERT_TRUE(wait_until([&] { return runtime_->browsers().size() == 2; }));

  BrowserClient client(runtime_);
  auto tabs = client.call("browser_tabs", Json::object());
  ASSERT_TRUE(tabs);
  EXPECT_EQ(
      protocol::json::dump(tabs->value),
      R"({"browsers":[{"browser":{"id":"a","name":"Chrome","version":"126"},"tabs":[{"id":1}]},)"
      R"({"browser":{"id":"b","name":"Chrome","version":"126"},)"
      R"("error":"extension did not respond within 0s"}]})");
}

TEST_F(BrokerInProcessTest, StoppingBrokerAnswersEveryRequestButNotNotifications) {
  BrowserClient client(runtime_);
  runtime_->stopping.store(true);
  protocol::JsonRpc ping;
  ping.id = 3;
  ping.method = "ping";
  auto answer = client.handle(ping);
  ASSERT_TRUE(answer);
  EXPECT_EQ(
      protocol::serialize_jsonrpc(*answer),
      R"({"jsonrpc":"2.0","id":3,"error":{"code":-32000,"message":"Velkor Computer Use остановлен."}})");
  protocol::JsonRpc note;
  note.method = "ping";
  EXPECT_FALSE(client.handle(note));
}

TEST_F(BrokerInProcessTest, ClientEndSendsNoStopWhileTheBrokerStops) {
  ExtensionEnd end = make_pair();
  ASSERT_TRUE(attach_native_host(*runtime_, std::move(end.theirs),
                                 [] { return Result<std::string>(std::string("a")); }));
  std::atomic<int> stops{0};
  FakeExtension ext(std::move(end.mine), [&stops](const Json& req) -> std::optional<Json> {
    if (req["op"] == "session_stop") ++stops;
    return Json{{"sessionId", req["args"].value("sessionId", "")}, {"tabId", 4}};
  });
  ASSERT_TRUE(wait_until([&] { return runtime_->browsers().size() == 1; }));
  {
    BrowserClient client(runtime_);
    ASSERT_TRUE(client.call("browser_start", Json::object()));
    runtime_->stopping.store(true);
  }
  // The task was dropped without telling the extension. A stop, had one been
  // sent, would have been counted before its answer let the client go.
  EXPECT_EQ(stops.load(), 0);
}

TEST(ControllerNameTest, Table) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"claude-code", "Claude"},
      {"Codex CLI", "Codex"},
      {"KIMI", "Kimi"},
      {"OpenCodex", "Codex"},
      {"Cursor Agent", "Cursor"},
      {"", "Agent"},
      {"   \t ", "Agent"},
      {std::string(40, 'x'), std::string(32, 'x')},
      {"\xE3\x80\x80Zed\xC2\xA0"
       "editor",
       "Zed"},
      {"опенкод помощник", "опенкод"},
  };
  for (const auto& [name, expected] : cases) {
    EXPECT_EQ(controller_name(name), expected) << name;
  }
}

}  // namespace
}  // namespace velkor::broker
