#include "broker/uploads.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ipc/fd.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace velkor::broker {
namespace {

using namespace std::chrono_literals;
using test::list_dir;
using test::TempDir;

constexpr char kNotRegular[] = "select a regular file";
constexpr char kNoSuchFile[] = "No such file or directory (os error 2)";

void write_file(const std::string& path, std::string_view bytes) {
  ipc::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  ASSERT_TRUE(fd.valid()) << path;
  ASSERT_TRUE(ipc::write_all_fd(fd.get(), bytes).has_value()) << path;
}

std::string read_file(const std::string& path) {
  ipc::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  EXPECT_TRUE(fd.valid()) << path;
  std::string out;
  char buf[65536];
  ssize_t n;
  while (fd.valid() && (n = ::read(fd.get(), buf, sizeof buf)) > 0) out.append(buf, n);
  return out;
}

struct stat lstat_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// Sets the process umask for a scope and puts the old one back.
class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
  ScopedUmask(const ScopedUmask&) = delete;
  ScopedUmask& operator=(const ScopedUmask&) = delete;
  ~ScopedUmask() { ::umask(old_); }

 private:
  const mode_t old_;
};

TEST(LastComponentTest, Table) {
  const struct {
    std::string_view path;
    std::optional<std::string> want;
  } cases[] = {
      {"/", std::nullopt},
      {"", std::nullopt},
      {".", std::nullopt},
      {"..", std::nullopt},
      {"/..", std::nullopt},
      {"a/..", std::nullopt},
      {"a/b/../..", std::nullopt},
      {"a/.", "a"},
      {"a/./.", "a"},
      {"a/b/", "b"},
      {"a", "a"},
      {"/x/y.txt", "y.txt"},
      {"//x//", "x"},
      {"./a", "a"},
      {"../a", "a"},
      {"a/../b", "b"},
      {"...", "..."},
      {".hidden", ".hidden"},
      {"dir/with space ", "with space "},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(last_component(c.path), c.want) << "'" << c.path << "'";
  }
}

// Sources live apart from the runtime directory, so that the runtime
// directory holds nothing but what staging made.
class StageFileTest : public ::testing::Test {
 protected:
  // Staging directories left in the runtime directory.
  std::vector<std::string> leftovers() const { return list_dir(runtime_.path()); }

  // A failed staging must leave nothing behind.
  void expect_failure(std::string_view source, std::string_view want) {
    auto r = stage_file(runtime_.path(), source);
    ASSERT_FALSE(r.has_value()) << source;
    EXPECT_EQ(r.error().to_string(), want) << source;
    EXPECT_EQ(leftovers(), std::vector<std::string>()) << source;
  }

  TempDir runtime_;
  TempDir home_;
};

TEST_F(StageFileTest, CopiesTheBytesIntoAPrivateDirectoryWhateverTheUmask) {
  // Larger than any one read, with every byte value.
  std::string content;
  for (int i = 0; i < 200000; ++i) content += static_cast<char>((i * 7 + i / 256) & 0xff);
  const std::string source = home_.file("data.bin");
  ASSERT_NO_FATAL_FAILURE(write_file(source, content));

  Result<SelectedFile> staged = [&] {
    ScopedUmask open_to_all(0);
    return stage_file(runtime_.path(), source);
  }();
  ASSERT_TRUE(staged.has_value()) << staged.error().to_string();
  const SelectedFile& file = *staged;

  EXPECT_EQ(file.name, "data.bin");
  // Waiting selections are nobody's until a session starts.
  EXPECT_EQ(file.session_id, std::optional<std::string>());
  const std::string prefix = runtime_.path() + "/selected-";
  const std::string& dir = file.staging_dir.path();
  ASSERT_EQ(dir.size(), prefix.size() + 6) << dir;
  EXPECT_EQ(dir.substr(0, prefix.size()), prefix);
  for (char c : dir.substr(prefix.size())) {
    EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << dir;
  }
  EXPECT_EQ(file.path, dir + "/data.bin");
  EXPECT_EQ(list_dir(dir), std::vector<std::string>{"data.bin"});
  EXPECT_EQ(read_file(file.path), content);

  struct stat dir_st = lstat_of(dir);
  EXPECT_TRUE(S_ISDIR(dir_st.st_mode));
  EXPECT_EQ(dir_st.st_mode & 07777, 0700u);
  struct stat copy_st = lstat_of(file.path);
  EXPECT_TRUE(S_ISREG(copy_st.st_mode));
  EXPECT_EQ(copy_st.st_mode & 07777, 0600u);
}

TEST_F(StageFileTest, EmptyFileGivesAnEmptyCopy) {
  const std::string source = home_.file("empty");
  ASSERT_NO_FATAL_FAILURE(write_file(source, ""));
  auto staged = stage_file(runtime_.path(), source);
  ASSERT_TRUE(staged.has_value()) << staged.error().to_string();
  EXPECT_EQ(lstat_of(staged->path).st_size, 0);
}

TEST_F(StageFileTest, RefusesWhatIsNotARegularFile) {
  const std::string dir = home_.file("folder");
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  expect_failure(dir, kNotRegular);
  expect_failure("/dev/null", kNotRegular);

  // A named pipe with no writer must be refused at once, not waited on.
  const std::string fifo = home_.file("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto pending = std::async(std::launch::async, [&] { return stage_file(runtime_.path(), fifo); });
  if (pending.wait_for(5s) != std::future_status::ready) {
    ADD_FAILURE() << "staging a named pipe blocked";
    // A writer that comes and goes lets a blocked open or read return.
    ipc::UniqueFd unblock(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
  }
  auto r = pending.get();
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), ErrorKind::kOther);
  EXPECT_EQ(r.error().to_string(), kNotRegular);
  EXPECT_EQ(leftovers(), std::vector<std::string>());
}

TEST_F(StageFileTest, RefusesPathsWithoutAUsableName) {
  // Files do exist under these names: only the name refuses them.
  for (const char* bad : {"bad\xff", "cut\xc3", "overlong\xc0\xaf", "surrogate\xed\xa0\x80",
                          "beyond\xf4\x90\x80\x80"}) {
    const std::string source = home_.file(bad);
    ASSERT_NO_FATAL_FAILURE(write_file(source, "x"));
    expect_failure(source, "invalid input parameter");
  }
  expect_failure("/", "invalid input parameter");
  expect_failure(home_.path() + "/..", "invalid input parameter");
  expect_failure("", "invalid input parameter");
}

TEST_F(StageFileTest, SystemErrorsPassThrough) {
  expect_failure(home_.file("missing"), kNoSuchFile);

  const std::string source = home_.file("present");
  ASSERT_NO_FATAL_FAILURE(write_file(source, "x"));
  auto r = stage_file(runtime_.file("gone"), source);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().to_string(), kNoSuchFile);
}

TEST_F(StageFileTest, NamesWithSpacesAndNonLatinLettersAreKept) {
  for (const char* name : {"my report.txt", "отчёт за май.pdf", "報告 書.txt", "ελληνικά 😀.bin",
                           " leading and trailing "}) {
    const std::string source = home_.file(name);
    ASSERT_NO_FATAL_FAILURE(write_file(source, name));
    auto staged = stage_file(runtime_.path(), source);
    ASSERT_TRUE(staged.has_value()) << name << ": " << staged.error().to_string();
    EXPECT_EQ(staged->name, name);
    EXPECT_EQ(list_dir(staged->staging_dir.path()), std::vector<std::string>{name});
    EXPECT_EQ(read_file(staged->path), name);
  }
}

TEST_F(StageFileTest, TheCopyIsASnapshot) {
  const std::string source = home_.file("notes.txt");
  ASSERT_NO_FATAL_FAILURE(write_file(source, "first version\n"));
  auto staged = stage_file(runtime_.path(), source);
  ASSERT_TRUE(staged.has_value()) << staged.error().to_string();

  ASSERT_NO_FATAL_FAILURE(write_file(source, "second"));
  EXPECT_EQ(read_file(staged->path), "first version\n");
  ASSERT_EQ(::unlink(source.c_str()), 0);
  EXPECT_EQ(read_file(staged->path), "first version\n");
}

TEST_F(StageFileTest, SameFileTwiceGivesTwoSeparateCopies) {
  const std::string source = home_.file("same.txt");
  ASSERT_NO_FATAL_FAILURE(write_file(source, "shared"));
  auto a = stage_file(runtime_.path(), source);
  auto b = stage_file(runtime_.path(), source);
  ASSERT_TRUE(a.has_value()) << a.error().to_string();
  ASSERT_TRUE(b.has_value()) << b.error().to_string();
  EXPECT_EQ(a->name, b->name);
  EXPECT_NE(a->staging_dir.path(), b->staging_dir.path());
  EXPECT_NE(lstat_of(a->path).st_ino, lstat_of(b->path).st_ino);
  ASSERT_NO_FATAL_FAILURE(write_file(a->path, "changed"));
  EXPECT_EQ(read_file(b->path), "shared");
}

TEST_F(StageFileTest, ReleasingTheSelectionDeletesItsDirectory) {
  const std::string source = home_.file("f.txt");
  ASSERT_NO_FATAL_FAILURE(write_file(source, "x"));
  auto first = stage_file(runtime_.path(), source);
  auto second = stage_file(runtime_.path(), source);
  ASSERT_TRUE(first.has_value()) << first.error().to_string();
  ASSERT_TRUE(second.has_value()) << second.error().to_string();
  const std::string first_dir = first->staging_dir.path();
  const std::string second_dir = second->staging_dir.path();

  {
    // Moving hands the directory on; the moved-from record deletes nothing.
    SelectedFile moved = std::move(*first);
    EXPECT_TRUE(exists(first_dir));
    // Taking over another directory deletes the one held before.
    moved.staging_dir = std::move(second->staging_dir);
    EXPECT_FALSE(exists(first_dir));
    EXPECT_TRUE(exists(second_dir));
  }
  EXPECT_FALSE(exists(second_dir));
  EXPECT_EQ(leftovers(), std::vector<std::string>());
}

TEST(RemoveStaleSelectionsTest, RemovesOnlyStagingDirectories) {
  TempDir runtime;
  TempDir elsewhere;
  const std::string stale = runtime.file("selected-a1B2c3");
  ASSERT_EQ(::mkdir(stale.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((stale + "/nested").c_str(), 0700), 0);
  ASSERT_NO_FATAL_FAILURE(write_file(stale + "/nested/copy.txt", "old"));
  const std::string empty_stale = runtime.file("selected-zzzzzz");
  ASSERT_EQ(::mkdir(empty_stale.c_str(), 0700), 0);

  ASSERT_NO_FATAL_FAILURE(write_file(runtime.file("selected-file00"), "keep"));
  // A link to a directory elsewhere: neither the link nor what it points to
  // may go.
  const std::string target = elsewhere.file("target");
  ASSERT_EQ(::mkdir(target.c_str(), 0700), 0);
  ASSERT_NO_FATAL_FAILURE(write_file(target + "/precious", "keep"));
  ASSERT_EQ(::symlink(target.c_str(), runtime.file("selected-link00").c_str()), 0);
  ASSERT_EQ(::mkdir(runtime.file("other").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(runtime.file("xselected-abcdef").c_str(), 0700), 0);
  ASSERT_NO_FATAL_FAILURE(write_file(runtime.file("run.lock"), "{}"));

  remove_stale_selections(runtime.path());

  EXPECT_EQ(list_dir(runtime.path()),
            (std::vector<std::string>{"other", "run.lock", "selected-file00", "selected-link00",
                                      "xselected-abcdef"}));
  EXPECT_TRUE(S_ISLNK(lstat_of(runtime.file("selected-link00")).st_mode));
  EXPECT_EQ(read_file(target + "/precious"), "keep");
  EXPECT_EQ(read_file(runtime.file("selected-file00")), "keep");

  // A missing directory is nothing to clean.
  remove_stale_selections(runtime.file("missing"));
}

}  // namespace
}  // namespace velkor::broker
