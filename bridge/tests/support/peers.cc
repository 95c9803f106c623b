#include "support/peers.h"

#include <signal.h>
#include <sys/stat.h>

#include <cstring>

#include "broker/screenshot/base64.h"

namespace velkor::test {
namespace {

bool file_exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
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
  Env merged = runtime_env(base_dir);
  for (auto& [k, v] : env.changes) merged.changes[k] = v;
  std::vector<std::string> args{"serve-browser"};
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  child_ = std::make_unique<Child>(host_exe(), args, merged);
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    if (file_exists(lock_path())) {
      ready_ = true;
      break;
    }
    // The lock file appears by rename; polling its existence is the only
    // signal the broker gives. Stop early if the broker already failed.
    if (child_->wait(5ms)) break;
  }
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
  Env merged = runtime_env(base_dir);
  for (auto& [k, v] : env.changes) merged.changes[k] = v;
  child_ = std::make_unique<Child>(host_exe(), args, merged);
}

FakeExtension::~FakeExtension() { stop_serving(); }

void FakeExtension::send(const Json& value) {
  std::string body = json::dump(value);
  uint32_t len = static_cast<uint32_t>(body.size());
  std::string frame(reinterpret_cast<const char*>(&len), 4);
  frame += body;
  child_->write_stdin(frame);
}

void FakeExtension::send_raw(std::string_view bytes) { child_->write_stdin(bytes); }

std::optional<Json> FakeExtension::read_frame(std::chrono::milliseconds timeout) {
  auto prefix = child_->read_stdout(4, timeout);
  if (!prefix) return std::nullopt;
  uint32_t len = 0;
  std::memcpy(&len, prefix->data(), 4);
  auto body = child_->read_stdout(len, timeout);
  if (!body) return std::nullopt;
  auto parsed = json::parse(*body);
  if (!parsed) return std::nullopt;
  return std::move(parsed->value);
}

std::optional<Json> FakeExtension::announce(const Json& announce_body) {
  send(Json{{"id", 0}, {"ok", true}, {"data", {{"announce", announce_body}}}});
  return read_frame();
}

std::optional<Json> FakeExtension::announce_default(std::string browser_name) {
  return announce(Json{{"protocolVersion", 1},
                       {"version", "0.1.0"},
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
      if (auto it = frame->find("tab_id"); it != frame->end()) req.tab_id = json::as_i64(*it);
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
    return Answer::ok(Json::array({{{"id", 7}, {"title", "Example"}, {"url", "https://example.com/"}}}));
  }
  if (req.op == "session_start") {
    return Answer::ok(
        {{"sessionId", req.args.value("sessionId", std::string())}, {"tabId", req.tab_id.value_or(7)}});
  }
  if (req.op == "session_stop") return Answer::ok({{"stopped", true}});
  if (req.op == "page_screenshot") {
    return Answer::ok({{"captureId", "cap-1"},
                       {"chunkSize", chunk_size},
                       {"mime", "image/png"},
                       {"sha256", broker::screenshot::sha256_hex(png)},
                       {"size", png.size()}});
  }
  if (req.op == "page_screenshot_read") {
    std::uint64_t offset = req.args.value("offset", std::uint64_t{0});
    std::uint64_t n = std::min<std::uint64_t>(chunk_size, png.size() - offset);
    return Answer::ok({{"base64", broker::screenshot::base64_encode(png.substr(offset, n))},
                       {"eof", offset + n == png.size()},
                       {"nextOffset", offset + n},
                       {"offset", offset}});
  }
  return Answer::ok({{"args", req.args}, {"op", req.op}});
}

FakeAgent::FakeAgent(const std::string& base_dir, Env env) {
  Env merged = runtime_env(base_dir);
  for (auto& [k, v] : env.changes) merged.changes[k] = v;
  child_ = std::make_unique<Child>(host_exe(), std::vector<std::string>{"mcp"}, merged);
}

std::optional<Json> FakeAgent::request(const std::string& method, Json params,
                                       std::chrono::milliseconds timeout) {
  Json msg{{"jsonrpc", "2.0"}, {"id", next_id_++}, {"method", method}};
  if (!params.is_null()) msg["params"] = std::move(params);
  if (!child_->write_stdin(json::dump(msg) + "\n")) return std::nullopt;
  auto line = child_->read_stdout_line(timeout);
  if (!line) return std::nullopt;
  auto parsed = json::parse(*line);
  if (!parsed) return std::nullopt;
  return std::move(parsed->value);
}

void FakeAgent::notify(const std::string& method, Json params) {
  Json msg{{"jsonrpc", "2.0"}, {"method", method}};
  if (!params.is_null()) msg["params"] = std::move(params);
  child_->write_stdin(json::dump(msg) + "\n");
}

std::optional<Json> FakeAgent::tool(const std::string& name, Json arguments,
                                    std::chrono::milliseconds timeout) {
  auto answer = request("tools/call", {{"name", name}, {"arguments", std::move(arguments)}}, timeout);
  if (!answer || !answer->contains("result")) return std::nullopt;
  return (*answer)["result"];
}

std::string FakeAgent::text(const Json& result) {
  auto content = result.find("content");
  if (content == result.end() || !content->is_array() || content->empty()) return {};
  return (*content)[0].value("text", std::string());
}

}  // namespace velkor::test
