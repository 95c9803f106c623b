#include "manifest/manifest.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "protocol/stream.h"
#include "support/temp_dir.h"

namespace velkor::manifest {
namespace {

using test::TempDir;

const std::string kId(32, 'a');

// A fresh empty file; the manifest only needs it to exist.
std::string touch(const TempDir& dir, std::string_view name) {
  std::string path = dir.file(name);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0700);
  EXPECT_GE(fd, 0) << path;
  if (fd >= 0) ::close(fd);
  return path;
}

std::string canonical(const std::string& path) {
  std::unique_ptr<char, decltype(&::free)> p(::realpath(path.c_str(), nullptr), &::free);
  EXPECT_TRUE(p) << path;
  return p ? std::string(p.get()) : std::string();
}

std::string error_of(std::string_view path, std::string_view id) {
  auto r = NativeHostManifest::create(path, id);
  if (r) return "<ok>";
  return r.error().to_string();
}

TEST(NativeHostManifestTest, ExtensionIds) {
  TempDir dir;
  const std::string host = touch(dir, "host");
  for (std::string id :
       {kId, std::string(32, 'p'), std::string("abcdefghijklmnopabcdefghijklmnop")}) {
    auto r = NativeHostManifest::create(host, id);
    ASSERT_TRUE(r.has_value()) << id << ": " << r.error().to_string();
    EXPECT_EQ(r->origin, "chrome-extension://" + id + "/");
  }
  for (std::string id :
       {kId.substr(1), kId + "a", std::string(), "q" + kId.substr(1), "A" + kId.substr(1),
        "0" + kId.substr(1), kId.substr(1) + "`", "\xc3\xa1" + kId.substr(2)}) {
    EXPECT_EQ(error_of(host, id), "invalid Chrome extension ID") << id;
  }
  // The ID is judged before the path.
  EXPECT_EQ(error_of("relative", "bad"), "invalid Chrome extension ID");
}

TEST(NativeHostManifestTest, ExecutablePaths) {
  TempDir dir;
  const std::string host = touch(dir, "host");
  ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0700), 0);
  ASSERT_EQ(::symlink(host.c_str(), dir.file("sub/link").c_str()), 0);

  EXPECT_EQ(error_of("", kId), "expected an absolute helper path");
  EXPECT_EQ(error_of("host", kId), "expected an absolute helper path");
  EXPECT_EQ(error_of("./host", kId), "expected an absolute helper path");
  EXPECT_EQ(error_of(dir.file("missing"), kId), "No such file or directory (os error 2)");
  EXPECT_EQ(error_of(dir.file("sub"), kId), "expected a helper executable");

  for (const std::string& path : {dir.file("sub/link"), dir.file("sub/../sub/./link")}) {
    auto r = NativeHostManifest::create(path, kId);
    ASSERT_TRUE(r.has_value()) << path << ": " << r.error().to_string();
    EXPECT_EQ(r->path, canonical(host)) << path;
  }
}

TEST(NativeHostManifestTest, PrettyText) {
  TempDir dir;
  const std::string host = touch(dir, "velkor-computer-use-host");
  auto m = NativeHostManifest::create(host, kId);
  ASSERT_TRUE(m.has_value()) << m.error().to_string();
  auto text = m->to_pretty_json();
  ASSERT_TRUE(text.has_value()) << text.error().to_string();
  EXPECT_EQ(*text,
            "{\n"
            "  \"name\": \"velkor.computer_use\",\n"
            "  \"description\": \"Velkor Computer Use\",\n"
            "  \"path\": \"" +
                canonical(host) +
                "\",\n"
                "  \"type\": \"stdio\",\n"
                "  \"allowed_origins\": [\n"
                "    \"chrome-extension://aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa/\"\n"
                "  ]\n"
                "}\n");

  NativeHostManifest odd{"/o\"p\\t\n\x01/\xc3\xa9", "chrome-extension://" + kId + "/"};
  auto escaped = odd.to_pretty_json();
  ASSERT_TRUE(escaped.has_value()) << escaped.error().to_string();
  EXPECT_NE(escaped->find("  \"path\": \"/o\\\"p\\\\t\\n\\u0001/\xc3\xa9\",\n"), std::string::npos)
      << *escaped;
}

TEST(NativeHostManifestTest, PathThatIsNotUtf8LeavesTheLinesBeforeIt) {
  TempDir dir;
  const std::string host = touch(dir, "host\xff");
  auto m = NativeHostManifest::create(host, kId);
  ASSERT_TRUE(m.has_value()) << m.error().to_string();
  EXPECT_EQ(m->path, canonical(host));

  protocol::StringSink sink;
  auto w = m->write_pretty(sink);
  ASSERT_FALSE(w.has_value());
  EXPECT_EQ(w.error().kind(), ErrorKind::kInvalidData);
  EXPECT_EQ(w.error().to_string(), "path contains invalid UTF-8 characters");
  EXPECT_EQ(sink.data(),
            "{\n"
            "  \"name\": \"velkor.computer_use\",\n"
            "  \"description\": \"Velkor Computer Use\",\n");

  auto text = m->to_pretty_json();
  ASSERT_FALSE(text.has_value());
  EXPECT_EQ(text.error().to_string(), "path contains invalid UTF-8 characters");
}

}  // namespace
}  // namespace velkor::manifest
