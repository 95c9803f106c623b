#include "broker/client.h"

#include <array>
#include <utility>

#include "base/utf8.h"
#include "broker/identifier.h"
#include "broker/screenshot/screenshot.h"
#include "broker/tools/catalog.h"
#include "broker/tools/response.h"
#include "broker/tools/tool.h"
#include "protocol/limits.h"
#include "protocol/operations.h"

namespace velkor::broker {
namespace {

constexpr std::array<std::string_view, 4> kProtocolVersions = {"2024-11-05", "2025-03-26",
                                                               "2025-06-18", "2025-11-25"};

// The largest screenshot must reach the agent rather than be replaced by
// kOversizeAnswer in answer_line: its base64 text and the answer around it
// have to fit one line. The answer without its id takes 211 bytes
// ({"jsonrpc":"2.0","id":,"result":{"content":[{"data":"","mimeType":
// "image/png","type":"image"}],"structuredContent":{"sha256":"<64 digits>",
// "size":11534336}}} and the line feed); the rest of this allowance is for
// the agent's id.
constexpr std::size_t kImageAnswerEnvelope = 1024;
constexpr std::uint64_t kMaxImageBase64 = 4 * ((screenshot::kMaxSize + 2) / 3);
static_assert(kMaxImageBase64 + kImageAnswerEnvelope <= protocol::kMaxLineBytes,
              "the largest screenshot no longer fits an answer line");

protocol::json::Json initialize_result(std::string_view version) {
  return {
      {"capabilities", {{"tools", protocol::json::Json::object()}}},
      {"instructions", kInstructions},
      {"protocolVersion", version},
      {"serverInfo", {{"name", kServerName}, {"title", kServerTitle}, {"version", kServerVersion}}},
  };
}

}  // namespace

std::string controller_name(std::string_view name) {
  std::string lowered(name);
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 4> kKnown = {{
      {"codex", "Codex"},
      {"claude", "Claude"},
      {"opencode", "OpenCode"},
      {"kimi", "Kimi"},
  }};
  for (const auto& [key, result] : kKnown) {
    if (lowered.find(key) != std::string::npos) return std::string(result);
  }
  std::size_t i = 0;
  std::size_t word_start = std::string_view::npos;
  std::size_t scalars = 0;
  while (i < name.size()) {
    std::size_t at = i;
    char32_t c = decode_utf8_at(name, i);
    if (is_unicode_space(c)) {
      if (word_start != std::string_view::npos)
        return std::string(name.substr(word_start, at - word_start));
      continue;
    }
    if (word_start == std::string_view::npos) word_start = at;
    if (++scalars > 32) return std::string(name.substr(word_start, at - word_start));
  }
  if (word_start == std::string_view::npos) return "Agent";
  return std::string(name.substr(word_start));
}

std::string answer_line(const protocol::JsonRpc& answer) {
  std::string line = protocol::serialize_jsonrpc(answer);
  if (line.size() > protocol::kMaxLineBytes - 1 && answer.id) {
    // The relay refuses lines over its cap and would end the agent's
    // connection; tell the agent instead.
    line = protocol::serialize_jsonrpc(
        protocol::JsonRpc::ok(*answer.id, tools::response_error(tools::kOversizeAnswer)));
  }
  return line;
}

BrowserClient::BrowserClient(std::shared_ptr<Runtime> runtime)
    : runtime_(std::move(runtime)), controller_(controller_name("Agent")) {}

BrowserClient::~BrowserClient() {
  if (runtime_->stopping.load(std::memory_order_acquire)) return;
  std::map<std::string, BrowserTask> tasks = std::exchange(tasks_, {});
  for (auto& [session_id, task] : tasks) {
    forget_session(session_id);
    (void)task.session.call_inner(protocol::kSessionStop, task.tab_id,
                                  protocol::json::Json{{"sessionId", session_id}});
  }
}

std::optional<protocol::JsonRpc> BrowserClient::handle(protocol::JsonRpc message) {
  if (message.is_notification()) return std::nullopt;
  protocol::json::Json id = std::move(*message.id);
  if (runtime_->stopping.load(std::memory_order_acquire)) {
    return protocol::JsonRpc::err(std::move(id), -32000, std::string(kStoppedMessage));
  }
  protocol::json::Json params =
      message.params ? std::move(*message.params) : protocol::json::Json(nullptr);
  const std::string method = message.method.value_or("");
  if (!message.method) {
    return protocol::JsonRpc::err(std::move(id), -32601, "Method not found");
  }
  if (method == "ping") return protocol::JsonRpc::ok(std::move(id), protocol::json::Json::object());
  if (method == "initialize") {
    if (params.is_object()) {
      auto info = params.find("clientInfo");
      if (info != params.end()) {
        if (const std::string* name = protocol::json::find_string(*info, "name")) {
          controller_ = controller_name(*name);
        }
      }
    }
    std::string_view version = kDefaultProtocolVersion;
    if (const std::string* asked = protocol::json::find_string(params, "protocolVersion")) {
      for (std::string_view known : kProtocolVersions) {
        if (*asked == known) version = known;
      }
    }
    return protocol::JsonRpc::ok(std::move(id), initialize_result(version));
  }
  if (method == "tools/list") {
    return protocol::JsonRpc::ok(std::move(id), protocol::json::Json{{"tools", tools::catalog()}});
  }
  if (method == "tools/call") {
    const std::string* name = protocol::json::find_string(params, "name");
    protocol::json::Json arguments = protocol::json::Json::object();
    if (params.is_object()) {
      auto it = params.find("arguments");
      if (it != params.end()) arguments = std::move(*it);
    }
    auto outcome = call(name ? *name : std::string(), std::move(arguments));
    protocol::json::Json result = !outcome ? tools::response_error(outcome.error())
                                  : outcome->verified_screenshot
                                      ? tools::response_image(std::move(outcome->value))
                                      : tools::response_value(std::move(outcome->value));
    return protocol::JsonRpc::ok(std::move(id), std::move(result));
  }
  return protocol::JsonRpc::err(std::move(id), -32601, "Method not found");
}

Result<ToolValue, std::string> BrowserClient::call(std::string_view name,
                                                   protocol::json::Json arguments) {
  auto parsed = tools::Tool::parse(name, arguments);
  if (!parsed) return Unexpected(std::move(parsed).error());
  auto& kind = parsed->kind;
  if (std::holds_alternative<tools::Tool::Tabs>(kind)) return call_tabs();
  if (std::holds_alternative<tools::Tool::Files>(kind)) return call_files();
  if (auto* start = std::get_if<tools::Tool::Start>(&kind)) {
    return call_start(start->tab_id, start->browser_id);
  }
  auto& page = std::get<tools::Tool::Page>(kind);
  return call_page(page.op, page.session_id, page.selection_id, std::move(arguments));
}

Result<ToolValue, std::string> BrowserClient::call_tabs() {
  protocol::json::Json entries = protocol::json::Json::array();
  for (const Browser& browser : runtime_->browsers()) {
    protocol::json::Json entry = {{"browser", browser.to_json()}};
    auto picked = runtime_->find_browser(browser.id);
    if (!picked) {
      entry["error"] = picked.error();
    } else if (auto tabs = picked->session.call_inner(protocol::kTabList, std::nullopt,
                                                      protocol::json::Json::object());
               tabs) {
      entry["tabs"] = std::move(*tabs);
    } else {
      entry["error"] = tabs.error().to_string();
    }
    entries.push_back(std::move(entry));
  }
  return ToolValue{protocol::json::Json{{"browsers", std::move(entries)}}};
}

Result<ToolValue, std::string> BrowserClient::call_files() {
  protocol::json::Json files = protocol::json::Json::array();
  {
    MutexLock lock(&runtime_->selections_mu);
    for (const auto& [selection_id, file] : runtime_->selections) {
      if (file.session_id && tasks_.count(*file.session_id) > 0) {
        files.push_back({{"name", file.name}, {"selectionId", selection_id}});
      }
    }
  }
  return ToolValue{protocol::json::Json{{"files", std::move(files)}}};
}

Result<ToolValue, std::string> BrowserClient::call_start(
    std::optional<std::int64_t> tab_id, const std::optional<std::string>& browser_id) {
  auto picked = runtime_->find_browser(browser_id);
  if (!picked) return Unexpected(std::move(picked).error());
  auto session_id = identifier();
  if (!session_id) return Unexpected(session_id.error().to_string());

  auto reply = picked->session.call_inner(
      protocol::kSessionStart, tab_id,
      protocol::json::Json{{"controller", {{"name", controller_}}}, {"sessionId", *session_id}});
  std::optional<std::string> failure;
  std::int64_t confirmed_tab = 0;
  if (!reply) {
    failure = reply.error().to_string();
  } else {
    const std::string* echoed = protocol::json::find_string(*reply, "sessionId");
    std::optional<std::int64_t> tab;
    if (reply->is_object()) {
      auto it = reply->find("tabId");
      // A tab that does not fit the bridge's signed tab id is no
      // confirmation: it could never address the tab again.
      if (it != reply->end() && protocol::json::as_u64(*it)) tab = protocol::json::as_i64(*it);
    }
    if (echoed == nullptr || *echoed != *session_id) {
      failure = std::string(kSessionIdNotConfirmed);
    } else if (!tab || (tab_id && *tab != *tab_id)) {
      failure = std::string(kTabNotConfirmed);
    } else {
      confirmed_tab = *tab;
    }
  }
  if (failure) {
    (void)picked->session.call_inner(protocol::kSessionStop, std::nullopt,
                                     protocol::json::Json{{"sessionId", *session_id}});
    return Unexpected(std::move(*failure));
  }

  tasks_.emplace(*session_id, BrowserTask{picked->session, confirmed_tab});
  {
    MutexLock lock(&runtime_->selections_mu);
    for (auto& [selection_id, file] : runtime_->selections) {
      if (!file.session_id) file.session_id = *session_id;
    }
  }
  return ToolValue{protocol::json::Json{
      {"browserId", picked->id}, {"sessionId", *session_id}, {"tabId", confirmed_tab}}};
}

Result<ToolValue, std::string> BrowserClient::call_page(
    std::string_view op, const std::string& session_id,
    const std::optional<std::string>& selection_id, protocol::json::Json arguments) {
  auto task_it = tasks_.find(session_id);
  if (task_it == tasks_.end()) return Unexpected(std::string(kNotYourSession));
  const BrowserTask task = task_it->second;

  if (selection_id) {
    MutexLock lock(&runtime_->selections_mu);
    auto it = runtime_->selections.find(*selection_id);
    if (it == runtime_->selections.end() || it->second.session_id != session_id) {
      return Unexpected(std::string(tools::kMissingSelection));
    }
    protocol::json::Json path = it->second.path;
    if (!is_valid_utf8(it->second.path)) return Unexpected(std::string(kUploadFailed));
    arguments["paths"] = protocol::json::Json::array({std::move(path)});
  }

  auto reply = task.session.call_inner(op, task.tab_id, std::move(arguments));
  if (op == protocol::kSessionStop) {
    tasks_.erase(session_id);
    forget_session(session_id);
  }
  if (!reply) return Unexpected(reply.error().to_string());
  if (op != protocol::kPageScreenshot) return ToolValue{std::move(*reply)};

  auto read_chunk =
      [&task](protocol::json::Json request) -> Result<protocol::json::Json, std::string> {
    auto chunk =
        task.session.call_inner(protocol::kPageScreenshotRead, task.tab_id, std::move(request));
    if (!chunk) return Unexpected(chunk.error().to_string());
    return std::move(*chunk);
  };
  auto verified = screenshot::receive(std::move(*reply), read_chunk, session_id);
  if (!verified) return Unexpected(std::move(verified).error());
  return ToolValue{std::move(*verified), true};
}

void BrowserClient::forget_session(const std::string& session_id) {
  std::vector<SelectedFile> removed;
  {
    MutexLock lock(&runtime_->selections_mu);
    for (auto it = runtime_->selections.begin(); it != runtime_->selections.end();) {
      if (it->second.session_id == session_id) {
        removed.push_back(std::move(it->second));
        it = runtime_->selections.erase(it);
      } else {
        ++it;
      }
    }
  }
  // The staging directories are deleted here, outside the lock.
}

}  // namespace velkor::broker
