#pragma once

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace velkor::test {

// A fresh directory under /tmp owned by one test, removed with everything
// in it when the object goes. Not thread-safe; owned by the test body.
class TempDir {
 public:
  TempDir() {
    std::string pattern = "/tmp/velkor-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      // Without a directory no test of this binary can mean anything.
      std::perror("mkdtemp");
      std::abort();
    }
    path_ = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    // Tests may leave directories they locked down; open them up so the
    // removal below can descend. Symbolic links are not followed.
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(
             path_, std::filesystem::directory_options::none, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_directory(ec) && !it->is_symlink(ec)) {
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
      }
    }
    std::filesystem::remove_all(path_, ec);
  }

  const std::string& path() const { return path_; }
  // `name` inside the directory.
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

}  // namespace velkor::test
