// The window's artwork, drawn in code: the three row-state icons, the ten tool bar icons
// and the about picture. Pixels are 0xAARRGGBB with straight (not premultiplied) alpha, row
// by row from the top; the Win32 layer turns them into icons and bitmaps.
#pragma once

#include <cstdint>
#include <vector>

namespace orvelle {

// In image-list order: the row states first (their index is the row's image index), then
// the tool bar buttons left to right.
enum class TkxIcon {
  Running,
  Success,
  Failure,
  Open,
  New,
  Config,
  Save,
  SaveAs,
  Update,
  Help,
  HomePage,
  Supports,
  About,
};
inline constexpr int kIconCount = static_cast<int>(TkxIcon::About) + 1;
inline constexpr int kIconSize = 16;
inline constexpr int kAboutPictureSize = 128;

// kIconSize * kIconSize pixels.
std::vector<uint32_t> DrawIcon(TkxIcon icon);
// kAboutPictureSize squared pixels: a database drum squeezed by two arrows.
std::vector<uint32_t> DrawAboutPicture();

}  // namespace orvelle
