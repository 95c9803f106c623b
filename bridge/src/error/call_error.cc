#include "error/call_error.h"

#include <utility>

namespace velkor::error {

CallError CallError::not_connected() { return CallError(Kind::kNotConnected); }

CallError CallError::write_failed(IoError error) {
  CallError e(Kind::kWriteFailed);
  e.write_error_ = std::move(error);
  return e;
}

CallError CallError::timeout(std::chrono::seconds waited) {
  CallError e(Kind::kTimeout);
  e.waited_ = waited;
  return e;
}

CallError CallError::connection_lost() { return CallError(Kind::kConnectionLost); }

CallError CallError::extension(std::string text) {
  CallError e(Kind::kExtension);
  e.text_ = std::move(text);
  return e;
}

CallError CallError::extension_or_unknown(std::optional<std::string> text) {
  return extension(text ? std::move(*text) : std::string("unknown error"));
}

std::string CallError::to_string() const {
  switch (kind_) {
    case Kind::kNotConnected:
      // The service worker's idle shutdown is the usual cause, so the text
      // tells the agent to retry before it bothers the user.
      return "browser extension not connected. Most likely its service worker is asleep \u2014 "
             "Chrome stops it after ~30s idle. Retry this call once (the extension re-checks "
             "every 30s); if it still fails, ask the user to click the Tabvine toolbar icon, and "
             "to confirm the extension is loaded and enabled.";
    case Kind::kWriteFailed:
      return "write to extension failed: " + write_error_.to_string();
    case Kind::kTimeout:
      return "extension did not respond within " + std::to_string(waited_.count()) + "s";
    case Kind::kConnectionLost:
      return "extension connection lost while waiting for response";
    case Kind::kExtension:
      return text_;
  }
  return text_;
}

}  // namespace velkor::error
