#include "broker/screenshot/screenshot.h"

#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "broker/screenshot/base64.h"

namespace velkor::broker::screenshot {
namespace {

const std::string kIncompleteText = "Браузер вернул неполный снимок.";
constexpr std::string_view kSession = "0123456789abcdef0123456789abcdef";

protocol::json::Json parse_json(std::string_view text) {
  auto parsed = protocol::json::parse(text);
  if (!parsed) {
    ADD_FAILURE() << "test JSON does not parse: " << text;
    return nullptr;
  }
  return std::move(parsed->value);
}

// A PNG signature followed by every byte value in turn.
std::string make_image(std::size_t size) {
  std::string image("\x89PNG\r\n\x1a\n", 8);
  for (std::size_t i = 0; image.size() < size; ++i) image += static_cast<char>(i * 37 % 256);
  image.resize(size);
  return image;
}

// The extension's side of the transfer: serves `image` in pieces of at most
// `piece` bytes from whatever offset is asked, and records every request.
// `tamper` may rewrite the reply to the request with the given index.
class FakeExtension {
 public:
  FakeExtension(std::string image, std::size_t piece) : image_(std::move(image)), piece_(piece) {}

  std::function<void(std::size_t index, protocol::json::Json& reply)> tamper;
  std::vector<std::string> requests;

  ReadChunk reader() {
    return [this](protocol::json::Json request) -> Result<protocol::json::Json, std::string> {
      requests.push_back(protocol::json::dump(request));
      std::uint64_t offset = protocol::json::as_u64(request["offset"]).value_or(0);
      std::string piece = offset < image_.size() ? image_.substr(offset, piece_) : "";
      protocol::json::Json reply = protocol::json::Json::object();
      reply["base64"] = base64_encode(piece);
      reply["offset"] = offset;
      reply["nextOffset"] = offset + piece.size();
      reply["eof"] = offset + piece.size() == image_.size();
      if (tamper) tamper(requests.size() - 1, reply);
      return reply;
    };
  }

 private:
  const std::string image_;
  const std::size_t piece_;
};

protocol::json::Json describe(const std::string& image, std::uint64_t chunk_size) {
  protocol::json::Json d = protocol::json::Json::object();
  d["captureId"] = "cap-7";
  d["sha256"] = sha256_hex(image);
  d["size"] = image.size();
  d["chunkSize"] = chunk_size;
  d["mime"] = "image/png";
  return d;
}

std::string request(std::uint64_t offset) {
  return R"({"captureId":"cap-7","offset":)" + std::to_string(offset) + R"(,"sessionId":")" +
         std::string(kSession) + R"("})";
}

// The outcome as one comparable text: the error, or "ok".
std::string status(const Result<protocol::json::Json, std::string>& result) {
  return result ? "ok" : result.error();
}

TEST(ScreenshotTest, SeveralChunks) {
  const std::string image = make_image(1000);
  FakeExtension extension(image, 300);
  auto result = receive(describe(image, 300), extension.reader(), kSession);
  ASSERT_EQ(status(result), "ok");
  EXPECT_EQ(extension.requests,
            (std::vector<std::string>{request(0), request(300), request(600), request(900)}));
  EXPECT_EQ(protocol::json::dump(*result), R"({"_verifiedScreenshot":")" + base64_encode(image) +
                                               R"(","sha256":")" + sha256_hex(image) +
                                               R"(","size":1000})");
  const std::string* data = protocol::json::find_string(*result, kVerifiedMember);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(base64_decode_strict(*data), image);
}

TEST(ScreenshotTest, PiecesSmallerThanTheChunkSize) {
  const std::string image = make_image(20);
  FakeExtension extension(image, 7);
  auto result = receive(describe(image, 300), extension.reader(), kSession);
  ASSERT_EQ(status(result), "ok");
  EXPECT_EQ(extension.requests, (std::vector<std::string>{request(0), request(7), request(14)}));
}

TEST(ScreenshotTest, ExactlyOneChunk) {
  const std::string image = make_image(64);
  FakeExtension extension(image, 64);
  auto result = receive(describe(image, 64), extension.reader(), kSession);
  ASSERT_EQ(status(result), "ok");
  EXPECT_EQ(extension.requests, std::vector<std::string>{request(0)});

  FakeExtension early_eof(image, 64);
  early_eof.tamper = [](std::size_t, protocol::json::Json& reply) { reply["eof"] = false; };
  EXPECT_EQ(status(receive(describe(image, 64), early_eof.reader(), kSession)), kIncompleteText);
}

TEST(ScreenshotTest, RepeatedChunk) {
  const std::string image = make_image(100);
  FakeExtension extension(image, 40);
  const std::string first = base64_encode(image.substr(0, 40));
  extension.tamper = [&first](std::size_t index, protocol::json::Json& reply) {
    if (index != 1) return;
    reply["base64"] = first;
    reply["offset"] = 0;
    reply["nextOffset"] = 40;
  };
  EXPECT_EQ(status(receive(describe(image, 40), extension.reader(), kSession)), kIncompleteText);
  EXPECT_EQ(extension.requests, (std::vector<std::string>{request(0), request(40)}));
}

TEST(ScreenshotTest, ImageChecks) {
  std::string not_png = make_image(100);
  not_png[1] = 'p';
  const std::string image = make_image(100);
  std::string upper = sha256_hex(image);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string other = sha256_hex(image);
  other[63] = other[63] == '0' ? '1' : '0';

  struct Case {
    std::string label;
    std::string image;
    std::optional<std::string> digest;  // nullopt: the image's own digest
    std::string expected;
  };
  const Case cases[] = {
      {"good", image, std::nullopt, "ok"},
      {"signature", not_png, std::nullopt, kIncompleteText},
      {"uppercase digest", image, upper, kIncompleteText},
      {"other digest", image, other, kIncompleteText},
      {"short digest", image, sha256_hex(image).substr(0, 63), kIncompleteText},
      {"digest with newline", image, sha256_hex(image) + "\n", kIncompleteText},
  };
  for (const Case& c : cases) {
    FakeExtension extension(c.image, 64);
    protocol::json::Json d = describe(c.image, 64);
    if (c.digest) d["sha256"] = *c.digest;
    EXPECT_EQ(status(receive(d, extension.reader(), kSession)), c.expected) << c.label;
    EXPECT_EQ(extension.requests.size(), 2u) << c.label;
  }
}

TEST(ScreenshotTest, DescriptionBounds) {
  const std::string kReadFailed = "Расширение не ответило.";
  struct Case {
    std::string_view description;
    std::string expected;  // kReadFailed: accepted, the first request went out
  };
  const Case cases[] = {
      {R"({"captureId":"c","sha256":"h","size":8,"chunkSize":1,"mime":"image/png"})", kReadFailed},
      {R"({"captureId":"","sha256":"","size":11534336,"chunkSize":262144,"mime":"image/png",)"
       R"("extra":null})",
       kReadFailed},
      {R"({"captureId":"c","sha256":"h","size":7,"chunkSize":1,"mime":"image/png"})",
       kIncompleteText},
      {R"({"captureId":"c","sha256":"h","size":11534337,"chunkSize":1,"mime":"image/png"})",
       kIncompleteText},
      {R"({"captureId":"c","sha256":"h","size":1000.0,"chunkSize":1,"mime":"image/png"})",
       kIncompleteText},
      {R"({"captureId":"c","sha256":"h","size":-8,"chunkSize":1,"mime":"image/png"})",
       kIncompleteText},
      {R"({"captureId":"c","sha256":"h","size":"1000","chunkSize":1,"mime":"image/png"})",
       kIncompleteText},
      {R"({"captureId":"c","sha256":"h","chunkSize":1,"mime":"image/png"})", kIncompleteText},
      {R"({"captureId":"c","sha256":"h","size":8,"chunkSize":0,"mime":"image/png"})",
       kIncompleteText},
      {R"({"captureId":"c","sha256":"h","size":8,"chunkSize":262145,"mime":"image/png"})",
       kIncompleteText},
      {R"({"captureId":"c","sha256":"h","size":8,"chunkSize":300.0,"mime":"image/png"})",
       kIncompleteText},
      {R"({"captureId":"c","sha256":"h","size":8,"mime":"image/png"})", kIncompleteText},
      {R"({"captureId":"c","sha256":"h","size":8,"chunkSize":1,"mime":"image/jpeg"})",
       kIncompleteText},
      {R"({"captureId":"c","sha256":"h","size":8,"chunkSize":1,"mime":"IMAGE/PNG"})",
       kIncompleteText},
      {R"({"captureId":"c","sha256":"h","size":8,"chunkSize":1})", kIncompleteText},
      {R"({"captureId":5,"sha256":"h","size":8,"chunkSize":1,"mime":"image/png"})",
       kIncompleteText},
      {R"({"sha256":"h","size":8,"chunkSize":1,"mime":"image/png"})", kIncompleteText},
      {R"({"captureId":"c","sha256":null,"size":8,"chunkSize":1,"mime":"image/png"})",
       kIncompleteText},
      {R"({"captureId":"c","size":8,"chunkSize":1,"mime":"image/png"})", kIncompleteText},
      {"null", kIncompleteText},
      {R"(["c","h",8,1,"image/png"])", kIncompleteText},
  };
  for (const Case& c : cases) {
    int calls = 0;
    ReadChunk fail = [&](protocol::json::Json) -> Result<protocol::json::Json, std::string> {
      ++calls;
      return Unexpected(kReadFailed);
    };
    EXPECT_EQ(status(receive(parse_json(c.description), fail, kSession)), c.expected)
        << c.description;
    EXPECT_EQ(calls, c.expected == kReadFailed ? 1 : 0) << c.description;
  }
}

// Rewrites the first reply of a transfer of 100 bytes, chunk size 40 (at most
// 56 base64 characters), so that the transfer must fail.
TEST(ScreenshotTest, ChunkReplyViolations) {
  const std::string image = make_image(100);
  const std::string first = base64_encode(image.substr(0, 40));
  using Tamper = std::function<void(protocol::json::Json&)>;
  struct Case {
    std::string label;
    Tamper tamper;
  };
  const Case cases[] = {
      {"reply not an object", [](protocol::json::Json& r) { r = protocol::json::Json::array(); }},
      {"base64 missing", [](protocol::json::Json& r) { r.erase("base64"); }},
      {"base64 a number", [](protocol::json::Json& r) { r["base64"] = 5; }},
      {"offset missing", [](protocol::json::Json& r) { r.erase("offset"); }},
      {"offset ahead", [](protocol::json::Json& r) { r["offset"] = 1; }},
      {"offset a string", [](protocol::json::Json& r) { r["offset"] = "0"; }},
      {"offset a float", [](protocol::json::Json& r) { r["offset"] = 0.0; }},
      {"longer than any chunk",
       [&image](protocol::json::Json& r) {
         // 42 bytes are 56 symbols, within the limit for 40 bytes, yet too many.
         r["base64"] = base64_encode(image.substr(0, 42));
         r["nextOffset"] = 42;
       }},
      {"over the symbol limit",
       [&image](protocol::json::Json& r) {
         r["base64"] = base64_encode(image.substr(0, 43));
         r["nextOffset"] = 43;
       }},
      {"padding missing",
       [&first](protocol::json::Json& r) {
         std::string text = first;
         while (!text.empty() && text.back() == '=') text.pop_back();
         r["base64"] = text;
       }},
      {"url-safe alphabet",
       [](protocol::json::Json& r) {
         r["base64"] = "-_-_";
         r["nextOffset"] = 3;
       }},
      {"empty piece",
       [](protocol::json::Json& r) {
         r["base64"] = "";
         r["nextOffset"] = 0;
       }},
      {"nextOffset missing", [](protocol::json::Json& r) { r.erase("nextOffset"); }},
      {"nextOffset wrong", [](protocol::json::Json& r) { r["nextOffset"] = 41; }},
      {"nextOffset a float", [](protocol::json::Json& r) { r["nextOffset"] = 40.0; }},
      {"eof missing", [](protocol::json::Json& r) { r.erase("eof"); }},
      {"eof a string", [](protocol::json::Json& r) { r["eof"] = "false"; }},
      {"eof early", [](protocol::json::Json& r) { r["eof"] = true; }},
  };
  ASSERT_EQ(first.size(), 56u);
  ASSERT_EQ(first.substr(54), "==");
  for (const Case& c : cases) {
    FakeExtension extension(image, 40);
    extension.tamper = [&c](std::size_t index, protocol::json::Json& reply) {
      if (index == 0) c.tamper(reply);
    };
    EXPECT_EQ(status(receive(describe(image, 40), extension.reader(), kSession)), kIncompleteText)
        << c.label;
    EXPECT_EQ(extension.requests.size(), 1u) << c.label;
  }
}

TEST(ScreenshotTest, LastChunkMustEndAtSize) {
  const std::string image = make_image(100);
  struct Case {
    std::string label;
    std::function<void(protocol::json::Json&)> tamper;
  };
  const Case cases[] = {
      {"eof false at the end", [](protocol::json::Json& r) { r["eof"] = false; }},
      {"past the end",
       [&image](protocol::json::Json& r) {
         r["base64"] = base64_encode(image.substr(80) + "extra");
         r["nextOffset"] = 105;
         r["eof"] = true;
       }},
  };
  for (const Case& c : cases) {
    FakeExtension extension(image, 40);
    extension.tamper = [&c](std::size_t index, protocol::json::Json& reply) {
      if (index == 2) c.tamper(reply);
    };
    EXPECT_EQ(status(receive(describe(image, 40), extension.reader(), kSession)), kIncompleteText)
        << c.label;
    EXPECT_EQ(extension.requests.size(), 3u) << c.label;
  }
}

TEST(ScreenshotTest, ReadFailurePassesThrough) {
  const std::string image = make_image(100);
  FakeExtension extension(image, 40);
  ReadChunk serve = extension.reader();
  int calls = 0;
  ReadChunk reader =
      [&](protocol::json::Json request) -> Result<protocol::json::Json, std::string> {
    if (++calls == 2) return Unexpected(std::string("Браузер отключился."));
    return serve(std::move(request));
  };
  EXPECT_EQ(status(receive(describe(image, 40), reader, kSession)), "Браузер отключился.");
  EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace velkor::broker::screenshot
