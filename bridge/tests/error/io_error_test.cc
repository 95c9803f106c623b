#include "error/io_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace velkor::error {
namespace {

// The text is what users read in logs and on standard error: the message
// when there is one, else the OS's words for errno, else the kind's.
TEST(IoErrorTest, PrintsMessageElseOsErrorElseKind) {
  const struct {
    IoError error;
    ErrorKind kind;
    std::string text;
  } cases[] = {
      {IoError(ErrorKind::kOther, "getentropy: no entropy"), ErrorKind::kOther,
       "getentropy: no entropy"},
      {IoError(ErrorKind::kTimedOut, ""), ErrorKind::kTimedOut, ""},
      {IoError::from_errno(EPIPE), ErrorKind::kBrokenPipe, "Broken pipe (os error 32)"},
      {IoError::from_errno(EAGAIN), ErrorKind::kWouldBlock,
       "Resource temporarily unavailable (os error 11)"},
      {IoError::from_errno(EMFILE), ErrorKind::kOther, "Too many open files (os error 24)"},
      {IoError(ErrorKind::kTimedOut), ErrorKind::kTimedOut, "timed out"},
      {IoError(), ErrorKind::kOther, "other error"},
      // The broker's accept loop stops on this kind and prints its text.
      {IoError(ErrorKind::kSpawnFailed), ErrorKind::kSpawnFailed, "failed to spawn thread"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.error.kind(), c.kind) << c.text;
    EXPECT_EQ(c.error.to_string(), c.text);
  }
}

// No errno may pass for a failed thread start: a hello that fails to read
// would otherwise stop the broker's accept loop.
TEST(IoErrorTest, NoErrnoMapsToSpawnFailed) {
  for (int err = 0; err < 4096; ++err) {
    EXPECT_NE(kind_from_errno(err), ErrorKind::kSpawnFailed) << err;
  }
}

}  // namespace
}  // namespace velkor::error
