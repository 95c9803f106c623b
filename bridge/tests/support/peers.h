#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "ipc/lock_file.h"
#include "protocol/json.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace velkor::test {

using protocol::json::Json;

// A broker started with `serve-browser` on a private runtime directory.
class BrokerProcess {
 public:
  // Starts the broker and waits until it has published its own "run.lock"
  // (one naming its process id, so a stale file left by a killed
  // predecessor does not count) and staged a copy of every regular file
  // that an "--upload-file" names.
  explicit BrokerProcess(const std::string& base_dir, std::vector<std::string> extra_args = {},
                         Env env = {});
  Child& child() { return *child_; }
  // The runtime directory: <base>/velkor-computer-use.
  std::string runtime_dir() const { return base_ + "/velkor-computer-use"; }
  std::string lock_path() const { return runtime_dir() + "/run.lock"; }
  bool ready() const { return ready_; }
  // The lock file as it is now; nullopt when it is absent or unreadable.
  std::optional<ipc::LockFile> lock() const;
  // SIGTERM, then the exit status.
  std::optional<int> stop();

 private:
  std::string base_;
  std::unique_ptr<Child> child_;
  bool ready_ = false;
};

// What the stand-in extension sees of one bridge request.
struct SeenRequest {
  std::uint64_t id;
  std::string op;
  std::optional<std::int64_t> tab_id;
  Json args;
};

// The stand-in extension's answer: data for ok true, or an error text for
// ok false, or no answer at all.
struct Answer {
  enum class Kind { kOk, kError, kSilent, kRaw } kind = Kind::kOk;
  Json data;          // kOk (null = no data member), kRaw (whole message)
  std::string error;  // kError
  static Answer ok(Json data) { return {Kind::kOk, std::move(data), {}}; }
  static Answer fail(std::string text) { return {Kind::kError, nullptr, std::move(text)}; }
  static Answer silent() { return {Kind::kSilent, nullptr, {}}; }
  static Answer raw(Json message) { return {Kind::kRaw, std::move(message), {}}; }
};

using Handler = std::function<Answer(const SeenRequest&)>;

// A PNG-signed image of `size` bytes with deterministic content.
std::string fake_png(std::size_t size);

// Plays Chrome and the Tabvine extension: starts the native host with pipes
// on its standard input and output and speaks native-messaging frames.
// After announce(), a serving thread answers every request with the
// handler (by default the well-behaved extension of default_answer).
class FakeExtension {
 public:
  explicit FakeExtension(const std::string& base_dir, Env env = {},
                         std::vector<std::string> args = {"chrome-extension://"
                                                          "abcdefghijklmnopabcdefghijklmnop/"});
  ~FakeExtension();

  Child& child() { return *child_; }

  void send(const Json& value);
  void send_raw(std::string_view bytes);
  // Sends `body` as one frame exactly as given, without re-encoding it.
  void send_body(std::string_view body);
  std::optional<Json> read_frame(std::chrono::milliseconds timeout = 10s);
  // The next frame's body bytes as the host wrote them. `timeout` bounds
  // the wait for the frame to begin; once its length has arrived the body
  // gets at least 10 s, so a slow body never leaves the stream mid-frame.
  std::optional<std::string> read_frame_body(std::chrono::milliseconds timeout = 10s);

  // Sends the announce and waits for the broker's reply frame.
  std::optional<Json> announce(const Json& announce_body);
  // An extension of this build's own version, so the broker logs no drift.
  std::optional<Json> announce_default(std::string browser_name = "Chrome");

  // Starts answering requests on a thread of its own.
  void serve(Handler handler = nullptr);
  void stop_serving();

  std::vector<SeenRequest> requests() const;
  // Waits until at least `n` requests were seen.
  bool wait_requests(std::size_t n, std::chrono::milliseconds timeout = 10s) const;

  // The PNG the default handler serves for screenshots, and its chunking.
  std::string png = fake_png(1000);
  std::uint64_t chunk_size = 300;

  Answer default_answer(const SeenRequest& req) const;
  // A healthy extension's answer to "page_screenshot" and
  // "page_screenshot_read" for a capture of `image` read in pieces of at
  // most `chunk_size` bytes; nullopt for any other operation.
  static std::optional<Answer> screenshot_answer(std::string_view image, std::uint64_t chunk_size,
                                                 const SeenRequest& req);

 private:
  std::unique_ptr<Child> child_;
  Handler handler_;
  std::thread server_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mu_;
  std::vector<SeenRequest> seen_;
};

// Plays an MCP client: starts `mcp` and speaks JSON-RPC lines.
class FakeAgent {
 public:
  explicit FakeAgent(const std::string& base_dir, Env env = {});
  Child& child() { return *child_; }

  // Sends a request and returns the answer line, parsed.
  std::optional<Json> request(const std::string& method, Json params = nullptr,
                              std::chrono::milliseconds timeout = 30s);
  void notify(const std::string& method, Json params = nullptr);
  // Sends a request without waiting for its answer and returns its id;
  // read_answer() takes the answer later.
  std::int64_t send_request(const std::string& method, Json params = nullptr);
  // The next line on the agent's standard output, parsed.
  std::optional<Json> read_answer(std::chrono::milliseconds timeout = 30s);
  // "tools/call"; returns the whole result object.
  std::optional<Json> tool(const std::string& name, Json arguments = Json::object(),
                           std::chrono::milliseconds timeout = 30s);
  // The first text item of a tool result.
  static std::string text(const Json& result);
  // Writes one raw request line and returns the exact answer line printed.
  std::optional<std::string> ask_line(const std::string& line);

 private:
  std::unique_ptr<Child> child_;
  std::int64_t next_id_ = 1;
};

// A "ping" request line with `id`, and the exact answer line to it.
std::string ping_line(int id);
std::string pong_line(int id);

// Env pointing a child at a test's runtime base directory.
Env runtime_env(const std::string& base_dir);

}  // namespace velkor::test
