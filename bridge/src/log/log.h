#pragma once

#include <sstream>
#include <string>
#include <string_view>

namespace velkor::log {

enum class Level { kError = 0, kWarn = 1, kInfo = 2, kDebug = 3 };

std::string_view level_name(Level level);

// The process-wide threshold, decided from VELKOR_COMPUTER_USE_LOG on the
// first call and fixed afterwards.
Level threshold();

// Decides a threshold from a variable's value (nullptr when unset).
Level parse_threshold(const char* value);

inline bool enabled(Level level) {
  return static_cast<int>(level) <= static_cast<int>(threshold());
}

// Writes "[LEVEL] [tag] message\n" to standard error under one lock.
// Never fails towards the caller.
void write_line(Level level, std::string_view tag, std::string_view message);

namespace detail {
template <typename T, typename... Rest>
void format_into(std::string& out, std::string_view fmt, const T& first, const Rest&... rest) {
  auto pos = fmt.find("{}");
  if (pos == std::string_view::npos) {
    out.append(fmt);
    return;
  }
  out.append(fmt.substr(0, pos));
  std::ostringstream os;
  os << first;
  out += os.str();
  if constexpr (sizeof...(rest) > 0) {
    format_into(out, fmt.substr(pos + 2), rest...);
  } else {
    out.append(fmt.substr(pos + 2));
  }
}
}  // namespace detail

// Fills each "{}" of `fmt` in order with the plain text of an argument.
template <typename... Args>
std::string format(std::string_view fmt, const Args&... args) {
  std::string out;
  if constexpr (sizeof...(args) == 0) {
    out.append(fmt);
  } else {
    detail::format_into(out, fmt, args...);
  }
  return out;
}

// Formats and writes a line only when its level passes the threshold, so a
// suppressed line costs one comparison.
template <typename... Args>
void emit(Level level, std::string_view tag, std::string_view fmt, const Args&... args) {
  if (!enabled(level)) return;
  write_line(level, tag, format(fmt, args...));
}

}  // namespace velkor::log
