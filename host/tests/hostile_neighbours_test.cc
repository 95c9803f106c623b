// What other local processes can do to the broker without the secret:
// hold connections open in silence, or use up its descriptors. Neither may
// keep agents and extensions out for longer than the trouble lasts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/peers.h"
#include "support/raw_socket.h"
#include "support/temp_dir.h"

namespace velkor::test {
namespace {

std::vector<RawSocket> open_silent(std::uint16_t port, int count) {
  std::vector<RawSocket> out;
  for (int i = 0; i < count; ++i) {
    if (auto sock = RawSocket::connect(port)) out.push_back(std::move(*sock));
  }
  return out;
}

TEST(HostileNeighboursTest, SilentConnectionsDelayNeitherAgentsNorExtensions) {
  TempDir base;
  BrokerProcess broker(base.path());
  ASSERT_TRUE(broker.ready()) << broker.child().stderr_text();
  auto lock = broker.lock();
  ASSERT_TRUE(lock);
  // Checked one after another, 40 silent hellos would hold the next client
  // back for 80 s; the reads below allow 10 s each.
  std::vector<RawSocket> silent = open_silent(lock->port, 40);
  ASSERT_EQ(silent.size(), 40u);
  for (int i = 0; i < 50; ++i) {
    auto wrong = RawSocket::connect(lock->port);
    ASSERT_TRUE(wrong);
    wrong->write(R"({"hello":"00000000000000000000000000000000"})"
                 "\n");
  }

  FakeAgent agent(base.path());
  EXPECT_EQ(agent.ask_line(ping_line(1)), pong_line(1));
  FakeExtension ext(base.path());
  EXPECT_TRUE(ext.announce_default().has_value()) << broker.child().stderr_text();
  // The silent ones still end at their own deadline.
  EXPECT_EQ(silent.front().read_to_eof(5s), "");
}

TEST(HostileNeighboursTest, RunningOutOfDescriptorsPassesWhenClientsLeave) {
  TempDir base;
  BrokerProcess broker(base.path(), {}, Env().set_max_files(32));
  ASSERT_TRUE(broker.ready()) << broker.child().stderr_text();
  auto lock = broker.lock();
  ASSERT_TRUE(lock);
  {
    std::vector<RawSocket> flood = open_silent(lock->port, 60);
    ASSERT_TRUE(broker.child().wait_stderr("accept failed, retrying"))
        << broker.child().stderr_text();
  }
  // Once the flood is gone, accepting resumes: nothing holds it stopped.
  FakeAgent agent(base.path());
  EXPECT_EQ(agent.ask_line(ping_line(1)), pong_line(1)) << broker.child().stderr_text();
  EXPECT_EQ(broker.child().stderr_text().find("listener stopped"), std::string::npos);
}

TEST(HostileNeighboursTest, UnfinishedLinesTogetherStayUnderOneLimit) {
  TempDir base;
  BrokerProcess broker(base.path());
  ASSERT_TRUE(broker.ready()) << broker.child().stderr_text();
  auto lock = broker.lock();
  ASSERT_TRUE(lock);
  // Five agents each start a 15 MiB line and never end it: each alone is
  // within the line limit, together they are past what the broker holds.
  const std::string part(15 * 1024 * 1024, 'x');
  std::vector<RawSocket> holders;
  for (int i = 0; i < 5; ++i) {
    auto sock = RawSocket::connect(lock->port);
    ASSERT_TRUE(sock);
    ASSERT_TRUE(sock->write(R"({"hello":")" + lock->secret +
                            R"(","role":"mcp"})"
                            "\n"));
    sock->write(R"({"jsonrpc":"2.0","id":1,"method":"ping","params":{"pad":")" + part);
    holders.push_back(std::move(*sock));
  }
  int refused = 0;
  std::vector<bool> ended(holders.size(), false);
  for (int round = 0; round < 50 && refused == 0; ++round) {
    for (std::size_t i = 0; i < holders.size(); ++i) {
      if (!ended[i] && holders[i].read_to_eof(50ms).has_value()) {
        ended[i] = true;
        ++refused;
      }
    }
  }
  EXPECT_GE(refused, 1);
  EXPECT_LE(refused, 2);
  // Whoever is refused, the broker goes on serving.
  FakeAgent agent(base.path());
  EXPECT_EQ(agent.ask_line(ping_line(1)), pong_line(1));
}

}  // namespace
}  // namespace velkor::test
