#include "ipc/runtime_dir.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "ipc/names.h"
#include "ipc/path.h"

namespace velkor::ipc {
namespace {

// mkdir -p. Whatever already exists at `dir` is accepted here; the caller
// examines it, so that a file or a symbolic link there is reported as such
// rather than as "File exists".
Result<void> create_dir_all(const std::string& dir) {
  if (dir.empty()) return {};
  if (::mkdir(dir.c_str(), 0777) == 0) return {};
  int err = errno;
  if (err == EEXIST) return {};
  if (err != ENOENT) return Unexpected(IoError::from_errno(err));

  auto parent = parent_dir(dir);
  if (!parent) return Unexpected(IoError::from_errno(err));
  if (auto r = create_dir_all(*parent); !r) return r;
  if (::mkdir(dir.c_str(), 0777) == 0) return {};
  err = errno;
  // Another process may have created it meanwhile.
  if (err == EEXIST) return {};
  return Unexpected(IoError::from_errno(err));
}

}  // namespace

Result<UniqueFd> prepare_runtime_dir(const std::string& dir) {
  if (auto r = create_dir_all(dir); !r) return Unexpected(std::move(r).error());

  struct stat st;
  if (::lstat(dir.c_str(), &st) != 0) {
    int err = errno;
    return Unexpected(IoError::from_errno(err));
  }
  if (!S_ISDIR(st.st_mode)) {
    return Unexpected(IoError(ErrorKind::kOther, "browser runtime path must be a directory"));
  }
  if (st.st_uid != ::geteuid()) return Unexpected(IoError(ErrorKind::kPermissionDenied));
  // Every time, so that a directory loosened by hand is closed again.
  if (::chmod(dir.c_str(), 0700) != 0) {
    int err = errno;
    return Unexpected(IoError::from_errno(err));
  }

  std::string guard = join_path(dir, kOwnerLockName);
  // No O_TRUNC: the guard's content is not ours to reset while another
  // broker may hold it.
  int raw = ::open(guard.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (raw < 0) {
    int err = errno;
    return Unexpected(IoError::from_errno(err));
  }
  UniqueFd fd(raw);

  for (;;) {
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) return fd;
    int err = errno;
    if (err == EINTR) continue;
    if (err == EWOULDBLOCK) return Unexpected(IoError(ErrorKind::kWouldBlock));
    return Unexpected(IoError::from_errno(err));
  }
}

}  // namespace velkor::ipc
