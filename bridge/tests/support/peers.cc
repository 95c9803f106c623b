#include "support/peers.h"

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "broker/screenshot/base64.h"

namespace velkor::test {
namespace {

// True when the lock file at `path` names process `pid`: a stale one left
// by a killed broker names its dead predecessor.
bool published_by(const std::string& path, pid_t pid) {
  auto lock = ipc::LockFile::read_at(path);
  return lock && lock->has_value() && (*lock)->pid == static_cast<std::uint32_t>(pid);
}

// Sizes of the regular files that "--upload-file" options name, sorted.
std::vector<std::uintmax_t> upload_sizes(const std::vector<std::string>& args) {
  std::vector<std::uintmax_t> sizes;
  for (std::size_t i = 0; i + 1 < args.size(); ++i) {
    struct stat st {};
    if (args[i] == "--upload-file" && ::stat(args[i + 1].c_str(), &st) == 0 &&
        S_ISREG(st.st_mode)) {
      sizes.push_back(static_cast<std::uintmax_t>(st.st_size));
    }
  }
  std::sort(sizes.begin(), sizes.end());
  return sizes;
}

// Sizes of the files in the runtime directory's staging directories, sorted.
std::vector<std::uintmax_t> staged_sizes(const std::string& runtime_dir) {
  std::vector<std::uintmax_t> sizes;
  for (const std::string& name : list_dir(runtime_dir)) {
    // A broker's staging directories are real directories; a link with the
    // prefix is something a test planted.
    struct stat dir {};
    if (name.rfind("selected-", 0) != 0 || ::lstat((runtime_dir + "/" + name).c_str(), &dir) != 0 ||
        !S_ISDIR(dir.st_mode)) {
      continue;
    }
    for (const std::string& file : list_dir(runtime_dir + "/" + name)) {
      struct stat st {};
      if (::stat((runtime_dir + "/" + name + "/" + file).c_str(), &st) == 0) {
        sizes.push_back(static_cast<std::uintmax_t>(st.st_size));
      }
    }
  }
  std::sort(sizes.begin(), sizes.end());
  return sizes;
}

}  // namespace

Env runtime_env(const std::string& base_dir) {
  Env env;
  env.set("VELKOR_COMPUTER_USE_RUNTIME_DIR", base_dir);
  env.set("VELKOR_COMPUTER_USE_LOG", "debug");
  return env;
}

BrokerProcess::BrokerProcess(const std::string& base_dir, std::vector<std::string> extra_args,
                             Env env)
    : base_(base_dir) {
  std::vector<std::string> args{"serve-browser"};
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  child_ = std::make_unique<Child>(host_exe(), args, runtime_env(base_dir).merged(env));
  const std::vector<std::uintmax_t> expected = upload_sizes(extra_args);
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    // The lock file appears by rename, and the copies of the upload files
    // are made after it, each filed as a selection as soon as it is
    // complete. The file system is the only signal the broker gives; stop
    // early if the broker already failed.
    if (published_by(lock_path(), child_->pid()) && staged_sizes(runtime_dir()) == expected) {
      ready_ = true;
      break;
    }
    if (child_->wait(5ms)) break;
  }
}

std::optional<ipc::LockFile> BrokerProcess::lock() const {
  auto lock = ipc::LockFile::read_at(lock_path());
  if (!lock || !lock->has_value()) return std::nullopt;
  return **lock;
}

std::optional<int> BrokerProcess::stop() {
  child_->kill(SIGTERM);
  return child_->wait();
}

std::string fake_png(std::size_t size) {
  static const char kSignature[] = "\x89PNG\r\n\x1a\n";
  std::string out(kSignature, 8);
  for (std::size_t i = 8; i < size; ++i) out += static_cast<char>((i * 31 + 7) & 0xFF);
  out.resize(size);
  return out;
}

FakeExtension::FakeExtension(const std::string& base_dir, Env env, std::vector<std::string> args) {
  child_ = std::make_unique<Child>(host_exe(), args, runtime_env(base_dir).merged(env));
}

FakeExtension::~FakeExtension() { stop_serving(); }

void FakeExtension::send(const Json& value) { send_body(protocol::json::dump(value)); }

void FakeExtension::send_body(std::string_view body) {
  uint32_t len = static_cast<uint32_t>(body.size());
  std::string frame(reinterpret_cast<const char*>(&len), 4);
  frame += body;
  child_->write_stdin(frame);
}

void FakeExtension::send_raw(std::string_view bytes) { child_->write_stdin(bytes); }

std::optional<std::string> FakeExtension::read_frame_body(std::chrono::milliseconds timeout) {
  auto prefix = child_->read_stdout(4, timeout);
  if (!prefix) return std::nullopt;
  uint32_t len = 0;
  std::memcpy(&len, prefix->data(), 4);
  // The prefix is consumed: the body must not be given up on as quickly
  // as a poll for the next frame, or the stream would lose its framing.
  return child_->read_stdout(len, std::max<std::chrono::milliseconds>(timeout, 10s));
}

std::optional<Json> FakeExtension::read_frame(std::chrono::milliseconds timeout) {
  auto body = read_frame_body(timeout);
  if (!body) return std::nullopt;
  auto parsed = protocol::json::parse(*body);
  if (!parsed) return std::nullopt;
  return std::move(parsed->value);
}

std::optional<Json> FakeExtension::announce(const Json& announce_body) {
  send(Json{{"id", 0}, {"ok", true}, {"data", {{"announce", announce_body}}}});
  return read_frame();
}

std::optional<Json> FakeExtension::announce_default(std::string browser_name) {
  return announce(Json{{"protocolVersion", 1},
                       {"version", VELKOR_VERSION},
                       {"browser", {{"name", browser_name}, {"version", "126"}}}});
}

void FakeExtension::serve(Handler handler) {
  handler_ = std::move(handler);
  server_ = std::thread([this] {
    while (!stop_.load()) {
      auto frame = read_frame(50ms);
      if (!frame) {
        if (child_->stdout_at_eof(0ms)) return;
        continue;
      }
      SeenRequest req;
      req.id = frame->value("id", std::uint64_t{0});
      req.op = frame->value("op", std::string());
      if (auto it = frame->find("tab_id"); it != frame->end())
        req.tab_id = protocol::json::as_i64(*it);
      if (auto it = frame->find("args"); it != frame->end()) req.args = *it;
      {
        std::lock_guard<std::mutex> lock(mu_);
        seen_.push_back(req);
      }
      Answer answer = handler_ ? handler_(req) : default_answer(req);
      switch (answer.kind) {
        case Answer::Kind::kSilent:
          break;
        case Answer::Kind::kRaw:
          send(answer.data);
          break;
        case Answer::Kind::kError:
          send(Json{{"id", req.id}, {"ok", false}, {"error", answer.error}});
          break;
        case Answer::Kind::kOk: {
          Json resp{{"id", req.id}, {"ok", true}};
          if (!answer.data.is_null()) resp["data"] = answer.data;
          send(resp);
          break;
        }
      }
    }
  });
}

void FakeExtension::stop_serving() {
  stop_.store(true);
  if (server_.joinable()) server_.join();
  stop_.store(false);
}

std::vector<SeenRequest> FakeExtension::requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return seen_;
}

bool FakeExtension::wait_requests(std::size_t n, std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (seen_.size() >= n) return true;
    }
    // The serving thread records requests; a short poll keeps this helper
    // simple and the test's deadline bounds it.
    std::this_thread::sleep_for(5ms);
  }
  return false;
}

Answer FakeExtension::default_answer(const SeenRequest& req) const {
  if (req.op == "tab_list") {
    return Answer::ok(
        Json::array({{{"id", 7}, {"title", "Example"}, {"url", "https://example.com/"}}}));
  }
  if (req.op == "session_start") {
    return Answer::ok({{"sessionId", req.args.value("sessionId", std::string())},
                       {"tabId", req.tab_id.value_or(7)}});
  }
  if (req.op == "session_stop") return Answer::ok({{"stopped", true}});
  if (auto shot = screenshot_answer(png, chunk_size, req)) return std::move(*shot);
  return Answer::ok({{"args", req.args}, {"op", req.op}});
}

std::optional<Answer> FakeExtension::screenshot_answer(std::string_view image,
                                                       std::uint64_t chunk_size,
                                                       const SeenRequest& req) {
  if (req.op == "page_screenshot") {
    return Answer::ok({{"captureId", "cap-1"},
                       {"chunkSize", chunk_size},
                       {"mime", "image/png"},
                       {"sha256", broker::screenshot::sha256_hex(image)},
                       {"size", image.size()}});
  }
  if (req.op == "page_screenshot_read") {
    std::uint64_t offset =
        std::min<std::uint64_t>(req.args.value("offset", std::uint64_t{0}), image.size());
    std::uint64_t n = std::min<std::uint64_t>(chunk_size, image.size() - offset);
    return Answer::ok({{"base64", broker::screenshot::base64_encode(image.substr(offset, n))},
                       {"eof", offset + n == image.size()},
                       {"nextOffset", offset + n},
                       {"offset", offset}});
  }
  return std::nullopt;
}

FakeAgent::FakeAgent(const std::string& base_dir, Env env) {
  child_ = std::make_unique<Child>(host_exe(), std::vector<std::string>{"mcp"},
                                   runtime_env(base_dir).merged(env));
}

std::optional<Json> FakeAgent::request(const std::string& method, Json params,
                                       std::chrono::milliseconds timeout) {
  Json msg{{"jsonrpc", "2.0"}, {"id", next_id_++}, {"method", method}};
  if (!params.is_null()) msg["params"] = std::move(params);
  if (!child_->write_stdin(protocol::json::dump(msg) + "\n")) return std::nullopt;
  return read_answer(timeout);
}

std::int64_t FakeAgent::send_request(const std::string& method, Json params) {
  const std::int64_t id = next_id_++;
  Json msg{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}};
  if (!params.is_null()) msg["params"] = std::move(params);
  child_->write_stdin(protocol::json::dump(msg) + "\n");
  return id;
}

std::optional<Json> FakeAgent::read_answer(std::chrono::milliseconds timeout) {
  auto line = child_->read_stdout_line(timeout);
  if (!line) return std::nullopt;
  auto parsed = protocol::json::parse(*line);
  if (!parsed) return std::nullopt;
  return std::move(parsed->value);
}

void FakeAgent::notify(const std::string& method, Json params) {
  Json msg{{"jsonrpc", "2.0"}, {"method", method}};
  if (!params.is_null()) msg["params"] = std::move(params);
  child_->write_stdin(protocol::json::dump(msg) + "\n");
}

std::optional<Json> FakeAgent::tool(const std::string& name, Json arguments,
                                    std::chrono::milliseconds timeout) {
  auto answer =
      request("tools/call", {{"name", name}, {"arguments", std::move(arguments)}}, timeout);
  if (!answer || !answer->contains("result")) return std::nullopt;
  return (*answer)["result"];
}

std::optional<std::string> FakeAgent::ask_line(const std::string& line) {
  if (!child_->write_stdin(line + "\n")) return std::nullopt;
  return child_->read_stdout_line();
}

std::string ping_line(int id) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"ping"})";
}

std::string pong_line(int id) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"result":{}})";
}

std::string FakeAgent::text(const Json& result) {
  auto content = result.find("content");
  if (content == result.end() || !content->is_array() || content->empty()) return {};
  return (*content)[0].value("text", std::string());
}

}  // namespace velkor::test
