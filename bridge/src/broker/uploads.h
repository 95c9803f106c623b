#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "error/result.h"

namespace velkor::broker {

// A staging directory that is removed, with everything in it, when its
// owner lets go of it. Move-only.
class StagingDir {
 public:
  StagingDir() = default;
  explicit StagingDir(std::string path) : path_(std::move(path)) {}
  StagingDir(StagingDir&& other) noexcept : path_(std::exchange(other.path_, {})) {}
  StagingDir& operator=(StagingDir&& other) noexcept;
  StagingDir(const StagingDir&) = delete;
  StagingDir& operator=(const StagingDir&) = delete;
  ~StagingDir() { remove(); }

  const std::string& path() const { return path_; }

 private:
  void remove();
  std::string path_;
};

// A file the user chose for upload, staged as a private snapshot copy.
struct SelectedFile {
  std::string path;                       // the staged copy: staging_dir joined with name
  std::string name;                       // last component of the path the user gave
  std::optional<std::string> session_id;  // none until a session starts
  StagingDir staging_dir;
};

// Copies the file at `source` into a fresh "selected-XXXXXX" directory of
// `runtime_dir`, as a selection no session holds yet. The directory is 0700
// and the copy 0600 whatever the umask: the runtime directory's parent may be
// readable by others. Opening never blocks, so a named pipe is refused
// instead of hanging the caller.
Result<SelectedFile> stage_file(const std::string& runtime_dir, std::string_view source);

// The last component of `path`, or nullopt for the root, a path ending in
// "..", or an empty one.
std::optional<std::string> last_component(std::string_view path);

// Removes "selected-" directories that a broker killed earlier left behind.
// Only called while holding the directory's owner lock.
void remove_stale_selections(const std::string& runtime_dir);

inline constexpr std::string_view kSelectionPrefix = "selected-";

}  // namespace velkor::broker
