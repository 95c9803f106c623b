#pragma once

#include <string>
#include <string_view>

#include "error/result.h"
#include "protocol/stream.h"

namespace velkor::manifest {

// Fixed members of the native-messaging host manifest.
inline constexpr std::string_view kHostName = "velkor.computer_use";
inline constexpr std::string_view kDescription = "Velkor Computer Use";
inline constexpr std::string_view kType = "stdio";
inline constexpr std::string_view kOriginPrefix = "chrome-extension://";

// The manifest that lets Chrome start this executable as a native host for
// one extension. A plain value; thread-compatible.
struct NativeHostManifest {
  // Canonical absolute path of the executable (raw bytes).
  std::string path;
  // "chrome-extension://" + extension ID + "/".
  std::string origin;

  // Checks, in this order: the ID (32 bytes, each 'a'..'p'), that the path
  // is absolute, that it canonicalises (the OS error otherwise), and that
  // the result is a regular file. Execute permission is not checked.
  static Result<NativeHostManifest> create(std::string_view executable_path,
                                           std::string_view extension_id);

  // Writes the pretty manifest with its final line feed. A path that is not
  // valid UTF-8 fails with kInvalidData after the lines before "path" were
  // written; a failing sink leaves whatever it accepted.
  Result<void> write_pretty(protocol::Sink& out) const;

  // The whole text of write_pretty, or its error (without the partial text).
  Result<std::string> to_pretty_json() const;
};

}  // namespace velkor::manifest
