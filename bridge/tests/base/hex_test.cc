#include "base/hex.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace velkor {
namespace {

TEST(HexTest, TwoLowerCaseDigitsPerByteHighNibbleFirst) {
  EXPECT_EQ(to_hex({}), "");
  const std::array<unsigned char, 6> bytes = {0x00, 0x01, 0x0f, 0x10, 0xa5, 0xff};
  EXPECT_EQ(to_hex(bytes), "00010f10a5ff");
  std::vector<unsigned char> every(256);
  for (int i = 0; i < 256; ++i) every[i] = static_cast<unsigned char>(i);
  const std::string text = to_hex(every);
  ASSERT_EQ(text.size(), 512u);
  EXPECT_EQ(text.substr(0, 6), "000102");
  EXPECT_EQ(text.substr(318, 6), "9fa0a1");
  EXPECT_EQ(text.substr(506), "fdfeff");
}

}  // namespace
}  // namespace velkor
