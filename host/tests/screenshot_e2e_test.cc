// Screenshots pulled in verified chunks through the real processes, against
// a stand-in extension that follows the chunk protocol or breaks it.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "broker/screenshot/base64.h"
#include "broker/screenshot/screenshot.h"
#include "e2e_fixture.h"

namespace velkor::test {
namespace {

using broker::screenshot::base64_encode;
using broker::screenshot::sha256_hex;

const std::string kIncomplete = "Браузер вернул неполный снимок.";

struct Case {
  const char* what;
  std::string image;
  std::uint64_t chunk_size;
  // How the extension answers "page_screenshot" and "page_screenshot_read";
  // null: honestly.
  std::function<Answer(const Case&, const SeenRequest&)> answer;
  std::vector<std::uint64_t> read_offsets;  // the chunk requests expected
  bool succeeds;
};

Answer honest(const Case& c, const SeenRequest& req) {
  return *FakeExtension::screenshot_answer(c.image, c.chunk_size, req);
}

// The honest answer with one member of its data replaced.
std::function<Answer(const Case&, const SeenRequest&)> with(std::string op, std::string member,
                                                            Json value) {
  return [=](const Case& c, const SeenRequest& req) {
    Answer a = honest(c, req);
    if (req.op == op) a.data[member] = value;
    return a;
  };
}

class ScreenshotE2eTest : public E2eTest {};

TEST_F(ScreenshotE2eTest, ChunkedTransferIsVerified) {
  const std::string image = fake_png(1000);
  const std::vector<Case> cases = {
      {"several chunks", image, 300, nullptr, {0, 300, 600, 900}, true},
      {"exactly one chunk", fake_png(300), 300, nullptr, {0}, true},
      {"one byte a chunk", fake_png(8), 1, nullptr, {0, 1, 2, 3, 4, 5, 6, 7}, true},
      {"size below the signature", image, 300, with("page_screenshot", "size", 7), {}, false},
      {"chunk size zero", image, 300, with("page_screenshot", "chunkSize", 0), {}, false},
      {"size as a float", image, 300, with("page_screenshot", "size", 1000.0), {}, false},
      {"other mime", image, 300, with("page_screenshot", "mime", "image/jpeg"), {}, false},
      {"repeated chunk offset",
       image,
       300,
       [](const Case& c, const SeenRequest& req) {
         // The second request gets the first chunk again.
         SeenRequest first = req;
         if (req.op == "page_screenshot_read") first.args["offset"] = 0;
         return honest(c, first);
       },
       {0, 300},
       false},
      {"missing padding",
       image,
       300,
       [](const Case& c, const SeenRequest& req) {
         Answer a = honest(c, req);
         if (req.op == "page_screenshot_read") {
           std::string text = a.data.value("base64", std::string());
           while (!text.empty() && text.back() == '=') text.pop_back();
           a.data["base64"] = text;
         }
         return a;
       },
       // Only the last chunk (100 bytes) is padded.
       {0, 300, 600, 900},
       false},
      {"wrong digest",
       image,
       300,
       with("page_screenshot", "sha256", sha256_hex("other")),
       {0, 300, 600, 900},
       false},
      {"upper-case digest",
       image,
       300,
       [](const Case& c, const SeenRequest& req) {
         Answer a = honest(c, req);
         if (req.op == "page_screenshot") {
           std::string digest = sha256_hex(c.image);
           for (char& ch : digest)
             ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
           a.data["sha256"] = digest;
         }
         return a;
       },
       {0, 300, 600, 900},
       false},
      {"eof false at the end",
       fake_png(300),
       300,
       with("page_screenshot_read", "eof", false),
       {0},
       false},
      {"not a PNG", std::string(1000, 'x'), 300, nullptr, {0, 300, 600, 900}, false},
  };
  std::atomic<std::size_t> current{0};
  auto ext = connect_extension();
  FakeExtension* e = ext.get();
  // `e` by value: the serving thread may answer once more while the
  // test's locals are being destroyed.
  ext->serve([&, e](const SeenRequest& req) {
    const Case& c = cases[current.load()];
    if (req.op != "page_screenshot" && req.op != "page_screenshot_read") {
      return e->default_answer(req);
    }
    return c.answer ? c.answer(c, req) : honest(c, req);
  });
  FakeAgent agent(dir_.path());
  const std::string s = start_session(agent, {{"tabId", 7}});
  ASSERT_FALSE(s.empty());

  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.what);
    current.store(i);
    const std::size_t before = ext->requests().size();
    auto result = agent.tool("browser_screenshot", {{"sessionId", s}});
    ASSERT_TRUE(result);
    if (c.succeeds) {
      EXPECT_EQ(*result, (Json{{"content", Json::array({{{"data", base64_encode(c.image)},
                                                         {"mimeType", "image/png"},
                                                         {"type", "image"}}})},
                               {"structuredContent",
                                {{"sha256", sha256_hex(c.image)}, {"size", c.image.size()}}}}));
    } else {
      EXPECT_EQ(*result, error_result(kIncomplete));
    }

    auto seen = seen_since(*ext, before);
    ASSERT_EQ(seen.size(), 1 + c.read_offsets.size());
    EXPECT_EQ(seen[0].op, "page_screenshot");
    EXPECT_EQ(seen[0].tab_id, 7);
    EXPECT_EQ(seen[0].args, (Json{{"sessionId", s}}));
    for (std::size_t k = 0; k < c.read_offsets.size(); ++k) {
      const SeenRequest& read = seen[1 + k];
      EXPECT_EQ(read.op, "page_screenshot_read");
      EXPECT_EQ(read.tab_id, 7);
      EXPECT_EQ(read.args,
                (Json{{"captureId", "cap-1"}, {"offset", c.read_offsets[k]}, {"sessionId", s}}));
    }
  }
}

TEST_F(ScreenshotE2eTest, FailedChunkReadGivesTheBridgeText) {
  auto ext = connect_extension();
  FakeExtension* e = ext.get();
  ext->serve([e](const SeenRequest& req) {
    if (req.op == "page_screenshot_read" && req.args.value("offset", 0) > 0) {
      return Answer::fail("capture expired");
    }
    return e->default_answer(req);
  });
  FakeAgent agent(dir_.path());
  const std::string s = start_session(agent, {{"tabId", 7}});
  ASSERT_FALSE(s.empty());
  const std::size_t before = ext->requests().size();

  auto result = agent.tool("browser_screenshot", {{"sessionId", s}});
  ASSERT_TRUE(result);
  EXPECT_EQ(*result, error_result("capture expired"));
  // No chunk request is retried.
  EXPECT_EQ(seen_since(*ext, before).size(), 3u);
}

// The largest capture the broker takes crosses every process whole: 44
// chunks from the extension, then one answer line of 15 MiB to the agent.
TEST_F(ScreenshotE2eTest, TheLargestScreenshotArrivesWhole) {
  auto ext = connect_extension();
  ext->png = fake_png(broker::screenshot::kMaxSize);
  ext->chunk_size = broker::screenshot::kMaxChunkSize;
  ext->serve();
  FakeAgent agent(dir_.path());
  const std::string s = start_session(agent, {{"tabId", 7}});
  ASSERT_FALSE(s.empty());

  auto result = agent.tool("browser_screenshot", {{"sessionId", s}}, 60s);
  ASSERT_TRUE(result);
  const Json& item = (*result)["content"][0];
  EXPECT_EQ(item.value("type", ""), "image");
  EXPECT_TRUE(item.value("data", "") == base64_encode(ext->png));
  EXPECT_EQ((*result)["structuredContent"],
            (Json{{"sha256", sha256_hex(ext->png)}, {"size", broker::screenshot::kMaxSize}}));
}

}  // namespace
}  // namespace velkor::test
