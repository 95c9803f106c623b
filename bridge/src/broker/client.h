#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/version.h"
#include "broker/runtime.h"
#include "error/result.h"
#include "protocol/json.h"
#include "protocol/mcp.h"
#include "session/session.h"

namespace velkor::broker {

// A browser session an agent started: pinned to one tab of one browser.
struct BrowserTask {
  session::Session session;
  std::int64_t tab_id;
};

// What a tool call produced. Only the screenshot transfer's own result is
// marked verified; nothing an extension sends can set the mark.
struct ToolValue {
  protocol::json::Json value;
  bool verified_screenshot = false;
};

// One connected agent. Owned by its connection's thread and not
// thread-safe; it reaches shared state only through the Runtime's locks.
// Releasing it stops the browser sessions it still holds.
class BrowserClient {
 public:
  explicit BrowserClient(std::shared_ptr<Runtime> runtime);
  ~BrowserClient();
  BrowserClient(const BrowserClient&) = delete;
  BrowserClient& operator=(const BrowserClient&) = delete;

  // Answers one MCP message: nothing for a notification, else one answer.
  std::optional<protocol::JsonRpc> handle(protocol::JsonRpc message);

  // Runs one tool call; an error is a text for the agent.
  Result<ToolValue, std::string> call(std::string_view name, protocol::json::Json arguments);

  // Drops the broker-wide traces of one session: the upload selections
  // bound to it.
  void forget_session(const std::string& session_id);

  const std::string& controller() const { return controller_; }

 private:
  Result<ToolValue, std::string> call_tabs();
  Result<ToolValue, std::string> call_files();
  Result<ToolValue, std::string> call_start(std::optional<std::int64_t> tab_id,
                                            const std::optional<std::string>& browser_id);
  Result<ToolValue, std::string> call_page(std::string_view op, const std::string& session_id,
                                           const std::optional<std::string>& selection_id,
                                           protocol::json::Json arguments);

  const std::shared_ptr<Runtime> runtime_;
  std::string controller_;
  std::map<std::string, BrowserTask> tasks_;
};

// The display name sent to the extension for an agent's client name.
std::string controller_name(std::string_view name);

// Serialised answer line, with an oversized tool result replaced by a short
// error result so that no answer exceeds what the relay accepts.
std::string answer_line(const protocol::JsonRpc& answer);

inline constexpr std::string_view kServerName = "velkor-computer-use";
inline constexpr std::string_view kServerTitle = "Velkor Computer Use";
inline constexpr std::string_view kServerVersion = kProjectVersion;
inline constexpr std::string_view kDefaultProtocolVersion = "2025-06-18";
inline constexpr std::string_view kStoppedMessage = "Velkor Computer Use остановлен.";
inline constexpr std::string_view kInstructions =
    "Velkor Computer Use работает в выбранных пользователем вкладках. Сначала вызовите "
    "browser_tabs и закрепите сессию через browser_start. После смены документа получите "
    "свежий снимок элементов. Для загрузки используйте только selectionId из browser_files.";
inline constexpr std::string_view kSessionIdNotConfirmed =
    "Расширение не подтвердило идентификатор сессии.";
inline constexpr std::string_view kTabNotConfirmed = "Расширение не подтвердило выбранную вкладку.";
inline constexpr std::string_view kNotYourSession = "Сессия не принадлежит этому клиенту.";
inline constexpr std::string_view kUploadFailed = "Не удалось передать выбранный файл.";

}  // namespace velkor::broker
