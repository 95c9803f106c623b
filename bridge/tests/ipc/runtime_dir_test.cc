#include "ipc/runtime_dir.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "ipc/fd.h"
#include "support/temp_dir.h"

namespace velkor::ipc {
namespace {

using test::TempDir;

constexpr char kNotADirectory[] = "browser runtime path must be a directory";

struct stat stat_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

mode_t mode_of(const std::string& path) { return stat_of(path).st_mode & 07777; }

TEST(RuntimeDirTest, CreatesParentsAndAnEmptyGuard) {
  TempDir tmp;
  const std::string dir = tmp.file("a/b/velkor-computer-use");
  auto fd = prepare_runtime_dir(dir);
  ASSERT_TRUE(fd.has_value()) << fd.error().to_string();
  EXPECT_TRUE(fd->valid());
  EXPECT_EQ(mode_of(dir), 0700u);
  struct stat guard = stat_of(dir + "/owner.lock");
  EXPECT_TRUE(S_ISREG(guard.st_mode));
  EXPECT_EQ(guard.st_mode & 07777, 0600u);
  EXPECT_EQ(guard.st_size, 0);
  EXPECT_NE(::fcntl(fd->get(), F_GETFD) & FD_CLOEXEC, 0);
}

TEST(RuntimeDirTest, ResetsModeAndKeepsAnExistingGuard) {
  TempDir tmp;
  const std::string dir = tmp.file("rt");
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
  {
    UniqueFd guard(::open((dir + "/owner.lock").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(guard.valid());
    ASSERT_TRUE(write_all_fd(guard.get(), "kept").has_value());
  }
  auto fd = prepare_runtime_dir(dir);
  ASSERT_TRUE(fd.has_value()) << fd.error().to_string();
  EXPECT_EQ(mode_of(dir), 0700u);
  EXPECT_EQ(stat_of(dir + "/owner.lock").st_size, 4);
}

TEST(RuntimeDirTest, RefusesWhatIsNotARealDirectory) {
  TempDir tmp;
  {
    UniqueFd file(::open(tmp.file("file").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(file.valid());
  }
  ASSERT_EQ(::mkdir(tmp.file("target").c_str(), 0755), 0);
  ASSERT_EQ(::chmod(tmp.file("target").c_str(), 0755), 0);
  ASSERT_EQ(::symlink(tmp.file("target").c_str(), tmp.file("link").c_str()), 0);

  for (const char* name : {"file", "link"}) {
    auto r = prepare_runtime_dir(tmp.file(name));
    ASSERT_FALSE(r.has_value()) << name;
    EXPECT_EQ(r.error().kind(), ErrorKind::kOther) << name;
    EXPECT_EQ(r.error().to_string(), kNotADirectory) << name;
  }
  // Nothing was done through the link.
  EXPECT_EQ(mode_of(tmp.file("target")), 0755u);
  EXPECT_NE(::access(tmp.file("target/owner.lock").c_str(), F_OK), 0);

  auto under_file = prepare_runtime_dir(tmp.file("file/rt"));
  ASSERT_FALSE(under_file.has_value());
  EXPECT_EQ(under_file.error().to_string(), "Not a directory (os error 20)");

  ASSERT_EQ(::mkdir(tmp.file("rt").c_str(), 0700), 0);
  ASSERT_EQ(::symlink(tmp.file("file").c_str(), tmp.file("rt/owner.lock").c_str()), 0);
  auto linked_guard = prepare_runtime_dir(tmp.file("rt"));
  ASSERT_FALSE(linked_guard.has_value());
  EXPECT_EQ(linked_guard.error().to_string(), "Too many levels of symbolic links (os error 40)");
}

TEST(RuntimeDirTest, OneOwnerAtATime) {
  TempDir tmp;
  const std::string dir = tmp.file("rt");
  auto first = prepare_runtime_dir(dir);
  ASSERT_TRUE(first.has_value()) << first.error().to_string();

  // An flock belongs to the open file description, so a second open in
  // this same process conflicts as another broker would.
  auto second = prepare_runtime_dir(dir);
  ASSERT_FALSE(second.has_value());
  EXPECT_EQ(second.error().kind(), ErrorKind::kWouldBlock);
  EXPECT_EQ(second.error().to_string(), "operation would block");

  // A clone shares the description, so the lock outlives the original fd.
  auto clone = first->try_clone();
  ASSERT_TRUE(clone.has_value()) << clone.error().to_string();
  first->reset();
  auto while_cloned = prepare_runtime_dir(dir);
  ASSERT_FALSE(while_cloned.has_value());
  EXPECT_EQ(while_cloned.error().to_string(), "operation would block");

  clone->reset();
  auto third = prepare_runtime_dir(dir);
  ASSERT_TRUE(third.has_value()) << third.error().to_string();
}

}  // namespace
}  // namespace velkor::ipc
