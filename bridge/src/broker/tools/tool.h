#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "error/result.h"
#include "protocol/json.h"

namespace velkor::broker::tools {

// The texts a rejected call is answered with.
inline constexpr std::string_view kArgumentsNotObject = "Ожидался объект параметров.";
inline constexpr std::string_view kUnknownTool = "Неизвестный инструмент.";
inline constexpr std::string_view kUnknownArgument = "Неизвестный параметр инструмента.";
inline constexpr std::string_view kMissingSessionId = "Укажите идентификатор сессии.";
inline constexpr std::string_view kMissingSelection = "Выберите файл в приложении Велкора.";
inline constexpr std::string_view kInvalidBrowserOrTab = "Укажите корректный браузер и вкладку.";

// Largest tab id the broker passes on (2^31 - 1).
inline constexpr std::int64_t kMaxTabId = 2147483647;

// One tool call, checked only as far as the broker itself needs: every other
// argument travels to the extension unexamined.
struct Tool {
  // "browser_tabs".
  struct Tabs {
    bool operator==(const Tabs&) const = default;
  };
  // "browser_files".
  struct Files {
    bool operator==(const Files&) const = default;
  };
  // "browser_start". Each field is set only when its argument was given;
  // choosing defaults is up to the caller.
  struct Start {
    std::optional<std::int64_t> tab_id;     // within 0..kMaxTabId
    std::optional<std::string> browser_id;  // never empty
    bool operator==(const Start&) const = default;
  };
  // Every other tool: one bridge operation in an existing browser session.
  struct Page {
    std::string_view op;                      // a protocol operation name; static storage
    std::string session_id;                   // never empty
    std::optional<std::string> selection_id;  // set for "browser_upload" only, never empty
    bool operator==(const Page&) const = default;
  };

  std::variant<Tabs, Files, Start, Page> kind;

  // Parses a "tools/call" by its tool name and arguments. The checks run in a
  // fixed order and the first failure decides the text: arguments not an
  // object, unknown name, an argument name the tool does not list, then the
  // values the broker reads ("browser_start"'s browser and tab, the session
  // id, the upload's selection id). Pure; keeps no reference to its inputs.
  static Result<Tool, std::string> parse(std::string_view name,
                                         const protocol::json::Json& arguments);
};

}  // namespace velkor::broker::tools
