#include "session/session.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "ipc/fd.h"
#include "peer/peer.h"
#include "protocol/json.h"
#include "protocol/stream.h"
#include "support/streams.h"

namespace velkor::session {
namespace {

using namespace std::chrono_literals;
using protocol::json::Json;
using test::parse_or_die;
using CallResult = Result<Json, error::CallError>;

// Long enough never to fire in a passing test, short enough that a caller
// that was wrongly left waiting fails the test instead of wedging it.
constexpr Limits kPatient{10s, 10s};

constexpr std::string_view kNotConnected =
    "browser extension not connected. Most likely its service worker is asleep \u2014 Chrome "
    "stops it after ~30s idle. Retry this call once (the extension re-checks every 30s); if it "
    "still fails, ask the user to click the Tabvine toolbar icon, and to confirm the extension "
    "is loaded and enabled.";
constexpr std::string_view kConnectionLost = "extension connection lost while waiting for response";
constexpr std::string_view kWriteFailed = "write to extension failed: ";

constexpr std::string_view kAnnounceChrome =
    R"({"id":0,"ok":true,"data":{"announce":{"protocolVersion":1,"version":"0.1.0",)"
    R"("browser":{"name":"Chrome","version":"126"}}}})";
constexpr std::string_view kReady = "{\"id\":0,\"ok\":true,\"data\":{\"ready\":true}}\n";
constexpr std::string_view kRefusal =
    "{\"id\":0,\"ok\":false,\"error\":\"Версия расширения не совпадает с приложением "
    "Велкора.\"}\n";

const peer::PeerInfo kChrome{1, "0.1.0", peer::Browser{"Chrome", "126"}};

// What a caller ended with, as one comparable text.
std::string outcome(const CallResult& r) {
  return r ? "data " + protocol::json::dump(*r) : r.error().to_string();
}

std::future<CallResult> call_async(const Session& session, std::string op,
                                   std::optional<std::int64_t> tab_id = std::nullopt,
                                   Json args = nullptr) {
  return std::async(std::launch::async,
                    [session, op = std::move(op), tab_id, args = std::move(args)]() mutable {
                      return session.call_inner(op, tab_id, std::move(args));
                    });
}

// Polls for an effect of another thread that has no event of its own to
// wait on (a reader thread's clean-up).
bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds limit = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// The native host's side of one connection, played over a socket pair. The
// session gets one end as the broker hands it over (a reader over a
// duplicate, the original for writing); the test reads request lines and
// writes response lines on the other.
class FakeExtension {
 public:
  // `initial` plays the bytes that arrived right after the hello line.
  explicit FakeExtension(Session& session, std::string initial = {}) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
      ADD_FAILURE() << "socketpair: " << IoError::from_errno(errno).to_string();
      return;
    }
    end_.reset(fds[0]);
    ipc::UniqueFd theirs(fds[1]);
    auto read_side = theirs.try_clone();
    if (!read_side) {
      ADD_FAILURE() << "dup: " << read_side.error().to_string();
      return;
    }
    session.attach_authenticated(
        std::make_unique<protocol::BufReader>(
            std::make_unique<ipc::FdSource>(std::move(*read_side)), std::move(initial)),
        std::move(theirs));
  }

  // The next line with its line feed; nullopt at end of stream (or, with a
  // failure, when nothing came within 10 s).
  std::optional<std::string> read_line() {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
      if (auto nl = buf_.find('\n'); nl != std::string::npos) {
        std::string line = buf_.substr(0, nl + 1);
        buf_.erase(0, nl + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{end_.get(), POLLIN, 0};
      int ready = ::poll(&p, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
      if (ready < 0) continue;  // EINTR
      if (ready == 0) {
        ADD_FAILURE() << "no line from the session within 10 s; have: " << buf_;
        return std::nullopt;
      }
      char chunk[65536];
      ssize_t n = ::read(end_.get(), chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        ADD_FAILURE() << "read: " << IoError::from_errno(errno).to_string();
        return std::nullopt;
      }
      if (n == 0) {
        EXPECT_EQ(buf_, "") << "connection ended inside a line";
        return std::nullopt;
      }
      buf_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  Json read_request() { return parse_or_die(read_line().value_or("")); }

  void write_line(std::string_view line) {
    std::string bytes(line);
    bytes += '\n';
    auto w = ipc::write_all_fd(end_.get(), bytes);
    EXPECT_TRUE(w.has_value()) << w.error().to_string();
  }

  void answer(const Json& request, const Json& data) {
    write_line(protocol::json::dump(Json{{"id", request["id"]}, {"ok", true}, {"data", data}}));
  }

  // True when the session has written nothing that was not read yet.
  bool quiet() {
    pollfd p{end_.get(), POLLIN, 0};
    return buf_.empty() && ::poll(&p, 1, 0) == 0;
  }

  // Stops reading: the session's next write fails with a broken pipe while
  // its reader goes on waiting for lines.
  void stop_reading() { ASSERT_EQ(::shutdown(end_.get(), SHUT_RD), 0); }
  void close() { end_.reset(); }

 private:
  ipc::UniqueFd end_;
  std::string buf_;
};

class SessionTest : public ::testing::Test {
 protected:
  // The product ignores SIGPIPE; a write to a vanished peer must be an
  // error here too, not the end of the test binary.
  static void SetUpTestSuite() { std::signal(SIGPIPE, SIG_IGN); }

  void TearDown() override { EXPECT_EQ(session_.pending_count(), 0u); }

  bool wait_disconnected() {
    return wait_until([this] { return !session_.connected(); });
  }

  Session session_{kPatient};
};

TEST_F(SessionTest, NotConnectedUsesUpItsId) {
  EXPECT_EQ(outcome(session_.call_inner("tab_list", std::nullopt, nullptr)), kNotConnected);
  EXPECT_FALSE(session_.connected());
  session_.disconnect();  // nothing to shut down

  FakeExtension ext(session_);
  EXPECT_TRUE(session_.connected());
  auto call = call_async(session_, "tab_list");
  EXPECT_EQ(ext.read_line(), "{\"id\":2,\"op\":\"tab_list\"}\n");
  ext.write_line(R"({"id":2,"ok":true,"data":[]})");
  EXPECT_EQ(outcome(call.get()), "data []");
}

TEST_F(SessionTest, RequestLineBytes) {
  FakeExtension ext(session_);
  auto call = call_async(session_, "tab_list", 5, parse_or_die(R"({"a":1})"));
  EXPECT_EQ(ext.read_line(), "{\"id\":1,\"op\":\"tab_list\",\"tab_id\":5,\"args\":{\"a\":1}}\n");
  ext.write_line(R"({"id":1,"ok":true})");
  EXPECT_EQ(outcome(call.get()), "data null");
}

TEST_F(SessionTest, ResponseShapes) {
  const struct {
    std::string_view members;  // the response after its "id"
    std::string_view outcome;
  } cases[] = {
      {R"("ok":true)", "data null"},
      {R"("ok":true,"data":{"x":[1,2]},"error":"ignored")", R"(data {"x":[1,2]})"},
      {R"("extra":{"y":1},"data":5,"ok":true)", "data 5"},
      {R"("ok":false)", "unknown error"},
      {R"("ok":false,"data":{"x":1},"error":"Вкладка закрыта")", "Вкладка закрыта"},
  };
  FakeExtension ext(session_);
  for (const auto& c : cases) {
    auto call = call_async(session_, "tab_list");
    Json req = ext.read_request();
    ext.write_line("{\"id\":" + protocol::json::dump(req["id"]) + "," + std::string(c.members) +
                   "}");
    EXPECT_EQ(outcome(call.get()), c.outcome) << c.members;
  }
}

// Sixteen callers at once, an announce among their requests, answers in
// reverse order: every line read is whole, ids are distinct, and each
// caller gets exactly its own answer.
TEST_F(SessionTest, ConcurrentCallersGetTheirOwnAnswers) {
  constexpr int kCallers = 16;
  FakeExtension ext(session_);
  std::vector<std::future<CallResult>> calls;
  for (int i = 0; i < kCallers; ++i) {
    calls.push_back(call_async(session_, "tab_list", i, Json{{"n", i}}));
  }
  ext.write_line(kAnnounceChrome);

  std::map<std::uint64_t, Json> by_id;
  int ready_replies = 0;
  for (int i = 0; i < kCallers + 1; ++i) {
    auto line = ext.read_line();
    ASSERT_TRUE(line.has_value());
    if (*line == kReady) {
      ++ready_replies;
      continue;
    }
    Json req = parse_or_die(*line);
    ASSERT_EQ(req["op"], "tab_list") << *line;
    ASSERT_EQ(req["tab_id"], req["args"]["n"]) << *line;
    EXPECT_TRUE(by_id.emplace(req["id"].get<std::uint64_t>(), req).second) << *line;
  }
  EXPECT_EQ(ready_replies, 1);
  ASSERT_EQ(by_id.size(), static_cast<std::size_t>(kCallers));
  EXPECT_EQ(by_id.begin()->first, 1u);
  EXPECT_EQ(by_id.rbegin()->first, static_cast<std::uint64_t>(kCallers));

  for (auto it = by_id.rbegin(); it != by_id.rend(); ++it) {
    ext.answer(it->second, it->second["args"]);
  }
  for (int i = 0; i < kCallers; ++i) {
    EXPECT_EQ(outcome(calls[i].get()), "data {\"n\":" + std::to_string(i) + "}");
  }
  EXPECT_TRUE(wait_until([this] { return session_.peer() == kChrome; }));
}

TEST_F(SessionTest, AnnounceAcceptedAndReplaced) {
  FakeExtension ext(session_);
  EXPECT_EQ(session_.peer(), std::nullopt);
  ext.write_line(kAnnounceChrome);
  EXPECT_EQ(ext.read_line(), kReady);
  // The peer is stored after the reply is written.
  EXPECT_TRUE(wait_until([this] { return session_.peer() == kChrome; }));

  // A later announce on the same connection is answered again and replaces
  // the stored one; an old extension version is only a log line.
  ext.write_line(R"({"id":0,"ok":false,"error":"x","data":{"announce":{"protocolVersion":1,)"
                 R"("version":"0.0.9","browser":{"name":"Chromium"}}}})");
  EXPECT_EQ(ext.read_line(), kReady);
  const peer::PeerInfo chromium{1, "0.0.9", peer::Browser{"Chromium", std::nullopt}};
  EXPECT_TRUE(wait_until([this, &chromium] { return session_.peer() == chromium; }));
  EXPECT_TRUE(session_.connected());
}

TEST_F(SessionTest, AnnounceBufferedBeforeAttachIsAnswered) {
  FakeExtension ext(session_, std::string(kAnnounceChrome) + "\n");
  EXPECT_EQ(ext.read_line(), kReady);
  EXPECT_TRUE(wait_until([this] { return session_.peer() == kChrome; }));
}

TEST_F(SessionTest, AnnounceRefusedMidStream) {
  FakeExtension ext(session_);
  ext.write_line(kAnnounceChrome);
  EXPECT_EQ(ext.read_line(), kReady);
  ASSERT_TRUE(wait_until([this] { return session_.peer().has_value(); }));

  auto waiting = call_async(session_, "tab_list");
  EXPECT_EQ(ext.read_line(), "{\"id\":1,\"op\":\"tab_list\"}\n");
  ext.write_line(R"({"id":0,"ok":true,"data":{"announce":{"protocolVersion":2,"version":"0.1.0",)"
                 R"("browser":{"name":"Chrome"}}}})");
  EXPECT_EQ(ext.read_line(), kRefusal);
  EXPECT_EQ(ext.read_line(), std::nullopt);
  EXPECT_EQ(outcome(waiting.get()), kConnectionLost);
  EXPECT_TRUE(wait_disconnected());
  EXPECT_EQ(session_.peer(), std::nullopt);
  EXPECT_EQ(outcome(session_.call_inner("tab_list", std::nullopt, nullptr)), kNotConnected);
}

TEST_F(SessionTest, StringProtocolVersionIsNoAnnounce) {
  FakeExtension ext(session_);
  ext.write_line(R"({"id":0,"ok":true,"data":{"announce":{"protocolVersion":"1","browser":{}}}})");
  // The reader handles lines in order, so once this call is answered the
  // line above was handled; any reply to it would be readable by now.
  auto call = call_async(session_, "tab_list");
  EXPECT_EQ(ext.read_line(), "{\"id\":1,\"op\":\"tab_list\"}\n");
  ext.write_line(R"({"id":1,"ok":true,"data":"after"})");
  EXPECT_EQ(outcome(call.get()), "data \"after\"");
  EXPECT_TRUE(ext.quiet());
  EXPECT_TRUE(session_.connected());
  EXPECT_EQ(session_.peer(), std::nullopt);
}

TEST_F(SessionTest, MalformedLineEndsConnection) {
  FakeExtension ext(session_);
  auto call = call_async(session_, "tab_list");
  EXPECT_EQ(ext.read_line(), "{\"id\":1,\"op\":\"tab_list\"}\n");
  ext.write_line(R"({"id":1})");
  EXPECT_EQ(outcome(call.get()), kConnectionLost);
  EXPECT_EQ(ext.read_line(), std::nullopt);
  EXPECT_TRUE(wait_disconnected());
}

// A session serves one connection: another one is closed unread, while the
// first goes on; once the first has ended, the session stays unconnected.
TEST_F(SessionTest, OneConnectionPerSession) {
  FakeExtension first(session_);
  FakeExtension second(session_);
  EXPECT_EQ(second.read_line(), std::nullopt);
  auto call = call_async(session_, "tab_list");
  EXPECT_EQ(first.read_line(), "{\"id\":1,\"op\":\"tab_list\"}\n");
  first.write_line(R"({"id":1,"ok":true,"data":"first"})");
  EXPECT_EQ(outcome(call.get()), "data \"first\"");

  first.close();
  ASSERT_TRUE(wait_disconnected());
  FakeExtension third(session_);
  EXPECT_EQ(third.read_line(), std::nullopt);
  EXPECT_FALSE(session_.connected());
  EXPECT_EQ(outcome(session_.call_inner("tab_list", std::nullopt, nullptr)), kNotConnected);
}

TEST_F(SessionTest, DisconnectFailsEveryWaitingCall) {
  FakeExtension ext(session_);
  std::vector<std::future<CallResult>> calls;
  for (int i = 0; i < 3; ++i) calls.push_back(call_async(session_, "tab_list"));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(ext.read_line().has_value());
  EXPECT_EQ(session_.pending_count(), 3u);

  session_.disconnect();
  for (auto& call : calls) EXPECT_EQ(outcome(call.get()), kConnectionLost);
  EXPECT_EQ(ext.read_line(), std::nullopt);
  EXPECT_TRUE(wait_disconnected());
  EXPECT_EQ(outcome(session_.call_inner("tab_list", std::nullopt, nullptr)), kNotConnected);
}

// Each op waits its own limit, in whole seconds cut down; a timed-out call
// leaves nothing behind, and its late answer is dropped harmlessly.
TEST_F(SessionTest, TimeoutsAndLateAnswers) {
  Session hasty(Limits{1500ms, 100ms});
  FakeExtension ext(hasty);
  auto stop = call_async(hasty, "session_stop", 3, Json{{"sessionId", "s"}});
  EXPECT_EQ(ext.read_line(),
            "{\"id\":1,\"op\":\"session_stop\",\"tab_id\":3,\"args\":{\"sessionId\":\"s\"}}\n");
  EXPECT_EQ(outcome(stop.get()), "extension did not respond within 0s");
  auto start = call_async(hasty, "session_start", 3);
  EXPECT_EQ(ext.read_line(), "{\"id\":2,\"op\":\"session_start\",\"tab_id\":3}\n");
  EXPECT_EQ(outcome(start.get()), "extension did not respond within 1s");
  EXPECT_EQ(hasty.pending_count(), 0u);

  ext.write_line(R"({"id":1,"ok":true,"data":"late"})");
  ext.write_line(R"({"id":2,"ok":false,"error":"late"})");
  auto call = call_async(hasty, "tab_list");
  EXPECT_EQ(ext.read_line(), "{\"id\":3,\"op\":\"tab_list\"}\n");
  ext.write_line(R"({"id":3,"ok":true,"data":"on time"})");
  EXPECT_EQ(outcome(call.get()), "data \"on time\"");
  EXPECT_EQ(hasty.pending_count(), 0u);
  EXPECT_TRUE(hasty.connected());
}

// The native host cannot pass on a line over 1 MiB; such a call alone is
// refused, nothing is written, and the connection stays usable.
TEST_F(SessionTest, OversizeRequestIsRefusedUnwritten) {
  FakeExtension ext(session_);
  // {"id":N,"op":"tab_list","args":{"s":"..."}} is 40 bytes besides the text.
  constexpr std::size_t kFits = 1024 * 1024 - 40;
  EXPECT_EQ(outcome(session_.call_inner("tab_list", std::nullopt,
                                        Json{{"s", std::string(kFits + 1, 'x')}})),
            "write to extension failed: native-messaging outgoing frame 1048577 bytes exceeds 1 "
            "MB cap");
  EXPECT_TRUE(session_.connected());

  auto call = call_async(session_, "tab_list", std::nullopt, Json{{"s", std::string(kFits, 'x')}});
  auto line = ext.read_line();
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(line->size(), 1024u * 1024u + 1);
  EXPECT_EQ(line->substr(0, 40), R"({"id":2,"op":"tab_list","args":{"s":"xxx)");
  ext.write_line(R"({"id":2,"ok":true,"data":"fits"})");
  EXPECT_EQ(outcome(call.get()), "data \"fits\"");
}

// A write that fails may have left part of a line behind, so the session
// ends the connection and every other call on it is lost.
TEST_F(SessionTest, FailedWriteEndsConnection) {
  FakeExtension ext(session_);
  auto waiting = call_async(session_, "tab_list");
  EXPECT_EQ(ext.read_line(), "{\"id\":1,\"op\":\"tab_list\"}\n");

  ext.stop_reading();
  EXPECT_EQ(outcome(session_.call_inner("tab_list", std::nullopt, nullptr)),
            "write to extension failed: Broken pipe (os error 32)");
  EXPECT_EQ(outcome(waiting.get()), kConnectionLost);
  EXPECT_TRUE(wait_disconnected());
}

// Callers race a connection that answers some requests and then vanishes:
// each gets exactly one outcome, and an answer only ever reaches the caller
// it was meant for.
TEST_F(SessionTest, CallersRacingAClosingConnection) {
  constexpr int kCallers = 32;
  constexpr int kAnswered = 8;
  FakeExtension ext(session_);
  std::vector<std::future<CallResult>> calls;
  for (int i = 0; i < kCallers; ++i) {
    calls.push_back(call_async(session_, "tab_list", std::nullopt, Json{{"n", i}}));
  }
  for (int i = 0; i < kAnswered; ++i) {
    Json req = ext.read_request();
    ext.answer(req, req["args"]);
  }
  ext.close();

  int answered = 0;
  for (int i = 0; i < kCallers; ++i) {
    std::string got = outcome(calls[i].get());
    if (got.starts_with("data ")) {
      EXPECT_EQ(got, "data {\"n\":" + std::to_string(i) + "}");
      ++answered;
    } else if (got != kConnectionLost && got != kNotConnected) {
      EXPECT_TRUE(got.starts_with(kWriteFailed)) << got;
    }
  }
  EXPECT_EQ(answered, kAnswered);
  EXPECT_TRUE(wait_disconnected());
}

}  // namespace
}  // namespace velkor::session
