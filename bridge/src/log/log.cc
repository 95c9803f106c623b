#include "log/log.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/mutex.h"
#include "base/utf8.h"

namespace velkor::log {
namespace {

Mutex& stderr_mutex() {
  static Mutex mu;
  return mu;
}

}  // namespace

std::string_view level_name(Level level) {
  switch (level) {
    case Level::kError:
      return "ERROR";
    case Level::kWarn:
      return "WARN";
    case Level::kInfo:
      return "INFO";
    case Level::kDebug:
      return "DEBUG";
  }
  return "INFO";
}

Level parse_threshold(const char* value) {
  if (value == nullptr || !is_valid_utf8(value)) return Level::kInfo;
  std::string_view v(value);
  if (v == "error" || v == "ERROR") return Level::kError;
  if (v == "warn" || v == "WARN") return Level::kWarn;
  if (v == "debug" || v == "DEBUG") return Level::kDebug;
  return Level::kInfo;
}

Level threshold() {
  // A function-local static is the one-time initialisation: concurrent first
  // callers wait for the one that reads the environment.
  static const Level level = parse_threshold(std::getenv("VELKOR_COMPUTER_USE_LOG"));
  return level;
}

void write_line(Level level, std::string_view tag, std::string_view message) {
  std::string line;
  line.reserve(message.size() + tag.size() + 12);
  line += '[';
  line += level_name(level);
  line += "] [";
  line += tag;
  line += "] ";
  line += message;
  line += '\n';
  MutexLock lock(&stderr_mutex());
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0 && errno == EINTR) continue;
    // A closed or broken standard error drops the line; logging never fails
    // its caller.
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace velkor::log
