// An extension that stops reading makes the broker's request write run out
// of time part-way. The half-written line must not stay on the connection.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <optional>
#include <thread>

#include "ipc/lock_file.h"
#include "support/peers.h"
#include "support/raw_socket.h"

namespace velkor::test {
namespace {

// One fill's value: under the native host's 1 MiB frame cap.
constexpr std::size_t kFillBytes = 1000000;
// More fills than this would take a relay process each for too little gain.
constexpr int kMaxFills = 32;

// The most bytes the kernel may buffer on the broker's side of a socket:
// tcp_wmem's maximum, to which it grows a send buffer nobody sized, or twice
// wmem_max for one that was sized. nullopt when the system does not say.
std::optional<std::uint64_t> send_buffer_bound() {
  std::uint64_t min = 0, initial = 0, tcp_max = 0, core_max = 0;
  std::ifstream tcp("/proc/sys/net/ipv4/tcp_wmem");
  if (!(tcp >> min >> initial >> tcp_max)) return std::nullopt;
  std::ifstream core("/proc/sys/net/core/wmem_max");
  if (!(core >> core_max)) core_max = 0;
  return std::max(tcp_max, 2 * core_max);
}

// Stalls need more bytes in flight than the kernel will buffer. How many
// that is depends on the machine's TCP settings, so the number of fills is
// worked out from them: enough to fill the broker's send buffer whole, one
// more for the receiver's small window, and one that cannot be written.
class StalledExtensionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::optional<std::uint64_t> bound = send_buffer_bound();
    ASSERT_TRUE(bound) << "no TCP buffer sizes in /proc/sys/net";
    fills_ = static_cast<int>(*bound / kFillBytes) + 2;
    if (fills_ > kMaxFills) {
      GTEST_SKIP() << "a socket here may buffer " << *bound << " bytes, which takes " << fills_
                   << " fills to stall";
    }
  }

  int fills_ = 0;
};

// A native host that connects with a tiny receive buffer, so that the
// broker's writes back up quickly once it stops reading.
std::optional<RawSocket> connect_small_window(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int size = 4096;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return std::nullopt;
  }
  return RawSocket(fd);
}

// A native host with that small window, authenticated and announced as
// `browser`; nullopt when the broker did not accept it.
std::optional<RawSocket> announced_host(const ipc::LockFile& lock, const std::string& browser) {
  auto host = connect_small_window(lock.port);
  if (!host || !host->write(R"({"hello":")" + lock.secret + "\"}\n") ||
      !host->write(
          R"({"id":0,"ok":true,"data":{"announce":{"protocolVersion":1,"browser":{"name":")" +
          browser +
          R"(","version":"126"}}}})"
          "\n") ||
      host->read_line() != R"({"id":0,"ok":true,"data":{"ready":true}})") {
    return std::nullopt;
  }
  return host;
}

// Has `agent` start a session with `arguments`, which the raw `host`
// confirms in tab 7. Returns the session id, or "" when that failed.
std::string start_confirmed(RawSocket& host, FakeAgent& agent, Json arguments) {
  agent.send_request("tools/call",
                     {{"name", "browser_start"}, {"arguments", std::move(arguments)}});
  auto line = host.read_line();
  if (!line) return "";
  auto request = protocol::json::parse(*line);
  if (!request) return "";
  const Json& req = request->value;
  if (!host.write(protocol::json::dump(
                      Json{{"id", req["id"]},
                           {"ok", true},
                           {"data", {{"sessionId", req["args"]["sessionId"]}, {"tabId", 7}}}}) +
                  "\n")) {
    return "";
  }
  auto started = agent.read_answer();
  if (!started) return "";
  return (*started)["result"]["structuredContent"].value("sessionId", std::string());
}

// Sends every agent a fill of kFillBytes.
void send_large_fills(std::vector<std::unique_ptr<FakeAgent>>& agents,
                      const std::vector<std::string>& sessions) {
  for (std::size_t i = 0; i < agents.size(); ++i) {
    agents[i]->send_request(
        "tools/call",
        {{"name", "browser_fill"},
         {"arguments", {{"sessionId", sessions[i]}, {"value", std::string(kFillBytes, 'x')}}}});
  }
}

TEST_F(StalledExtensionTest, TimedOutWriteEndsTheConnectionInsteadOfLeavingHalfALine) {
  TempDir tmp;
  BrokerProcess broker(tmp.path());
  ASSERT_TRUE(broker.ready()) << broker.child().stderr_text();
  auto lock = broker.lock();
  ASSERT_TRUE(lock);

  auto host = announced_host(*lock, "Chrome");
  ASSERT_TRUE(host);

  // Several agents, each with a session, so that their large fills add up
  // to more than the kernel will buffer between broker and extension.
  std::vector<std::unique_ptr<FakeAgent>> agents;
  std::vector<std::string> sessions;
  for (int i = 0; i < fills_; ++i) {
    agents.push_back(std::make_unique<FakeAgent>(tmp.path()));
    sessions.push_back(start_confirmed(*host, *agents.back(), Json::object()));
    ASSERT_EQ(sessions.back().size(), 32u);
  }

  // The extension now reads nothing; the fills cannot all be written. Writes
  // to one connection go one at a time, and the first that runs out of time
  // shuts the connection down, so every later one fails at once.
  send_large_fills(agents, sessions);
  int timed_out_writes = 0;
  for (auto& agent : agents) {
    auto answer = agent->read_answer(60s);
    ASSERT_TRUE(answer);
    const Json& result = (*answer)["result"];
    EXPECT_EQ(result["isError"], true);
    const std::string text = FakeAgent::text(result);
    if (text == "write to extension failed: Resource temporarily unavailable (os error 11)") {
      ++timed_out_writes;
    } else if (text.rfind("write to extension failed: ", 0) != 0) {
      // Fills already on the wire fail with the connection; those still
      // queued behind the stalled write find no connection left.
      EXPECT_TRUE(text == "extension connection lost while waiting for response" ||
                  text.rfind("browser extension not connected.", 0) == 0)
          << text;
    }
  }
  EXPECT_EQ(timed_out_writes, 1);

  // The broker closed the connection rather than glue the next request to
  // the half line: the extension reads what was sent, then the end.
  auto rest = host->read_to_eof(10s);
  ASSERT_TRUE(rest.has_value());
  EXPECT_NE(rest->back(), '\n');

  // The browser disappears; a reconnection would come as a fresh browser.
  bool gone = false;
  for (int i = 0; i < 100 && !gone; ++i) {
    auto tabs = agents[0]->tool("browser_tabs");
    ASSERT_TRUE(tabs);
    gone = (*tabs)["structuredContent"]["browsers"].empty();
  }
  EXPECT_TRUE(gone);
}

TEST_F(StalledExtensionTest, AStalledExtensionHoldsUpNoOtherBrowser) {
  TempDir tmp;
  BrokerProcess broker(tmp.path());
  ASSERT_TRUE(broker.ready()) << broker.child().stderr_text();
  auto lock = broker.lock();
  ASSERT_TRUE(lock);
  auto host = announced_host(*lock, "Stalled");
  ASSERT_TRUE(host);
  FakeExtension healthy(tmp.path());
  ASSERT_TRUE(healthy.announce_default("Healthy"));
  healthy.serve();

  // Both browsers answer their tab lists; the ids come from there.
  FakeAgent lister(tmp.path());
  lister.send_request("tools/call", {{"name", "browser_tabs"}, {"arguments", Json::object()}});
  auto list = host->read_line();
  ASSERT_TRUE(list);
  ASSERT_TRUE(host->write(R"({"id":)" + protocol::json::parse(*list)->value["id"].dump() +
                          R"(,"ok":true,"data":[]})"
                          "\n"));
  auto tabs = lister.read_answer();
  ASSERT_TRUE(tabs);
  std::string stalled_id, healthy_id;
  for (const Json& entry : (*tabs)["result"]["structuredContent"]["browsers"]) {
    (entry["browser"]["name"] == "Stalled" ? stalled_id : healthy_id) = entry["browser"]["id"];
  }
  ASSERT_FALSE(stalled_id.empty() || healthy_id.empty());

  // Connected before the stall, so that only its call runs during it.
  FakeAgent other(tmp.path());
  ASSERT_TRUE(other.request("ping"));

  std::vector<std::unique_ptr<FakeAgent>> agents;
  std::vector<std::string> sessions;
  for (int i = 0; i < fills_; ++i) {
    agents.push_back(std::make_unique<FakeAgent>(tmp.path()));
    sessions.push_back(start_confirmed(*host, *agents.back(), {{"browserId", stalled_id}}));
    ASSERT_EQ(sessions.back().size(), 32u);
  }
  // The stalled extension reads no more: these writes back up.
  send_large_fills(agents, sessions);
  std::this_thread::sleep_for(500ms);

  // The first fill's write holds on until its 5 s run out, and the others
  // queue behind it; the healthy browser answers before any of them ends.
  other.send_request("tools/call",
                     {{"name", "browser_start"}, {"arguments", {{"browserId", healthy_id}}}});
  auto started = other.read_answer(30s);
  ASSERT_TRUE(started);
  EXPECT_FALSE((*started)["result"].value("isError", false));
  for (auto& agent : agents) {
    EXPECT_FALSE(agent->read_answer(0ms)) << "a healthy browser waited behind a stalled one";
  }
  for (auto& agent : agents) EXPECT_TRUE(agent->read_answer(60s));
}

}  // namespace
}  // namespace velkor::test
