#include "ipc/lock_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "ipc/fd.h"
#include "protocol/json.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace velkor::ipc {
namespace {

using test::TempDir;

constexpr char kSecret[] = "0123456789abcdef0123456789abcdef";

std::string read_bytes(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  std::string out;
  char buf[4096];
  ssize_t n;
  while (fd.valid() && (n = ::read(fd.get(), buf, sizeof buf)) > 0) out.append(buf, n);
  return out;
}

void write_file(const std::string& path, std::string_view bytes, mode_t mode = 0600) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  ASSERT_TRUE(fd.valid());
  ASSERT_EQ(::fchmod(fd.get(), mode), 0);
  ASSERT_TRUE(write_all_fd(fd.get(), bytes).has_value());
}

mode_t mode_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0);
  return st.st_mode & 07777;
}

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") out.push_back(name);
    }
    ::closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string record_text(uint16_t port, std::string_view secret, uint32_t pid) {
  return "{\"port\":" + std::to_string(port) + ",\"secret\":\"" + std::string(secret) +
         "\",\"pid\":" + std::to_string(pid) + "}";
}

TEST(LockFilePathTest, FirstApplicableRuleWins) {
  struct Case {
    const char* runtime;
    const char* xdg;
    const char* home;
    const char* want;
  };
  const std::string kHomeTail = "/Library/Application Support/velkor-computer-use/run.lock";
  const std::string kTmp = "/tmp" + kHomeTail;
  const Case cases[] = {
      {"/r", "/x", "/h", "/r/velkor-computer-use/run.lock"},
      {"/r/", nullptr, nullptr, "/r/velkor-computer-use/run.lock"},
      {"", "/x", "/h", "velkor-computer-use/run.lock"},
      {"/r\xff", "/x", "/h", "/r\xff/velkor-computer-use/run.lock"},
      {"rel", nullptr, nullptr, "rel/velkor-computer-use/run.lock"},
      {nullptr, "/run/user/1000", "/h", "/run/user/1000/velkor-computer-use/run.lock"},
      {nullptr, "", "/h", "velkor-computer-use/run.lock"},
      {nullptr, "/run/\xc3\xa9", "/h", "/run/\xc3\xa9/velkor-computer-use/run.lock"},
      {nullptr, nullptr, nullptr, kTmp.c_str()},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LockFile::path_from(c.runtime, c.xdg, c.home), c.want)
        << (c.runtime ? c.runtime : "-") << " " << (c.xdg ? c.xdg : "-");
  }
  EXPECT_EQ(LockFile::path_from(nullptr, nullptr, "/home/u/"), "/home/u" + kHomeTail);
}

TEST(LockFilePathTest, ValuesThatAreNotUtf8FallThrough) {
  const std::string kHome = "/home/u/Library/Application Support/velkor-computer-use/run.lock";
  const std::string kTmp = "/tmp/Library/Application Support/velkor-computer-use/run.lock";
  // A stray byte, a cut sequence, an overlong '/', an encoded surrogate and
  // a code point above U+10FFFF.
  for (const char* bad :
       {"/x\xff", "/x\xc3", "/x\xc0\xaf", "/x\xed\xa0\x80", "/x\xf4\x90\x80\x80"}) {
    EXPECT_EQ(LockFile::path_from(nullptr, bad, "/home/u"), kHome) << bad;
    EXPECT_EQ(LockFile::path_from(nullptr, nullptr, bad), kTmp) << bad;
  }
}

TEST(LockFilePathTest, ReadFollowsTheEnvironment) {
  TempDir dir;
  test::ScopedEnv env("VELKOR_COMPUTER_USE_RUNTIME_DIR", dir.path());

  EXPECT_EQ(LockFile::path(), dir.path() + "/velkor-computer-use/run.lock");
  auto absent = LockFile::read();
  ASSERT_TRUE(absent.has_value()) << absent.error().to_string();
  EXPECT_FALSE(absent->has_value());

  ASSERT_EQ(::mkdir(dir.file("velkor-computer-use").c_str(), 0700), 0);
  LockFile record{8080, kSecret, 4242};
  ASSERT_TRUE(record.write_at(LockFile::path()).has_value());
  auto present = LockFile::read();
  ASSERT_TRUE(present.has_value()) << present.error().to_string();
  EXPECT_EQ(**present, record);
}

TEST(LockFileWriteTest, ExactBytesAndMode0600WhateverTheUmask) {
  TempDir dir;
  const std::string path = dir.file("run.lock");
  mode_t old_umask = ::umask(0277);
  auto w = LockFile{8080, kSecret, 4242}.write_at(path);
  ::umask(old_umask);
  ASSERT_TRUE(w.has_value()) << w.error().to_string();

  const std::string want = record_text(8080, kSecret, 4242);
  ASSERT_EQ(want.size(), 68u);
  EXPECT_EQ(read_bytes(path), want);
  EXPECT_EQ(mode_of(path), 0600u);
  EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"run.lock"});
}

TEST(LockFileWriteTest, ReplacesAnOldFile) {
  TempDir dir;
  const std::string path = dir.file("run.lock");
  write_file(path, record_text(1, "old", 2), 0644);
  ASSERT_TRUE((LockFile{65535, kSecret, 4294967295u}.write_at(path)).has_value());
  EXPECT_EQ(read_bytes(path), record_text(65535, kSecret, 4294967295u));
  EXPECT_EQ(mode_of(path), 0600u);
  EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"run.lock"});
}

TEST(LockFileWriteTest, FailedRenameRemovesTemporaryAndKeepsTarget) {
  TempDir dir;
  // A non-empty directory cannot be replaced by a file.
  const std::string path = dir.file("run.lock");
  ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
  write_file(path + "/keep", "kept");

  auto w = LockFile{8080, kSecret, 4242}.write_at(path);
  ASSERT_FALSE(w.has_value());
  EXPECT_EQ(w.error().to_string(), "Is a directory (os error 21)");
  EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"run.lock"});
  EXPECT_EQ(read_bytes(path + "/keep"), "kept");
}

TEST(LockFileWriteTest, RefusesPathsWithoutParentAndMissingDirectories) {
  TempDir dir;
  for (const char* path : {"", "/", "//"}) {
    auto w = LockFile{8080, kSecret, 4242}.write_at(path);
    ASSERT_FALSE(w.has_value()) << path;
    EXPECT_EQ(w.error().kind(), ErrorKind::kInvalidInput);
    EXPECT_EQ(w.error().to_string(), "invalid input parameter");
  }
  // Only a taken name is retried; any other failure comes back at once.
  auto w = LockFile{8080, kSecret, 4242}.write_at(dir.file("missing/run.lock"));
  ASSERT_FALSE(w.has_value());
  EXPECT_EQ(w.error().to_string(), "No such file or directory (os error 2)");
}

TEST(LockFileReadTest, AbsentAndRefusedFiles) {
  TempDir dir;
  const std::string good = dir.file("good");
  write_file(good, record_text(8080, kSecret, 4242));

  auto absent = LockFile::read_at(dir.file("run.lock"));
  ASSERT_TRUE(absent.has_value()) << absent.error().to_string();
  EXPECT_FALSE(absent->has_value());

  // Following the link would find a valid file.
  ASSERT_EQ(::symlink(good.c_str(), dir.file("link").c_str()), 0);
  // Opening a FIFO that has no writer would block without O_NONBLOCK.
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  ASSERT_EQ(::mkdir(dir.file("dir").c_str(), 0700), 0);
  write_file(dir.file("0640"), record_text(8080, kSecret, 4242), 0640);
  write_file(dir.file("0604"), record_text(8080, kSecret, 4242), 0604);
  write_file(dir.file("0610"), record_text(8080, kSecret, 4242), 0610);

  struct Case {
    const char* name;
    const char* want;
  };
  const Case cases[] = {
      {"link", "Too many levels of symbolic links (os error 40)"},
      {"fifo", "invalid data"},
      {"dir", "invalid data"},
      {"0640", "permission denied"},
      {"0604", "permission denied"},
      {"0610", "permission denied"},
  };
  for (const Case& c : cases) {
    auto r = LockFile::read_at(dir.file(c.name));
    ASSERT_FALSE(r.has_value()) << c.name;
    EXPECT_EQ(r.error().to_string(), c.want) << c.name;
  }

  write_file(dir.file("0400"), record_text(8080, kSecret, 4242), 0400);
  auto owner_only = LockFile::read_at(dir.file("0400"));
  ASSERT_TRUE(owner_only.has_value()) << owner_only.error().to_string();
  EXPECT_EQ(**owner_only, (LockFile{8080, kSecret, 4242}));
}

TEST(LockFileReadTest, AtMost1024Bytes) {
  TempDir dir;
  std::string text = record_text(8080, kSecret, 4242);
  text.resize(1024, ' ');
  write_file(dir.file("fits"), text);
  auto fits = LockFile::read_at(dir.file("fits"));
  ASSERT_TRUE(fits.has_value()) << fits.error().to_string();
  EXPECT_EQ(**fits, (LockFile{8080, kSecret, 4242}));

  text += ' ';
  write_file(dir.file("large"), text);
  auto large = LockFile::read_at(dir.file("large"));
  ASSERT_FALSE(large.has_value());
  EXPECT_EQ(large.error().kind(), ErrorKind::kInvalidData);
  EXPECT_EQ(large.error().to_string(), "invalid data");
}

TEST(LockFileParseTest, AcceptedForms) {
  const LockFile want{8080, "S", 4242};
  for (const char* text : {
           "{\"pid\":4242,\"secret\":\"S\",\"port\":8080,\"extra\":true}",
           " \t\n{ \"port\" : 8080 ,\r\n\"secret\":\"S\", \"pid\":4242 }\r\n\t ",
           "{\"x\":1,\"x\":[2],\"port\":8080,\"secret\":\"S\",\"pid\":4242}",
           "[8080,\"S\",4242]",
           "[8080,\"S\",4242] \n",
       }) {
    auto r = LockFile::parse(text);
    ASSERT_TRUE(r.has_value()) << text << ": " << r.error().to_string();
    EXPECT_EQ(*r, want) << text;
  }
  auto bounds = LockFile::parse("{\"port\":65535,\"secret\":\"\",\"pid\":4294967295}");
  ASSERT_TRUE(bounds.has_value()) << bounds.error().to_string();
  EXPECT_EQ(*bounds, (LockFile{65535, "", 4294967295u}));
}

TEST(LockFileParseTest, RefusedRecords) {
  const std::string kPort = "invalid value for \"port\": expected an integer from 0 to 65535";
  const std::string kSecretType = "invalid value for \"secret\": expected a string";
  const std::string kPid = "invalid value for \"pid\": expected an integer from 0 to 4294967295";
  struct Case {
    const char* text;
    std::string want;
  };
  const Case cases[] = {
      {"{\"port\":1,\"port\":2,\"secret\":\"S\",\"pid\":3}", "duplicate field \"port\""},
      {"{\"port\":1,\"secret\":\"S\",\"pid\":3,\"secret\":\"S\"}", "duplicate field \"secret\""},
      {"{\"pid\":3,\"port\":1,\"secret\":\"S\",\"pid\":3}", "duplicate field \"pid\""},
      {"{\"port\":1,\"secret\":\"S\"}", "missing field \"pid\""},
      {"{\"secret\":\"S\",\"pid\":3}", "missing field \"port\""},
      {"{}", "missing field \"port\""},
      {"{\"port\":65536,\"secret\":\"S\",\"pid\":3}", kPort},
      {"{\"port\":-1,\"secret\":\"S\",\"pid\":3}", kPort},
      {"{\"port\":8080.0,\"secret\":\"S\",\"pid\":3}", kPort},
      {"{\"port\":8e3,\"secret\":\"S\",\"pid\":3}", kPort},
      {"{\"port\":\"8080\",\"secret\":\"S\",\"pid\":3}", kPort},
      {"{\"port\":null,\"secret\":\"S\",\"pid\":3}", kPort},
      {"{\"port\":1,\"secret\":5,\"pid\":3}", kSecretType},
      {"{\"port\":1,\"secret\":[\"S\"],\"pid\":3}", kSecretType},
      {"{\"port\":1,\"secret\":\"S\",\"pid\":4294967296}", kPid},
      {"{\"port\":1,\"secret\":\"S\",\"pid\":-3}", kPid},
      {"{\"port\":1,\"secret\":\"S\",\"pid\":true}", kPid},
      {"[8080,\"S\"]", "expected an array of 3 elements, found 2"},
      {"[8080,\"S\",4242,1]", "expected an array of 3 elements, found 4"},
      {"[\"S\",8080,4242]", kPort},
      {"\"text\"", "expected a lock-file object"},
      {"42", "expected a lock-file object"},
  };
  for (const Case& c : cases) {
    auto r = LockFile::parse(c.text);
    ASSERT_FALSE(r.has_value()) << c.text;
    EXPECT_EQ(r.error().kind(), ErrorKind::kInvalidData) << c.text;
    EXPECT_EQ(r.error().to_string(), c.want) << c.text;
  }
}

TEST(LockFileParseTest, JsonErrorsKeepTheirKindAndText) {
  struct Case {
    const char* text;
    ErrorKind kind;
  };
  const Case cases[] = {
      {"{\"port\":8080", ErrorKind::kUnexpectedEof},
      {"", ErrorKind::kUnexpectedEof},
      {"{\"port\":8080,\"secret\":\"S\",\"pid\":4242} x", ErrorKind::kInvalidData},
      {"{\"port\":8080,\"secret\":\"S\",\"pid\":4242}\x0b", ErrorKind::kInvalidData},
      {"{port:8080}", ErrorKind::kInvalidData},
  };
  for (const Case& c : cases) {
    auto from_json = protocol::json::parse(c.text);
    ASSERT_FALSE(from_json.has_value()) << c.text;
    auto r = LockFile::parse(c.text);
    ASSERT_FALSE(r.has_value()) << c.text;
    EXPECT_EQ(r.error().kind(), c.kind) << c.text;
    EXPECT_EQ(r.error().to_string(), from_json.error().to_string()) << c.text;
  }

  TempDir dir;
  write_file(dir.file("run.lock"), "{\"port\":8080");
  auto read = LockFile::read_at(dir.file("run.lock"));
  ASSERT_FALSE(read.has_value());
  EXPECT_EQ(read.error().kind(), ErrorKind::kUnexpectedEof);
  EXPECT_EQ(read.error().to_string(), protocol::json::parse("{\"port\":8080").error().to_string());
}

}  // namespace
}  // namespace velkor::ipc
