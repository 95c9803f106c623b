#include "broker/screenshot/base64.h"

#include <gtest/gtest.h>

#include <string>

namespace velkor::broker::screenshot {
namespace {

TEST(Base64Test, Vectors) {
  struct Case {
    std::string_view bytes;
    std::string_view text;
  };
  const Case cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"\xff\xfe", "//4="},
      {"\xfb\xff", "+/8="},
      {std::string_view("\0\0\0", 3), "AAAA"},
      {"\x89PNG\r\n\x1a\n", "iVBORw0KGgo="},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(base64_encode(c.bytes), c.text);
    EXPECT_EQ(base64_decode_strict(c.text), std::string(c.bytes)) << c.text;
  }
}

TEST(Base64Test, RoundTripEveryTailLength) {
  std::string bytes;
  for (int i = 0; i < 260; ++i) {
    EXPECT_EQ(base64_decode_strict(base64_encode(bytes)), bytes) << "length " << i;
    bytes += static_cast<char>(255 - i * 7);
  }
}

TEST(Base64Test, RejectsNonCanonicalText) {
  const std::string_view cases[] = {
      "Zg",          // padding missing
      "Zg=",         // padding cut short
      "Zm8",         // padding missing
      "Zh==",        // unused bits set in the last symbol
      "Zm9=",        // unused bits set in the last symbol
      "Zg==Zg==",    // padding before the end
      "Zm=v",        // padding inside a group
      "Z===",        // three padding characters
      "====",        // padding only
      "Zm9vY===",    // wrong length
      "Zm9vYmFy=",   // wrong length
      "Zm9-",        // URL-safe alphabet
      "Zm9_",        // URL-safe alphabet
      "Zm9v\n",      // white space
      " Zm9v",       // white space
      "Zm 9",        // white space
      "\xc3\xa9ZZ",  // not ASCII
      std::string_view("Zm\0v", 4),
  };
  for (std::string_view text : cases) {
    EXPECT_EQ(base64_decode_strict(text), std::nullopt) << text;
    // A refused piece leaves the image it would have been added to as it was.
    std::string image = "\x89PNG";
    EXPECT_FALSE(base64_decode_append(text, image)) << text;
    EXPECT_EQ(image, "\x89PNG");
  }
}

TEST(Sha256Test, Vectors) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256_hex(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace
}  // namespace velkor::broker::screenshot
