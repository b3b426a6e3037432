#include "ui/icons.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <utility>

namespace orvelle {
namespace {

constexpr double kPi = 3.14159265358979323846;

using Shape = std::function<bool(double x, double y)>;

// A square canvas addressed in a 16-unit design grid whatever its pixel size; each shape is
// sampled 4 x 4 times per pixel and laid over what is there.
class Canvas {
 public:
  explicit Canvas(int size) : size_(size), pixels_(static_cast<size_t>(size * size), 0) {}

  void Fill(const Shape& inside, uint32_t rgb) {
    const double unit = 16.0 / size_;
    for (int py = 0; py < size_; ++py) {
      for (int px = 0; px < size_; ++px) {
        int hits = 0;
        for (int sy = 0; sy < 4; ++sy) {
          for (int sx = 0; sx < 4; ++sx) {
            if (inside((px + (sx + 0.5) / 4) * unit, (py + (sy + 0.5) / 4) * unit)) ++hits;
          }
        }
        if (hits > 0) Blend(pixels_[static_cast<size_t>(py * size_ + px)], rgb, hits / 16.0);
      }
    }
  }
  std::vector<uint32_t> Take() { return std::move(pixels_); }

 private:
  // Straight-alpha "over".
  static void Blend(uint32_t& dst, uint32_t rgb, double a) {
    const double da = (dst >> 24) / 255.0;
    const double oa = a + da * (1 - a);
    auto channel = [&](int shift) {
      const double s = (rgb >> shift) & 0xFF;
      const double d = (dst >> shift) & 0xFF;
      return static_cast<uint32_t>(std::lround((s * a + d * da * (1 - a)) / oa)) & 0xFF;
    };
    dst = (static_cast<uint32_t>(std::lround(oa * 255)) << 24) | (channel(16) << 16) |
          (channel(8) << 8) | channel(0);
  }

  int size_;
  std::vector<uint32_t> pixels_;
};

Shape Rect(double x0, double y0, double x1, double y1) {
  return [=](double x, double y) { return x >= x0 && x < x1 && y >= y0 && y < y1; };
}

Shape Ellipse(double cx, double cy, double rx, double ry) {
  return [=](double x, double y) {
    const double dx = (x - cx) / rx;
    const double dy = (y - cy) / ry;
    return dx * dx + dy * dy <= 1;
  };
}

Shape Circle(double cx, double cy, double r) { return Ellipse(cx, cy, r, r); }

// A ring between two radii, limited to the angles from `from` to `to` (degrees, clockwise
// from three o'clock, since y grows downwards).
Shape Arc(double cx, double cy, double r0, double r1, double from, double to) {
  return [=](double x, double y) {
    const double d = std::hypot(x - cx, y - cy);
    if (d < r0 || d > r1) return false;
    double angle = std::atan2(y - cy, x - cx) * 180 / kPi;
    while (angle < from) angle += 360;
    return angle <= to;
  };
}

Shape Line(double x0, double y0, double x1, double y1, double width) {
  return [=](double x, double y) {
    const double vx = x1 - x0;
    const double vy = y1 - y0;
    const double len2 = vx * vx + vy * vy;
    double t = len2 > 0 ? ((x - x0) * vx + (y - y0) * vy) / len2 : 0;
    t = std::clamp(t, 0.0, 1.0);
    return std::hypot(x - (x0 + t * vx), y - (y0 + t * vy)) <= width / 2;
  };
}

Shape Polygon(std::vector<std::pair<double, double>> points) {
  return [points = std::move(points)](double x, double y) {
    bool inside = false;
    for (size_t i = 0, j = points.size() - 1; i < points.size(); j = i++) {
      const auto& [xi, yi] = points[i];
      const auto& [xj, yj] = points[j];
      if ((yi > y) != (yj > y) && x < (xj - xi) * (y - yi) / (yj - yi) + xi) inside = !inside;
    }
    return inside;
  };
}

Shape Moved(Shape shape, double dx, double dy, double scale = 1) {
  return [=](double x, double y) { return shape((x - dx) / scale, (y - dy) / scale); };
}

constexpr uint32_t kBlue = 0x1E6FD9;
constexpr uint32_t kGreen = 0x23A33A;
constexpr uint32_t kRed = 0xD93025;
constexpr uint32_t kGrey = 0x6B6B6B;
constexpr uint32_t kWhite = 0xFFFFFF;

void Floppy(Canvas& c, double dx, double dy, double scale) {
  c.Fill(Moved(Rect(1.5, 1.5, 14.5, 14.5), dx, dy, scale), 0x2F5FA8);
  c.Fill(Moved(Rect(4, 1.5, 12, 7), dx, dy, scale), kWhite);
  c.Fill(Moved(Rect(9.5, 2.5, 11, 6), dx, dy, scale), 0x2F5FA8);
  c.Fill(Moved(Rect(4.5, 10, 11.5, 14.5), dx, dy, scale), 0xC8CDD6);
}

}  // namespace

std::vector<uint32_t> DrawIcon(TkxIcon icon) {
  Canvas c(kIconSize);
  switch (icon) {
    case TkxIcon::Running:
      c.Fill(Polygon({{4, 2.5}, {13.5, 8}, {4, 13.5}}), kBlue);
      break;
    case TkxIcon::Success:
      c.Fill(Line(2.5, 8.5, 6.5, 12.5, 2.6), kGreen);
      c.Fill(Line(6.5, 12.5, 13.5, 3.5, 2.6), kGreen);
      break;
    case TkxIcon::Failure:
      c.Fill(Line(3.5, 3.5, 12.5, 12.5, 2.8), kRed);
      c.Fill(Line(12.5, 3.5, 3.5, 12.5, 2.8), kRed);
      break;
    case TkxIcon::Open:
      c.Fill(Polygon({{0.5, 3}, {6, 3}, {7.5, 4.5}, {14, 4.5}, {14, 13.5}, {0.5, 13.5}}), 0xB7862A);
      c.Fill(Polygon({{3, 7.5}, {15.8, 7.5}, {13, 13.5}, {0.5, 13.5}}), 0xF2C94C);
      break;
    case TkxIcon::New:
      c.Fill(Polygon({{2.5, 0.5}, {10, 0.5}, {13.5, 4}, {13.5, 15.5}, {2.5, 15.5}}), kGrey);
      c.Fill(Polygon({{3.5, 1.5}, {9.5, 1.5}, {12.5, 4.5}, {12.5, 14.5}, {3.5, 14.5}}), kWhite);
      c.Fill(Polygon({{9.5, 1.5}, {12.5, 4.5}, {9.5, 4.5}}), 0xC8CDD6);
      break;
    case TkxIcon::Config:
      // A wrench from top left and a screwdriver from top right, crossed.
      c.Fill(Line(4, 4, 13, 13, 2.2), kGrey);
      c.Fill(Circle(3.5, 3.5, 3), kGrey);
      c.Fill(Line(12.5, 3.5, 7, 9, 1.3), 0x9AA0A6);
      c.Fill(Line(7.5, 8.5, 3, 13, 3.2), kRed);
      break;
    case TkxIcon::Save:
      Floppy(c, 0, 0, 1);
      break;
    case TkxIcon::SaveAs:
      Floppy(c, 0, 0, 0.7);
      Floppy(c, 5, 5, 0.7);
      break;
    case TkxIcon::Update:
      c.Fill(Arc(8, 8, 4, 6, 200, 340), kGreen);
      c.Fill(Arc(8, 8, 4, 6, 20, 160), kGreen);
      c.Fill(Polygon({{11.5, 0.5}, {15.5, 5}, {10, 6}}), kGreen);
      c.Fill(Polygon({{4.5, 15.5}, {0.5, 11}, {6, 10}}), kGreen);
      break;
    case TkxIcon::Help:
      c.Fill(Circle(8, 8, 7.5), kBlue);
      c.Fill(Arc(8, 6, 1.6, 3.2, 180, 405), kWhite);
      c.Fill(Rect(7.2, 7.5, 8.8, 10), kWhite);
      c.Fill(Circle(8, 12.3, 1.1), kWhite);
      break;
    case TkxIcon::HomePage:
      c.Fill(Rect(3, 7.5, 13, 15), 0xF0E0C0);
      c.Fill(Polygon({{0.5, 8.5}, {8, 1}, {15.5, 8.5}}), 0xB03A2E);
      c.Fill(Rect(6.8, 10, 9.5, 15), 0x7A4A21);
      break;
    case TkxIcon::Supports:
      c.Fill(Rect(0.5, 3, 15.5, 13.5), kGrey);
      c.Fill(Rect(1.5, 4, 14.5, 12.5), kWhite);
      c.Fill(Line(1.5, 4, 8, 9, 1.2), kGrey);
      c.Fill(Line(14.5, 4, 8, 9, 1.2), kGrey);
      break;
    case TkxIcon::About:
      c.Fill(Ellipse(8, 7, 7.5, 6.2), kBlue);
      c.Fill(Polygon({{3.5, 10}, {7, 12}, {2, 15.5}}), kBlue);
      c.Fill(Circle(8, 3.8, 1.2), kWhite);
      c.Fill(Rect(7, 6, 9, 11), kWhite);
      break;
  }
  return c.Take();
}

std::vector<uint32_t> DrawAboutPicture() {
  Canvas c(kAboutPictureSize);
  constexpr uint32_t kDrum = 0xE8EEF8;
  constexpr uint32_t kShade = 0xB9C7E0;
  constexpr uint32_t kArrow = 0xFFC233;
  c.Fill(Rect(4, 4.5, 12, 11.5), kDrum);
  c.Fill(Ellipse(8, 11.5, 4, 1.6), kDrum);
  c.Fill(Ellipse(8, 4.5, 4, 1.6), kShade);
  c.Fill(Arc(8, 7, 3.95, 4.2, 20, 160), kShade);
  c.Fill(Arc(8, 9.3, 3.95, 4.2, 20, 160), kShade);
  // Two arrows pressing the drum from the sides.
  c.Fill(Polygon({{0.3, 6.5}, {2, 6.5}, {2, 5.5}, {3.6, 8}, {2, 10.5}, {2, 9.5}, {0.3, 9.5}}),
         kArrow);
  c.Fill(
      Polygon({{15.7, 6.5}, {14, 6.5}, {14, 5.5}, {12.4, 8}, {14, 10.5}, {14, 9.5}, {15.7, 9.5}}),
      kArrow);
  return c.Take();
}

}  // namespace orvelle
