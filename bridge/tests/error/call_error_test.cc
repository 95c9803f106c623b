#include "error/call_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>

namespace velkor::error {
namespace {

TEST(CallErrorTest, TextsShownToAgents) {
  using std::chrono::seconds;
  const struct {
    CallError error;
    CallError::Kind kind;
    std::string text;
  } cases[] = {
      {CallError::not_connected(), CallError::Kind::kNotConnected,
       "browser extension not connected. Most likely its service worker is asleep \xE2\x80\x94 "
       "Chrome stops it after ~30s idle. Retry this call once (the extension re-checks every "
       "30s); if it still fails, ask the user to click the Tabvine toolbar icon, and to confirm "
       "the extension is loaded and enabled."},
      {CallError::write_failed(IoError::from_errno(EPIPE)), CallError::Kind::kWriteFailed,
       "write to extension failed: Broken pipe (os error 32)"},
      {CallError::write_failed(IoError(ErrorKind::kTimedOut)), CallError::Kind::kWriteFailed,
       "write to extension failed: timed out"},
      {CallError::timeout(seconds(120)), CallError::Kind::kTimeout,
       "extension did not respond within 120s"},
      {CallError::timeout(seconds(3)), CallError::Kind::kTimeout,
       "extension did not respond within 3s"},
      {CallError::connection_lost(), CallError::Kind::kConnectionLost,
       "extension connection lost while waiting for response"},
      {CallError::extension("tab 4 is gone"), CallError::Kind::kExtension, "tab 4 is gone"},
      {CallError::extension(""), CallError::Kind::kExtension, ""},
      {CallError::extension_or_unknown("no such ref"), CallError::Kind::kExtension, "no such ref"},
      {CallError::extension_or_unknown(std::nullopt), CallError::Kind::kExtension, "unknown error"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.kind(), c.kind) << c.text;
    EXPECT_EQ(c.error.to_string(), c.text);
  }
}

}  // namespace
}  // namespace velkor::error
