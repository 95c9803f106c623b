#include "broker/uploads.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <vector>

#include "base/utf8.h"
#include "ipc/fd.h"
#include "ipc/path.h"
#include "ipc/random.h"

namespace velkor::broker {
namespace {

constexpr int kMaxNameAttempts = 65536;

Result<void> copy_all(int from, int to) {
  std::vector<char> buf(1 << 16);
  for (;;) {
    ssize_t n = ::read(from, buf.data(), buf.size());
    if (n < 0) {
      int err = errno;
      if (err == EINTR) continue;
      return Unexpected(IoError::from_errno(err));
    }
    if (n == 0) return {};
    if (auto w = ipc::write_all_fd(to, std::string_view(buf.data(), static_cast<std::size_t>(n)));
        !w) {
      return w;
    }
  }
}

}  // namespace

StagingDir& StagingDir::operator=(StagingDir&& other) noexcept {
  if (this != &other) {
    remove();
    path_ = std::exchange(other.path_, {});
  }
  return *this;
}

void StagingDir::remove() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);  // a failure to delete is ignored
  path_.clear();
}

std::optional<std::string> last_component(std::string_view path) {
  std::string_view last;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    std::string_view part = path.substr(
        start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    if (!part.empty() && part != ".") last = part;
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  if (last.empty() || last == "..") return std::nullopt;
  return std::string(last);
}

Result<SelectedFile> stage_file(const std::string& runtime_dir, std::string_view source) {
  auto name = last_component(source);
  if (!name || !is_valid_utf8(*name)) return Unexpected(IoError(ErrorKind::kInvalidInput));

  std::string source_path(source);
  ipc::UniqueFd in(::open(source_path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!in) return Unexpected(IoError::from_errno(errno));
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) return Unexpected(IoError::from_errno(errno));
  if (!S_ISREG(st.st_mode)) return Unexpected(IoError(ErrorKind::kOther, "select a regular file"));
  int flags = ::fcntl(in.get(), F_GETFL);
  if (flags < 0 || ::fcntl(in.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return Unexpected(IoError::from_errno(errno));
  }

  StagingDir staging;
  for (int attempt = 0;; ++attempt) {
    if (attempt == kMaxNameAttempts) {
      return Unexpected(IoError(ErrorKind::kAlreadyExists, "too many temporary files exist"));
    }
    auto suffix = ipc::random_alnum(6);
    if (!suffix) return Unexpected(std::move(suffix).error());
    std::string dir = ipc::join_path(runtime_dir, std::string(kSelectionPrefix) + *suffix);
    if (::mkdir(dir.c_str(), 0700) == 0) {
      staging = StagingDir(dir);
      break;
    }
    int err = errno;
    if (err != EEXIST) return Unexpected(IoError::from_errno(err));
  }
  if (::chmod(staging.path().c_str(), 0700) != 0) return Unexpected(IoError::from_errno(errno));

  std::string copy_path = ipc::join_path(staging.path(), *name);
  ipc::UniqueFd out(::open(copy_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!out) return Unexpected(IoError::from_errno(errno));
  if (::fchmod(out.get(), 0600) != 0) return Unexpected(IoError::from_errno(errno));
  if (auto c = copy_all(in.get(), out.get()); !c) return Unexpected(c.error());
  return SelectedFile{std::move(copy_path), std::move(*name), std::nullopt, std::move(staging)};
}

void remove_stale_selections(const std::string& runtime_dir) {
  std::error_code ec;
  // The error_code forms throughout: a vanished entry must not throw.
  std::filesystem::directory_iterator it(runtime_dir.empty() ? "." : runtime_dir, ec);
  for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    const std::filesystem::path& path = it->path();
    if (path.filename().native().rfind(kSelectionPrefix, 0) != 0) continue;
    std::error_code entry_ec;
    if (it->is_symlink(entry_ec) || !it->is_directory(entry_ec)) continue;
    std::filesystem::remove_all(path, entry_ec);
  }
}

}  // namespace velkor::broker
