#include "ipc/path.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace velkor::ipc {
namespace {

TEST(PathTest, JoinPath) {
  struct Case {
    const char* base;
    const char* name;
    const char* want;
  };
  const Case cases[] = {
      {"/r", "run.lock", "/r/run.lock"}, {"/r/", "run.lock", "/r/run.lock"},
      {"", "run.lock", "run.lock"},      {"/", "run.lock", "/run.lock"},
      {"rel", "a/b", "rel/a/b"},         {"/r", "/abs", "/abs"},
      {"/r\xff", "x", "/r\xff/x"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(join_path(c.base, c.name), c.want) << c.base << " + " << c.name;
  }
}

TEST(PathTest, ParentDir) {
  struct Case {
    const char* path;
    std::optional<std::string> want;
  };
  const Case cases[] = {
      {"a/b", "a"},         {"a//b/", "a"},     {"/a/b/run.lock", "/a/b"}, {"/a", "/"},
      {"//a", "/"},         {"run.lock", ""},   {"run.lock/", ""},         {"/", std::nullopt},
      {"//", std::nullopt}, {"", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parent_dir(c.path), c.want) << c.path;
  }
}

}  // namespace
}  // namespace velkor::ipc
