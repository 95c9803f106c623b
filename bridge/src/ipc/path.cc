#include "ipc/path.h"

namespace velkor::ipc {

std::string join_path(std::string_view base, std::string_view name) {
  if (!name.empty() && name.front() == '/') return std::string(name);
  std::string out(base);
  if (!out.empty() && out.back() != '/') out += '/';
  out += name;
  return out;
}

std::optional<std::string> parent_dir(std::string_view path) {
  // Trailing slashes do not start a new component: "a/b/" names "b".
  auto last = path.find_last_not_of('/');
  if (last == std::string_view::npos) return std::nullopt;
  path = path.substr(0, last + 1);
  auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return std::string();
  std::string_view dir = path.substr(0, slash);
  auto dir_end = dir.find_last_not_of('/');
  if (dir_end == std::string_view::npos) return std::string("/");
  return std::string(dir.substr(0, dir_end + 1));
}

}  // namespace velkor::ipc
