#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velkor::ipc {

// Paths are raw bytes, never assumed to be text. Both helpers follow the
// ordinary component rules rather than touching the file system.

// `base` + "/" + `name`, adding the slash only when `base` is non-empty and
// does not already end in one; an empty base yields `name` unchanged, so
// the result is relative. An absolute `name` replaces `base`.
std::string join_path(std::string_view base, std::string_view name);

// The directory that holds the last component of `path`:
//   "a/b" -> "a", "a//b/" -> "a", "/a" -> "/", "run.lock" -> "" (the
//   current directory, which callers may pass to join_path as it is).
// The root "/" and the empty path have no parent: nullopt.
std::optional<std::string> parent_dir(std::string_view path);

}  // namespace velkor::ipc
