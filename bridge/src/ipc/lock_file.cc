#include "ipc/lock_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <utility>

#include "base/utf8.h"
#include "ipc/fd.h"
#include "ipc/names.h"
#include "ipc/path.h"
#include "ipc/random.h"
#include "protocol/json.h"

namespace velkor::ipc {
namespace {

using protocol::json::Json;

IoError invalid(std::string message) {
  return IoError(ErrorKind::kInvalidData, std::move(message));
}

std::string quoted(std::string_view field) {
  // Appended piecewise: g++ 12 at -O2 warns falsely (-Wrestrict) about
  // "literal" + std::string.
  std::string out;
  out.reserve(field.size() + 2);
  out += '"';
  out += field;
  out += '"';
  return out;
}

Result<uint16_t> to_port(const Json& v) {
  auto n = protocol::json::as_u64(v);
  if (!n || *n > UINT16_MAX) {
    return Unexpected(invalid("invalid value for \"port\": expected an integer from 0 to 65535"));
  }
  return static_cast<uint16_t>(*n);
}

Result<std::string> to_secret(const Json& v) {
  if (!v.is_string()) return Unexpected(invalid("invalid value for \"secret\": expected a string"));
  return v.get<std::string>();
}

Result<uint32_t> to_pid(const Json& v) {
  auto n = protocol::json::as_u64(v);
  if (!n || *n > UINT32_MAX) {
    return Unexpected(
        invalid("invalid value for \"pid\": expected an integer from 0 to 4294967295"));
  }
  return static_cast<uint32_t>(*n);
}

Result<LockFile> from_values(const Json& port, const Json& secret, const Json& pid) {
  LockFile out;
  auto p = to_port(port);
  if (!p) return Unexpected(std::move(p).error());
  auto s = to_secret(secret);
  if (!s) return Unexpected(std::move(s).error());
  auto n = to_pid(pid);
  if (!n) return Unexpected(std::move(n).error());
  out.port = *p;
  out.secret = std::move(*s);
  out.pid = *n;
  return out;
}

// A temporary file that is unlinked unless it was renamed into place.
class TempFile {
 public:
  TempFile(std::string path, UniqueFd fd) : path_(std::move(path)), fd_(std::move(fd)) {}
  TempFile(TempFile&& other) noexcept
      : path_(std::move(other.path_)),
        fd_(std::move(other.fd_)),
        committed_(std::exchange(other.committed_, true)) {}
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  TempFile& operator=(TempFile&&) = delete;
  ~TempFile() {
    fd_.reset();
    if (!committed_) ::unlink(path_.c_str());
  }

  int fd() const { return fd_.get(); }

  Result<void> commit_as(const std::string& target) {
    // Closing before the rename is safe: the data is already synced.
    fd_.reset();
    if (::rename(path_.c_str(), target.c_str()) != 0) {
      int err = errno;
      return Unexpected(IoError::from_errno(err));
    }
    committed_ = true;
    return {};
  }

 private:
  std::string path_;
  UniqueFd fd_;
  bool committed_ = false;
};

Result<TempFile> create_temp_in(const std::string& dir) {
  for (int attempt = 0; attempt < LockFile::kMaxTempAttempts; ++attempt) {
    auto suffix = random_alnum(6);
    if (!suffix) return Unexpected(std::move(suffix).error());
    std::string path = join_path(dir, std::string(kTempPrefix) + *suffix);
    int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0) {
      int err = errno;
      if (err == EEXIST) continue;
      return Unexpected(IoError::from_errno(err));
    }
    TempFile file(std::move(path), UniqueFd(fd));
    // The umask may have stripped bits from 0600; the file must be exactly
    // 0600 for readers, which refuse anything else and need the owner's
    // read bit.
    if (::fchmod(file.fd(), 0600) != 0) {
      int err = errno;
      return Unexpected(IoError::from_errno(err));
    }
    return file;
  }
  return Unexpected(IoError(ErrorKind::kAlreadyExists, "too many temporary files exist"));
}

bool is_text(const char* value) { return value != nullptr && is_valid_utf8(value); }

}  // namespace

std::string LockFile::path() {
  return path_from(std::getenv(kRuntimeDirEnv), std::getenv(kXdgRuntimeDirEnv),
                   std::getenv(kHomeEnv));
}

std::string LockFile::path_from(const char* runtime_env, const char* xdg_env,
                                const char* home_env) {
  std::string dir;
  if (runtime_env != nullptr) {
    dir = join_path(runtime_env, kRuntimeDirName);
  } else if (is_text(xdg_env)) {
    dir = join_path(xdg_env, kRuntimeDirName);
  } else {
    std::string_view home = is_text(home_env) ? std::string_view(home_env) : kFallbackHome;
    dir = join_path(join_path(home, kHomeRuntimeBase), kRuntimeDirName);
  }
  return join_path(dir, kRunLockName);
}

Result<std::optional<LockFile>> LockFile::read() { return read_at(path()); }

Result<std::optional<LockFile>> LockFile::read_at(const std::string& path) {
  int raw = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (raw < 0) {
    int err = errno;
    if (err == ENOENT) return std::optional<LockFile>();
    return Unexpected(IoError::from_errno(err));
  }
  UniqueFd fd(raw);

  struct stat st;
  if (::fstat(fd.get(), &st) != 0) {
    int err = errno;
    return Unexpected(IoError::from_errno(err));
  }
  if (!S_ISREG(st.st_mode)) return Unexpected(IoError(ErrorKind::kInvalidData));
  if (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
    return Unexpected(IoError(ErrorKind::kPermissionDenied));
  }

  // One byte past the limit tells an oversized file from one that fits.
  std::array<char, kMaxBytes + 1> buf;
  std::size_t got = 0;
  while (got < buf.size()) {
    ssize_t n = ::read(fd.get(), buf.data() + got, buf.size() - got);
    if (n < 0) {
      int err = errno;
      if (err == EINTR) continue;
      return Unexpected(IoError::from_errno(err));
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got > kMaxBytes) return Unexpected(IoError(ErrorKind::kInvalidData));

  auto parsed = parse(std::string_view(buf.data(), got));
  if (!parsed) return Unexpected(std::move(parsed).error());
  return std::optional<LockFile>(std::move(*parsed));
}

Result<void> LockFile::write_at(const std::string& path) const {
  auto dir = parent_dir(path);
  if (!dir) return Unexpected(IoError(ErrorKind::kInvalidInput));

  auto temp = create_temp_in(*dir);
  if (!temp) return Unexpected(std::move(temp).error());
  if (auto w = write_all_fd(temp->fd(), serialize()); !w) return w;
  if (::fsync(temp->fd()) != 0) {
    int err = errno;
    return Unexpected(IoError::from_errno(err));
  }
  return temp->commit_as(path);
}

std::string LockFile::serialize() const {
  // Field order is the record's declaration order, which a JSON object
  // (ordered by key) would not keep.
  std::string out = "{\"port\":";
  out += std::to_string(port);
  out += ",\"secret\":";
  protocol::json::dump_to(out, Json(secret));
  out += ",\"pid\":";
  out += std::to_string(pid);
  out += '}';
  return out;
}

Result<LockFile> LockFile::parse(std::string_view bytes) {
  auto parsed = protocol::json::parse(bytes);
  if (!parsed) return Unexpected(std::move(parsed).error());
  const Json& v = parsed->value;

  if (v.is_array()) {
    if (v.size() != 3) {
      return Unexpected(
          invalid("expected an array of 3 elements, found " + std::to_string(v.size())));
    }
    return from_values(v[0], v[1], v[2]);
  }
  if (!v.is_object()) return Unexpected(invalid("expected a lock-file object"));

  static constexpr std::array<std::string_view, 3> kFields = {"port", "secret", "pid"};
  for (std::string_view field : kFields) {
    for (const std::string& dup : parsed->duplicate_top_keys) {
      if (dup == field) return Unexpected(invalid("duplicate field " + quoted(field)));
    }
  }
  std::array<const Json*, 3> values{};
  for (std::size_t i = 0; i < kFields.size(); ++i) {
    auto it = v.find(kFields[i]);
    if (it == v.end()) return Unexpected(invalid("missing field " + quoted(kFields[i])));
    values[i] = &*it;
  }
  return from_values(*values[0], *values[1], *values[2]);
}

}  // namespace velkor::ipc
