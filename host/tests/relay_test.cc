// The two relays as processes: the native host between Chrome's frames and
// the broker's lines, and `mcp` between an agent's lines and the broker.
// Where the exact bytes on the broker's side matter, a test-owned listener
// plays the broker.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ipc/lock_file.h"
#include "protocol/json.h"
#include "protocol/mcp.h"
#include "support/fake_broker.h"
#include "support/peers.h"
#include "support/temp_dir.h"

namespace velkor::test {
namespace {

constexpr char kOrigin[] = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/";
constexpr char kNoLockFile[] =
    "[INFO] [native-host] waiting for MCP server (velkor-computer-use lock file not found "
    "\xE2\x80\x94 is the MCP server running?)";
constexpr char kPing[] = R"({"jsonrpc":"2.0","id":7,"method":"ping"})";
constexpr char kPong[] = R"({"jsonrpc":"2.0","id":7,"result":{}})";

// Counts the opens of one file in a directory, so that a test can wait for
// a retrying process to have looked at it again.
class OpenWatch {
 public:
  OpenWatch(const std::string& dir, std::string name) : name_(std::move(name)) {
    fd_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd_ >= 0 && ::inotify_add_watch(fd_, dir.c_str(), IN_OPEN) < 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  OpenWatch(const OpenWatch&) = delete;
  OpenWatch& operator=(const OpenWatch&) = delete;
  ~OpenWatch() {
    if (fd_ >= 0) ::close(fd_);
  }

  bool ok() const { return fd_ >= 0; }

  // Waits for `n` more opens of the file; false on timeout.
  bool wait_opens(int n, std::chrono::milliseconds timeout = 10s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (n > 0) {
      auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      alignas(inotify_event) char buf[4096];
      ssize_t got = ::read(fd_, buf, sizeof buf);
      for (ssize_t at = 0; at < got;) {
        inotify_event event;
        std::memcpy(&event, buf + at, sizeof event);
        if (event.len > 0 && name_ == buf + at + sizeof event) --n;
        at += static_cast<ssize_t>(sizeof event + event.len);
      }
    }
    return true;
  }

 private:
  std::string name_;
  int fd_ = -1;
};

// The four bytes of a frame's length prefix in the machine's byte order.
std::string length_prefix(std::uint32_t n) {
  return std::string(reinterpret_cast<const char*>(&n), sizeof n);
}

std::string frame(std::string_view body) {
  return length_prefix(static_cast<std::uint32_t>(body.size())) + std::string(body);
}

// The lines of `text` that contain `needle`, in order.
std::vector<std::string> lines_with(const std::string& text, std::string_view needle) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (line.find(needle) != std::string::npos) out.push_back(line);
    start = end + 1;
  }
  return out;
}

std::string hello_line(const FakeBroker& broker, bool mcp) {
  return R"({"hello":")" + broker.secret() + (mcp ? R"(","role":"mcp"})" : R"("})");
}

Env quiet_env(const TempDir& dir) {
  return Env().set("VELKOR_COMPUTER_USE_RUNTIME_DIR", dir.path()).unset("VELKOR_COMPUTER_USE_LOG");
}

// --- Native host -----------------------------------------------------------

TEST(NativeHostRelayTest, FramesQueuedWhileSeekingTheBrokerArriveInOrder) {
  TempDir base;
  // A broker that died: its lock file names a port that refuses.
  RefusingPort dead;
  ASSERT_TRUE(publish_lock(base.path(), ipc::LockFile{dead.port(), std::string(32, '0'),
                                                      static_cast<std::uint32_t>(::getpid())}));
  OpenWatch opens(base.file("velkor-computer-use"), "run.lock");
  ASSERT_TRUE(opens.ok());

  FakeExtension ext(base.path());
  EXPECT_EQ(ext.child().wait_stderr("waiting for MCP server"),
            "[INFO] [native-host] waiting for MCP server (Connection refused (os error 111))");
  ASSERT_TRUE(opens.wait_opens(1));
  for (int id : {901, 902, 903}) ext.send(Json{{"id", id}, {"ok", true}});
  // Two more attempts with the frames queued.
  ASSERT_TRUE(opens.wait_opens(2));

  BrokerProcess broker(base.path());
  ASSERT_TRUE(broker.ready()) << broker.child().stderr_text();
  ASSERT_TRUE(ext.child().wait_stderr("connected to MCP server bridge socket"));
  EXPECT_EQ(lines_with(ext.child().stderr_text(), "waiting for MCP server").size(), 1u)
      << ext.child().stderr_text();

  // The broker's session takes each as an answer nobody waits for.
  ASSERT_TRUE(broker.child().wait_stderr("no pending caller for id 903"));
  EXPECT_EQ(lines_with(broker.child().stderr_text(), "no pending caller"),
            (std::vector<std::string>{"[WARN] [session] no pending caller for id 901",
                                      "[WARN] [session] no pending caller for id 902",
                                      "[WARN] [session] no pending caller for id 903"}));
}

TEST(NativeHostRelayTest, WhileTheBrokerIsAwayTheHostStopsReadingPastItsQueue) {
  TempDir base;
  RefusingPort dead;
  ASSERT_TRUE(publish_lock(base.path(), ipc::LockFile{dead.port(), std::string(32, '0'),
                                                      static_cast<std::uint32_t>(::getpid())}));
  FakeExtension ext(base.path());
  ASSERT_TRUE(ext.child().wait_stderr("waiting for MCP server"));

  // 200 frames of 100 kB: with no bound the host would take them all and
  // hold 20 MB for a broker that may never come.
  constexpr int kFrames = 200;
  std::atomic<int> sent{0};
  std::thread browser([&] {
    for (int i = 1; i <= kFrames; ++i) {
      ext.send(Json{{"id", 1000 + i}, {"ok", true}, {"data", std::string(100000, 'x')}});
      sent.store(i);
    }
  });
  int seen = -1;
  while (seen != sent.load()) {
    seen = sent.load();
    std::this_thread::sleep_for(1s);
  }
  EXPECT_LT(seen, kFrames) << "the host kept reading with nowhere to send";

  // Nothing is lost: once a broker is there, every frame arrives.
  BrokerProcess broker(base.path());
  ASSERT_TRUE(broker.ready()) << broker.child().stderr_text();
  EXPECT_TRUE(broker.child().wait_stderr("no pending caller for id 1200", 30s));
  browser.join();
}

TEST(NativeHostRelayTest, FramesBecomeCompactLinesWithSortedKeys) {
  TempDir base;
  FakeBroker broker(base.path());
  ASSERT_TRUE(broker.ready());
  FakeExtension ext(base.path());
  auto conn = broker.accept();
  ASSERT_TRUE(conn);
  EXPECT_EQ(conn->read_line(), hello_line(broker, false));

  struct Case {
    std::string body;
    std::string line;
  };
  const std::vector<Case> cases = {
      {R"({"b":1,"a":2})", R"({"a":2,"b":1})"},
      {" { \"z\" : { \"y\" : [ {\"d\":0, \"c\":1} ] } ,\n \"a\" : 1 } ",
       R"({"a":1,"z":{"y":[{"c":1,"d":0}]}})"},
      {R"(["\u00e9\u001f\/\n"])", "[\"\xC3\xA9\\u001f/\\n\"]"},
      {"[3, \"x\", null, true, false]", R"([3,"x",null,true,false])"},
      {R"("text")", R"("text")"},
      {"18446744073709551615", "18446744073709551615"},
      {"-9223372036854775808", "-9223372036854775808"},
      // Only the broker's hello is kept from the browser; a browser's
      // message with that member goes through like any other.
      {R"({"hello":"x"})", R"({"hello":"x"})"},
  };
  for (const Case& c : cases) ext.send_body(c.body);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ(conn->read_line(), c.line);
  }
}

TEST(NativeHostRelayTest, LinesBecomeFramesAndTheHostEndsWithTheConnection) {
  TempDir base;
  FakeBroker broker(base.path());
  ASSERT_TRUE(broker.ready());
  FakeExtension ext(base.path());
  auto conn = broker.accept();
  ASSERT_TRUE(conn);
  ASSERT_EQ(conn->read_line(), hello_line(broker, false));

  ASSERT_TRUE(
      conn->write("{\"hello\":\"x\",\"more\":1}\n"  // a hello object: dropped
                  " \t\n"                           // blank: skipped
                  "not json\n"                      // logged and skipped
                  "{\"y\":2, \"x\":1}\r\n"
                  "[{\"hello\":1}]\n"));
  EXPECT_EQ(ext.read_frame_body(), R"({"x":1,"y":2})");
  EXPECT_EQ(ext.read_frame_body(), R"([{"hello":1}])");

  conn.reset();
  EXPECT_EQ(ext.child().wait(), 0);
  EXPECT_EQ(ext.child().stdout_rest(), "");
  EXPECT_EQ(ext.child().stderr_text(),
            "[INFO] [native-host] connected to MCP server bridge socket\n"
            "[WARN] [native-host] tcp line not json: " +
                protocol::json::parse("not json").error().to_string() +
                "\n"
                "[INFO] [native-host] tcp EOF\n"
                "[DEBUG] [native-host] TCP->stdout thread ending\n"
                "[DEBUG] [native-host] exit\n");
}

TEST(NativeHostRelayTest, BadInputFromTheBrowserEndsTheHost) {
  auto decode = [](std::string_view body) {
    return "[WARN] [native-host] stdin read error: nm json decode: " +
           protocol::json::parse(body).error().to_string();
  };
  struct Case {
    const char* name;
    std::string bytes;
    bool close_input;
    std::string last_line;
  };
  const std::vector<Case> cases = {
      {"body not JSON", frame("nope"), false, decode("nope")},
      {"trailing characters", frame("{} x"), false, decode("{} x")},
      {"empty body", frame(""), false, decode("")},
      {"good frame then a bad one", frame("{}") + frame("x"), false, decode("x")},
      {"length over the limit", length_prefix(67108865), false,
       "[WARN] [native-host] stdin read error: native-messaging frame too large: 67108865 bytes"},
      {"largest length", length_prefix(0xFFFFFFFF), false,
       "[WARN] [native-host] stdin read error: native-messaging frame too large: 4294967295 "
       "bytes"},
      {"body cut short", length_prefix(10) + "{}", true,
       "[WARN] [native-host] stdin read error: failed to fill whole buffer"},
      {"length cut short", std::string("\x02\x00", 2), true,
       "[INFO] [native-host] stdin EOF, shutting down"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir base;
    Child host(host_exe(), {kOrigin}, quiet_env(base));
    ASSERT_EQ(host.wait_stderr("waiting for MCP server"), kNoLockFile);
    ASSERT_TRUE(host.write_stdin(c.bytes));
    if (c.close_input) host.close_stdin();
    EXPECT_EQ(host.wait(), 0);
    EXPECT_EQ(host.stdout_rest(), "");
    EXPECT_EQ(host.stderr_text(), std::string(kNoLockFile) + "\n" + c.last_line + "\n");
  }
}

// --- MCP relay -------------------------------------------------------------

TEST(McpRelayTest, MessagesWithoutIdAreForwardedAndNotAwaited) {
  struct Case {
    const char* name;
    std::string line;
    std::optional<std::string> forwarded;  // nullopt: nothing reaches the broker
  };
  const std::vector<Case> cases = {
      {"notification", R"({"method":"notifications/initialized","jsonrpc":"2.0"})",
       R"({"jsonrpc":"2.0","method":"notifications/initialized"})"},
      {"null id", R"({"jsonrpc":"2.0","id":null,"method":"ping"})",
       R"({"jsonrpc":"2.0","method":"ping"})"},
      {"response from the agent", R"({"jsonrpc":"2.0","result":{"b":1,"a":2},"x":0})",
       R"({"jsonrpc":"2.0","result":{"a":2,"b":1}})"},
      {"empty line", "", std::nullopt},
      {"blank line", " \t\r", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir base;
    FakeBroker broker(base.path());
    ASSERT_TRUE(broker.ready());
    Child relay(host_exe(), {"mcp"}, quiet_env(base));
    auto conn = broker.accept();
    ASSERT_TRUE(conn);
    ASSERT_EQ(conn->read_line(), hello_line(broker, true));

    ASSERT_TRUE(relay.write_stdin(c.line + "\n" + kPing + "\n"));
    if (c.forwarded) {
      EXPECT_EQ(conn->read_line(), *c.forwarded);
    }
    // The request after it is forwarded although nothing answered the
    // message before.
    EXPECT_EQ(conn->read_line(), kPing);
    ASSERT_TRUE(conn->write(R"({"result":{},"id":7,"jsonrpc":"2.0"})"
                            "\n"));
    EXPECT_EQ(relay.read_stdout_line(), kPong);

    relay.close_stdin();
    EXPECT_EQ(relay.wait(), 0);
    EXPECT_EQ(relay.stdout_rest(), "");
    EXPECT_EQ(relay.stderr_text(), "");
    EXPECT_EQ(conn->read_to_eof(), "");
  }
}

TEST(McpRelayTest, AnswerToTheLastRequestIsPrintedAfterInputEnds) {
  TempDir base;
  FakeBroker broker(base.path());
  ASSERT_TRUE(broker.ready());
  Child relay(host_exe(), {"mcp"}, quiet_env(base));
  auto conn = broker.accept();
  ASSERT_TRUE(conn);
  ASSERT_EQ(conn->read_line(), hello_line(broker, true));

  ASSERT_TRUE(relay.write_stdin(std::string(kPing) + "\n"));
  relay.close_stdin();
  EXPECT_EQ(conn->read_line(), kPing);
  // Only now, with the agent's input already closed, does the answer come.
  ASSERT_TRUE(conn->write(std::string(kPong) + "\n"));
  EXPECT_EQ(relay.wait(), 0);
  EXPECT_EQ(relay.stdout_rest(), std::string(kPong) + "\n");
  EXPECT_EQ(relay.stderr_text(), "");
  EXPECT_EQ(conn->read_to_eof(), "");
}

TEST(McpRelayTest, MalformedLineEndsTheRelayWithoutSendingIt) {
  const std::vector<std::string> lines = {
      "not json",
      R"({"jsonrpc":"2.0","id":1,"method":7})",
      R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])",
      R"({"jsonrpc":"2.0","id":1,"method":"ping","method":"ping"})",
      R"({"jsonrpc":"2.0","id":1,"method":"ping"} x)",
  };
  for (const std::string& line : lines) {
    SCOPED_TRACE(line);
    TempDir base;
    FakeBroker broker(base.path());
    ASSERT_TRUE(broker.ready());
    Child relay(host_exe(), {"mcp"}, quiet_env(base));
    auto conn = broker.accept();
    ASSERT_TRUE(conn);
    ASSERT_EQ(conn->read_line(), hello_line(broker, true));

    ASSERT_TRUE(relay.write_stdin(line + "\n"));
    EXPECT_EQ(relay.wait(), 1);
    EXPECT_EQ(relay.stdout_rest(), "");
    EXPECT_EQ(relay.stderr_text(), "velkor-computer-use-host: " +
                                       protocol::parse_jsonrpc(line + "\n").error().to_string() +
                                       "\n");
    EXPECT_EQ(conn->read_to_eof(), "");
  }
}

TEST(McpRelayTest, BrokerAnswersComeBackNormalised) {
  TempDir base;
  BrokerProcess broker(base.path());
  ASSERT_TRUE(broker.ready()) << broker.child().stderr_text();
  FakeAgent agent(base.path());
  const std::vector<std::pair<std::string, std::string>> exchanges = {
      {R"({"jsonrpc":"2.0","id":4,"method":"nope/nope"})",
       R"({"jsonrpc":"2.0","id":4,"error":{"code":-32601,"message":"Method not found"}})"},
      {R"({"jsonrpc":"2.0","id":"x","method":"Ping"})",
       R"({"jsonrpc":"2.0","id":"x","error":{"code":-32601,"message":"Method not found"}})"},
      {R"({"jsonrpc":"2.0","id":5})",
       R"({"jsonrpc":"2.0","id":5,"error":{"code":-32601,"message":"Method not found"}})"},
      {R"({"jsonrpc":"2.0","id":6,"method":"notifications/initialized"})",
       R"({"jsonrpc":"2.0","id":6,"error":{"code":-32601,"message":"Method not found"}})"},
      {R"( { "method" : "ping" , "params" : {"a":1}, "id" : [1] } )",
       R"({"jsonrpc":"2.0","id":[1],"result":{}})"},
  };
  for (const auto& [request, answer] : exchanges) {
    SCOPED_TRACE(request);
    ASSERT_TRUE(agent.child().write_stdin(request + "\n"));
    EXPECT_EQ(agent.child().read_stdout_line(), answer);
  }
  agent.child().close_stdin();
  EXPECT_EQ(agent.child().wait(), 0);
  EXPECT_EQ(agent.child().stdout_rest(), "");
  EXPECT_EQ(agent.child().stderr_text(), "");
}

}  // namespace
}  // namespace velkor::test
