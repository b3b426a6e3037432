#include "ui/icons.h"

#include <gtest/gtest.h>

#include <set>

namespace orvelle {
namespace {

int Opaque(const std::vector<uint32_t>& pixels) {
  int n = 0;
  for (uint32_t p : pixels) n += (p >> 24) == 0xFF;
  return n;
}

TEST(UiIcons, EveryIconIsItsOwnDrawingOnATransparentGround) {
  std::set<std::vector<uint32_t>> seen;
  for (int i = 0; i < kIconCount; ++i) {
    SCOPED_TRACE(i);
    const std::vector<uint32_t> pixels = DrawIcon(static_cast<TkxIcon>(i));
    ASSERT_EQ(pixels.size(), static_cast<size_t>(kIconSize * kIconSize));
    EXPECT_GT(Opaque(pixels), 20);
    EXPECT_LT(Opaque(pixels), kIconSize * kIconSize);
    EXPECT_TRUE(seen.insert(pixels).second);
  }
}

TEST(UiIcons, RowStateIconsHaveTheirColours) {
  // The middle of each state icon: blue triangle, green tick, red cross.
  auto at = [](TkxIcon icon, int x, int y) {
    return DrawIcon(icon)[static_cast<size_t>(y * kIconSize + x)] & 0xFFFFFF;
  };
  EXPECT_EQ(at(TkxIcon::Running, 7, 8), 0x1E6FD9u);
  EXPECT_EQ(at(TkxIcon::Success, 6, 11), 0x23A33Au);
  EXPECT_EQ(at(TkxIcon::Failure, 8, 8), 0xD93025u);
}

TEST(UiIcons, AboutPictureFillsItsSquare) {
  const std::vector<uint32_t> pixels = DrawAboutPicture();
  ASSERT_EQ(pixels.size(), static_cast<size_t>(kAboutPictureSize * kAboutPictureSize));
  EXPECT_GT(Opaque(pixels), kAboutPictureSize * kAboutPictureSize / 4);
  EXPECT_EQ(pixels[0] >> 24, 0u);
}

}  // namespace
}  // namespace orvelle
