#include "manifest/manifest.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>

#include "base/utf8.h"
#include "protocol/json.h"

namespace velkor::manifest {
namespace {

constexpr std::size_t kExtensionIdLength = 32;

bool is_extension_id(std::string_view id) {
  if (id.size() != kExtensionIdLength) return false;
  for (char c : id) {
    if (c < 'a' || c > 'p') return false;
  }
  return true;
}

IoError invalid_input(const char* message) { return IoError(ErrorKind::kInvalidInput, message); }

std::string json_string(std::string_view s) {
  return protocol::json::dump(protocol::json::Json(std::string(s)));
}

}  // namespace

Result<NativeHostManifest> NativeHostManifest::create(std::string_view executable_path,
                                                      std::string_view extension_id) {
  if (!is_extension_id(extension_id)) {
    return Unexpected(invalid_input("invalid Chrome extension ID"));
  }
  if (executable_path.empty() || executable_path.front() != '/') {
    return Unexpected(invalid_input("expected an absolute helper path"));
  }
  // A C string would silently end at the NUL and name another file.
  if (executable_path.find('\0') != std::string_view::npos) {
    return Unexpected(invalid_input("path contains a NUL byte"));
  }
  std::unique_ptr<char, decltype(&::free)> resolved(
      ::realpath(std::string(executable_path).c_str(), nullptr), &::free);
  if (!resolved) {
    int err = errno;
    return Unexpected(IoError::from_errno(err));
  }
  struct stat st;
  if (::stat(resolved.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return Unexpected(invalid_input("expected a helper executable"));
  }

  NativeHostManifest out;
  out.path = resolved.get();
  out.origin = std::string(kOriginPrefix) + std::string(extension_id) + "/";
  return out;
}

Result<void> NativeHostManifest::write_pretty(protocol::Sink& out) const {
  std::string head = "{\n  \"name\": " + json_string(kHostName) +
                     ",\n  \"description\": " + json_string(kDescription) + ",\n";
  if (auto r = out.write_all(head); !r) return r;
  // The check sits here, not in create(), so that the lines before "path"
  // are written first, as a streaming serialiser would have done.
  if (!is_valid_utf8(path)) {
    return Unexpected(IoError(ErrorKind::kInvalidData, "path contains invalid UTF-8 characters"));
  }
  std::string tail = "  \"path\": " + json_string(path) + ",\n  \"type\": " + json_string(kType) +
                     ",\n  \"allowed_origins\": [\n    " + json_string(origin) + "\n  ]\n}\n";
  return out.write_all(tail);
}

Result<std::string> NativeHostManifest::to_pretty_json() const {
  protocol::StringSink sink;
  if (auto r = write_pretty(sink); !r) return Unexpected(std::move(r).error());
  return sink.data();
}

}  // namespace velkor::manifest
