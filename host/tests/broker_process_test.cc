// The broker as a process: one per runtime directory, orderly end on a stop
// signal, recovery from a killed predecessor, and what its peers see when
// one of the processes around it dies or misbehaves.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/json.h"
#include "support/peers.h"
#include "support/raw_socket.h"
#include "support/temp_dir.h"

namespace velkor::test {
namespace {

constexpr char kStart[] = "browser_start";

std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream out;
  out << in.rdbuf();
  return out.str();
}

std::vector<std::string> staging_dirs(const std::string& runtime_dir) {
  std::vector<std::string> out;
  for (const std::string& name : list_dir(runtime_dir)) {
    if (name.rfind("selected-", 0) == 0) out.push_back(name);
  }
  return out;
}

Json tool_call(const std::string& name, Json arguments = Json::object()) {
  return Json{{"name", name}, {"arguments", std::move(arguments)}};
}

Json error_result(const std::string& text) {
  return Json{{"content", Json::array({{{"text", text}, {"type", "text"}}})}, {"isError", true}};
}

// The browser ids that browser_tabs lists.
std::vector<std::string> listed_browsers(FakeAgent& agent) {
  std::vector<std::string> ids;
  auto tabs = agent.tool("browser_tabs");
  if (!tabs) return ids;
  for (const Json& entry : (*tabs)["structuredContent"]["browsers"]) {
    ids.push_back(entry["browser"]["id"].get<std::string>());
  }
  return ids;
}

// An extension that announced itself and was accepted.
std::unique_ptr<FakeExtension> announced_extension(const std::string& base) {
  auto ext = std::make_unique<FakeExtension>(base);
  auto reply = ext->announce_default();
  EXPECT_TRUE(reply.has_value()) << ext->child().stderr_text();
  if (reply) {
    EXPECT_EQ(protocol::json::dump(*reply), R"({"data":{"ready":true},"id":0,"ok":true})");
  }
  return ext;
}

// An extension that never answers "session_start", which keeps that call
// open, and answers everything else like a healthy one.
void hold_session_start(FakeExtension& ext) {
  FakeExtension* self = &ext;
  ext.serve([self](const SeenRequest& req) {
    return req.op == "session_start" ? Answer::silent() : self->default_answer(req);
  });
}

TEST(BrokerProcessTest, SecondBrokerOnTheSameDirectoryIsRefused) {
  TempDir base;
  const std::string file = base.file("notes.txt");
  std::ofstream(file) << "notes";
  BrokerProcess first(base.path(), {"--upload-file", file});
  ASSERT_TRUE(first.ready()) << first.child().stderr_text();
  const std::string lock_before = read_bytes(first.lock_path());
  const std::vector<std::string> entries_before = list_dir(first.runtime_dir());
  ASSERT_EQ(staging_dirs(first.runtime_dir()).size(), 1u);

  Child second(host_exe(), {"serve-browser"}, runtime_env(base.path()));
  EXPECT_EQ(second.wait(), 1);
  EXPECT_EQ(second.stdout_rest(), "");
  EXPECT_EQ(second.stderr_text(), "velkor-computer-use-host: operation would block\n");

  // The refused broker touched nothing of the running one's: not its lock
  // file, not its staged selection.
  EXPECT_EQ(read_bytes(first.lock_path()), lock_before);
  EXPECT_EQ(list_dir(first.runtime_dir()), entries_before);
  FakeAgent agent(base.path());
  EXPECT_EQ(agent.ask_line(ping_line(1)), pong_line(1));
}

TEST(BrokerProcessTest, StopSignalShutsDownInOrderAndExitsZero) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig == SIGTERM ? "SIGTERM" : "SIGINT");
    TempDir base;
    const std::string file = base.file("notes.txt");
    std::ofstream(file) << "notes";
    BrokerProcess broker(base.path(), {"--upload-file", file});
    ASSERT_TRUE(broker.ready()) << broker.child().stderr_text();
    auto ext = announced_extension(base.path());
    ASSERT_EQ(staging_dirs(broker.runtime_dir()).size(), 1u);

    broker.child().kill(sig);
    EXPECT_EQ(broker.child().wait(), 0);
    // The lock file and the selection went with the broker; the guard
    // file stays for the next one.
    EXPECT_EQ(list_dir(broker.runtime_dir()), std::vector<std::string>{"owner.lock"});
    // The extension's native host saw its connection end and left.
    EXPECT_EQ(ext->child().wait_stderr("tcp EOF"), "[INFO] [native-host] tcp EOF");
    EXPECT_EQ(ext->child().wait(), 0);
  }
}

TEST(BrokerProcessTest, StartRemovesSelectionsAKilledPredecessorLeft) {
  TempDir base;
  const std::string file = base.file("notes.txt");
  std::ofstream(file) << "notes";
  const std::string runtime = base.file("velkor-computer-use");
  {
    BrokerProcess predecessor(base.path(), {"--upload-file", file});
    ASSERT_TRUE(predecessor.ready()) << predecessor.child().stderr_text();
    predecessor.child().kill(SIGKILL);
    ASSERT_EQ(predecessor.child().wait(), 128 + SIGKILL);
  }
  ASSERT_EQ(staging_dirs(runtime).size(), 1u);
  ASSERT_EQ(::mkdir((runtime + "/selected-abc123").c_str(), 0700), 0);
  std::ofstream(runtime + "/selected-abc123/old.txt") << "old";
  ASSERT_EQ(::mkdir((runtime + "/keep-me").c_str(), 0700), 0);
  // A link with the prefix must not lead the clean-up out of the directory.
  ASSERT_EQ(::mkdir(base.file("outside").c_str(), 0700), 0);
  std::ofstream(base.file("outside/precious.txt")) << "precious";
  ASSERT_EQ(::symlink(base.file("outside").c_str(), (runtime + "/selected-link").c_str()), 0);

  BrokerProcess next(base.path());
  ASSERT_TRUE(next.ready()) << next.child().stderr_text();
  std::vector<std::string> left = list_dir(runtime);
  std::erase(left, "selected-link");
  EXPECT_EQ(left, (std::vector<std::string>{"keep-me", "owner.lock", "run.lock"}));
  EXPECT_EQ(read_bytes(base.file("outside/precious.txt")), "precious");
}

TEST(BrokerProcessTest, KilledBrokerEndsItsRelaysAndIsReplaced) {
  TempDir base;
  auto old = std::make_unique<BrokerProcess>(base.path());
  ASSERT_TRUE(old->ready()) << old->child().stderr_text();
  const std::optional<ipc::LockFile> old_lock = old->lock();
  ASSERT_TRUE(old_lock);

  auto ext = announced_extension(base.path());
  hold_session_start(*ext);
  FakeAgent agent(base.path());
  agent.send_request("tools/call", tool_call(kStart, {{"tabId", 7}}));
  ASSERT_TRUE(ext->wait_requests(1));
  ASSERT_EQ(ext->requests()[0].op, "session_start");

  old->child().kill(SIGKILL);
  ASSERT_EQ(old->child().wait(), 128 + SIGKILL);

  EXPECT_EQ(agent.child().wait(), 1);
  EXPECT_EQ(agent.child().stdout_rest(), "");
  EXPECT_EQ(agent.child().stderr_text(), "velkor-computer-use-host: unexpected end of file\n");

  ext->stop_serving();
  EXPECT_EQ(ext->child().wait(), 0);
  EXPECT_EQ(ext->child().stdout_rest(), "");
  EXPECT_EQ(ext->child().stderr_text(),
            "[INFO] [native-host] connected to MCP server bridge socket\n"
            "[INFO] [native-host] tcp EOF\n"
            "[DEBUG] [native-host] TCP->stdout thread ending\n"
            "[DEBUG] [native-host] exit\n");

  // The killed broker left its lock file; the next one replaces it.
  ASSERT_EQ(old->lock(), old_lock);
  old.reset();
  BrokerProcess fresh(base.path());
  ASSERT_TRUE(fresh.ready()) << fresh.child().stderr_text();
  const std::optional<ipc::LockFile> new_lock = fresh.lock();
  ASSERT_TRUE(new_lock);
  EXPECT_NE(new_lock->secret, old_lock->secret);
  EXPECT_EQ(new_lock->pid, static_cast<std::uint32_t>(fresh.child().pid()));

  auto fresh_ext = announced_extension(base.path());
  EXPECT_EQ(fresh.child().wait_stderr("native host connected"),
            "[INFO] [session] native host connected and authenticated (generation 1)");
}

// Every browser's session numbers its own connections, so two browsers that
// connect one after the other both log their first connection as 1.
TEST(BrokerProcessTest, EachBrowserNumbersItsOwnConnections) {
  TempDir base;
  BrokerProcess broker(base.path());
  ASSERT_TRUE(broker.ready()) << broker.child().stderr_text();
  std::vector<std::unique_ptr<FakeExtension>> browsers;
  for (int i = 0; i < 2; ++i) {
    browsers.push_back(announced_extension(base.path()));
    EXPECT_EQ(broker.child().wait_stderr("native host connected"),
              "[INFO] [session] native host connected and authenticated (generation 1)");
    auto announce = broker.child().wait_stderr(": extension v");
    ASSERT_TRUE(announce) << broker.child().stderr_text();
    EXPECT_TRUE(announce->starts_with("[INFO] [session] generation 1: extension v")) << *announce;
  }
}

TEST(BrokerProcessTest, StrayLocalConnectionsAreDroppedWhileAgentsAreServed) {
  TempDir base;
  BrokerProcess broker(base.path());
  ASSERT_TRUE(broker.ready()) << broker.child().stderr_text();
  const std::optional<ipc::LockFile> lock = broker.lock();
  ASSERT_TRUE(lock);
  std::string upper = lock->secret;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

  FakeAgent agent(base.path());
  int id = 1;
  ASSERT_EQ(agent.ask_line(ping_line(id)), pong_line(id));

  struct Stray {
    const char* name;
    std::string bytes;
    bool end_input;  // close the sending direction after the bytes
    std::string reason;
  };
  const std::vector<Stray> strays = {
      {"silent", "", false, "timed out"},
      {"closed at once", "", true, "unexpected end of file"},
      {"line over 256 bytes", std::string(300, 'x'), false, "invalid data"},
      {"not JSON", "hello\n", false, protocol::json::parse("hello\n").error().to_string()},
      {"wrong secret",
       R"({"hello":"00000000000000000000000000000000"})"
       "\n",
       false, "permission denied"},
      {"secret in capitals", R"({"hello":")" + upper + "\"}\n", false, "permission denied"},
      {"secret not text",
       R"({"hello":7})"
       "\n",
       false, "permission denied"},
      {"no hello",
       R"({"role":"mcp"})"
       "\n",
       false, "permission denied"},
      {"unknown role",
       R"({"hello":")" + lock->secret +
           R"(","role":"native-host"})"
           "\n",
       false, "invalid data"},
  };
  for (const Stray& stray : strays) {
    SCOPED_TRACE(stray.name);
    auto sock = RawSocket::connect(lock->port);
    ASSERT_TRUE(sock);
    ASSERT_TRUE(sock->write(stray.bytes));
    if (stray.end_input) sock->shutdown_write();
    // Dropped without a word.
    EXPECT_EQ(sock->read_to_eof(5s), "");
    EXPECT_EQ(broker.child().wait_stderr("local connection closed"),
              "[DEBUG] [broker] local connection closed: " + stray.reason);
    ++id;
    EXPECT_EQ(agent.ask_line(ping_line(id)), pong_line(id));
  }
  // The accept loop goes on taking new clients.
  FakeAgent late(base.path());
  EXPECT_EQ(late.ask_line(ping_line(1)), pong_line(1));
}

TEST(BrokerProcessTest, ExtensionKilledMidCallFailsTheCallAndLeavesTheList) {
  TempDir base;
  BrokerProcess broker(base.path());
  ASSERT_TRUE(broker.ready()) << broker.child().stderr_text();
  auto ext = announced_extension(base.path());
  hold_session_start(*ext);
  FakeAgent agent(base.path());
  const std::vector<std::string> before = listed_browsers(agent);
  ASSERT_EQ(before.size(), 1u);

  const std::int64_t id = agent.send_request("tools/call", tool_call(kStart, {{"tabId", 7}}));
  ASSERT_TRUE(ext->wait_requests(2));
  ASSERT_EQ(ext->requests()[1].op, "session_start");
  ext->child().kill(SIGKILL);

  auto answer = agent.read_answer();
  ASSERT_TRUE(answer);
  EXPECT_EQ(
      *answer,
      (Json{{"jsonrpc", "2.0"},
            {"id", id},
            {"result", error_result("extension connection lost while waiting for response")}}));
  EXPECT_EQ(listed_browsers(agent), std::vector<std::string>{});

  // The extension coming back is a new browser.
  ext.reset();
  auto back = announced_extension(base.path());
  back->serve();
  const std::vector<std::string> after = listed_browsers(agent);
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].size(), 32u);
  EXPECT_NE(after[0], before[0]);
}

TEST(BrokerProcessTest, AgentKilledMidSessionStopsItsSessionOnly) {
  TempDir base;
  const std::string file = base.file("notes.txt");
  std::ofstream(file) << "notes";
  BrokerProcess broker(base.path(), {"--upload-file", file});
  ASSERT_TRUE(broker.ready()) << broker.child().stderr_text();
  auto ext = announced_extension(base.path());
  ext->serve();
  FakeAgent staying(base.path());
  ASSERT_EQ(staying.ask_line(ping_line(1)), pong_line(1));

  FakeAgent leaving(base.path());
  auto started = leaving.tool(kStart, {{"tabId", 7}});
  ASSERT_TRUE(started);
  const std::string session = (*started)["structuredContent"].value("sessionId", std::string());
  ASSERT_EQ(session.size(), 32u) << started->dump();
  ASSERT_EQ(ext->requests().size(), 1u);
  // The selection staged at start-up went to this session.
  ASSERT_EQ(staging_dirs(broker.runtime_dir()).size(), 1u);

  leaving.child().kill(SIGKILL);
  ASSERT_TRUE(ext->wait_requests(2));
  const SeenRequest stop = ext->requests()[1];
  EXPECT_EQ(stop.op, "session_stop");
  EXPECT_EQ(stop.tab_id, 7);
  EXPECT_EQ(stop.args, (Json{{"sessionId", session}}));
  // Its selection was forgotten before the extension was told.
  EXPECT_EQ(staging_dirs(broker.runtime_dir()), std::vector<std::string>{});

  EXPECT_EQ(staying.ask_line(ping_line(2)), pong_line(2));
  auto own = staying.tool(kStart, {{"tabId", 7}});
  ASSERT_TRUE(own);
  EXPECT_FALSE(own->contains("isError")) << own->dump();
  EXPECT_NE((*own)["structuredContent"].value("sessionId", std::string()), session);
  EXPECT_EQ(ext->requests().size(), 3u);
}

}  // namespace
}  // namespace velkor::test
