#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error/result.h"

namespace velkor::ipc {

// The broker's rendezvous record, stored as "run.lock" in the runtime
// directory: where it listens, the secret clients must present, and its
// process id (informational only). A plain value; thread-compatible.
struct LockFile {
  // The file may hold at most this many bytes.
  static constexpr std::size_t kMaxBytes = 1024;
  // Temporary names are drawn this often before giving up.
  static constexpr int kMaxTempAttempts = 65536;

  uint16_t port = 0;
  std::string secret;
  uint32_t pid = 0;

  // Where "run.lock" lives according to this process's environment. Never
  // fails; relative only when the chosen base is relative or empty.
  static std::string path();
  // The same rule on explicit values; nullptr means the variable is unset.
  // Values are raw bytes: the runtime-dir override is taken whatever it
  // holds, XDG_RUNTIME_DIR and HOME only when they are valid UTF-8.
  static std::string path_from(const char* runtime_env, const char* xdg_env, const char* home_env);

  // read_at(path()).
  static Result<std::optional<LockFile>> read();
  // nullopt when nothing exists at `path`. A symbolic link, a non-regular
  // file (opened without blocking, so a FIFO cannot hang the caller), a
  // file that group or others may access or another user owns, and one
  // larger than kMaxBytes are refused.
  static Result<std::optional<LockFile>> read_at(const std::string& path);

  // Replaces `path` atomically: a reader sees the old file, the new one, or
  // none. On failure the temporary file is removed and any old file stays.
  Result<void> write_at(const std::string& path) const;

  // {"port":P,"secret":"S","pid":N}, compact, no trailing newline.
  std::string serialize() const;
  // An object with the three members in any order (others ignored, none of
  // the three twice), or the array [port, secret, pid].
  static Result<LockFile> parse(std::string_view bytes);

  bool operator==(const LockFile&) const = default;
};

}  // namespace velkor::ipc
