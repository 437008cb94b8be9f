#include "admin/snapin/Images.h"

#include <array>
#include <cstdint>

#include "admin/snapin/Resources.h"

namespace quor::admin::snapin {

namespace {

// Colours as the strips hold them: 0x00BBGGRR.
constexpr uint32_t Rgb(uint32_t r, uint32_t g, uint32_t b) { return r | (g << 8) | (b << 16); }

constexpr uint32_t kBlack = Rgb(32, 32, 32);
constexpr uint32_t kWhite = Rgb(255, 255, 255);
constexpr uint32_t kGrey = Rgb(128, 128, 128);
constexpr uint32_t kFolder = Rgb(240, 200, 80);
constexpr uint32_t kFolderEdge = Rgb(160, 120, 30);
constexpr uint32_t kBlue = Rgb(40, 90, 200);
constexpr uint32_t kGreen = Rgb(40, 150, 60);
constexpr uint32_t kRed = Rgb(200, 50, 40);
constexpr uint32_t kOrange = Rgb(230, 130, 20);
constexpr uint32_t kPurple = Rgb(130, 60, 170);
constexpr uint32_t kTeal = Rgb(0, 128, 128);
constexpr uint32_t kBrown = Rgb(130, 80, 40);
constexpr uint32_t kMagenta = Rgb(190, 40, 140);
constexpr uint32_t kSkin = Rgb(240, 190, 150);

// One 16 by 16 image, drawn on the transparent colour.
class Canvas {
 public:
  Canvas() { pixels_.fill(kStripMask); }
  void Set(int x, int y, uint32_t c) {
    if (x >= 0 && x < 16 && y >= 0 && y < 16) pixels_[static_cast<size_t>(y * 16 + x)] = c;
  }
  void Fill(int x0, int y0, int x1, int y1, uint32_t c) {
    for (int y = y0; y <= y1; ++y)
      for (int x = x0; x <= x1; ++x) Set(x, y, c);
  }
  void Frame(int x0, int y0, int x1, int y1, uint32_t c) {
    for (int x = x0; x <= x1; ++x) Set(x, y0, c), Set(x, y1, c);
    for (int y = y0; y <= y1; ++y) Set(x0, y, c), Set(x1, y, c);
  }
  // A filled ellipse inside the box.
  void Oval(int x0, int y0, int x1, int y1, uint32_t c) {
    const double cx = (x0 + x1) / 2.0, cy = (y0 + y1) / 2.0;
    const double rx = (x1 - x0 + 1) / 2.0, ry = (y1 - y0 + 1) / 2.0;
    for (int y = y0; y <= y1; ++y)
      for (int x = x0; x <= x1; ++x) {
        const double dx = (x - cx) / rx, dy = (y - cy) / ry;
        if (dx * dx + dy * dy <= 1.0) Set(x, y, c);
      }
  }
  uint32_t At(int x, int y) const { return pixels_[static_cast<size_t>(y * 16 + x)]; }

 private:
  std::array<uint32_t, 256> pixels_;
};

// ---- Shapes the images are made of ----------------------------------------------------

void Folder(Canvas& c) {
  c.Fill(1, 3, 6, 4, kFolder);
  c.Fill(1, 5, 14, 13, kFolder);
  c.Frame(1, 5, 14, 13, kFolderEdge);
  c.Fill(1, 3, 6, 3, kFolderEdge);
}

// A small mark in the folder's lower right corner.
void Emblem(Canvas& c, uint32_t colour) {
  c.Fill(8, 8, 14, 14, colour);
  c.Frame(8, 8, 14, 14, kBlack);
}

void Cylinder(Canvas& c, uint32_t colour, int top = 2) {
  c.Fill(3, top + 2, 12, 13, colour);
  c.Oval(3, 11, 12, 15, colour);
  c.Oval(3, top, 12, top + 4, kWhite);
  c.Frame(3, top + 2, 3, 13, kBlack);
  c.Frame(12, top + 2, 12, 13, kBlack);
}

// A table: a header row in `colour`, then grid lines.
void Grid(Canvas& c, uint32_t colour) {
  c.Fill(1, 2, 14, 13, kWhite);
  c.Fill(1, 2, 14, 4, colour);
  c.Frame(1, 2, 14, 13, kBlack);
  for (int y : {7, 10}) c.Fill(2, y, 13, y, kGrey);
  c.Fill(7, 5, 7, 12, kGrey);
}

// A page with lines of text and a coloured corner.
void Page(Canvas& c, uint32_t colour) {
  c.Fill(3, 1, 12, 14, kWhite);
  c.Frame(3, 1, 12, 14, kBlack);
  for (int y : {4, 6, 8, 10}) c.Fill(5, y, 10, y, kGrey);
  c.Fill(9, 11, 11, 13, colour);
}

void Person(Canvas& c, int dx, uint32_t colour) {
  c.Oval(4 + dx, 1, 9 + dx, 6, kSkin);
  c.Oval(2 + dx, 8, 11 + dx, 17, colour);
}

// ---- The images, by index ---------------------------------------------------------

void DrawImage(int index, Canvas& c) {
  switch (index) {
    case 0:  // the snap-in itself
      c.Oval(2, 2, 13, 13, kBlue);
      c.Oval(5, 5, 10, 10, kWhite);
      break;
    case 1:  // the manager and its databases: a stack of stores
      Cylinder(c, kBlue, 6);
      c.Oval(3, 0, 12, 4, kWhite);
      c.Fill(3, 2, 12, 5, kBlue);
      c.Oval(3, 4, 12, 8, kWhite);
      break;
    case 2:  // one database, and a plain row
      Cylinder(c, kBlue);
      break;
    case 3: Folder(c), Emblem(c, kBlue); break;    // tables
    case 4: Grid(c, kBlue); break;                 // a table
    case 5: Folder(c), Emblem(c, kGreen); break;   // views, objects
    case 6:                                        // a view, an object
      Grid(c, kGreen);
      c.Oval(8, 7, 13, 12, kGreen);
      break;
    case 7: Folder(c), Emblem(c, kRed); break;     // procedures, logs
    case 8: Page(c, kRed); break;                  // a procedure, a log entry
    case 9: Cylinder(c, kOrange); break;           // the service's repository
    case 10: Grid(c, kOrange); break;              // content table
    case 11: Grid(c, kPurple); break;              // resource table
    case 12: Grid(c, kTeal); break;                // collaboration table
    case 13: Grid(c, kGrey); break;
    case 14: Grid(c, kBrown); break;               // log table
    case 15: Page(c, kGrey); break;
    case 16:  // transformers: one shape into another
      c.Fill(1, 3, 6, 8, kMagenta);
      c.Oval(9, 7, 14, 12, kMagenta);
      c.Fill(6, 10, 9, 10, kBlack);
      c.Set(8, 9, kBlack), c.Set(8, 11, kBlack);
      break;
    case 17: Person(c, 3, kGreen), Person(c, -1, kBlue); break;  // users
    case 18: Person(c, 1, kBlue); break;                         // a user
    case 19: Folder(c), Emblem(c, kTeal); break;                 // aliases
    case 20:                                                     // an alias
      Page(c, kTeal);
      c.Fill(5, 12, 8, 12, kTeal);
      break;
    case 21: Folder(c), Emblem(c, kPurple); break;  // synonyms
    case 22:                                        // a synonym
      Page(c, kPurple);
      c.Fill(5, 12, 8, 12, kPurple);
      c.Fill(5, 13, 8, 13, kPurple);
      break;
    default: break;
  }
}

console::ImageStrip DrawStrip(int resourceId, int scale) {
  console::ImageStrip strip;
  strip.resourceId = resourceId;
  strip.size = 16 * scale;
  strip.count = kStripImageCount;
  const int width = strip.size * strip.count;
  strip.pixels.assign(static_cast<size_t>(width * strip.size), kStripMask);
  for (int index = 0; index < kStripImageCount; ++index) {
    Canvas canvas;
    DrawImage(index, canvas);
    // The large strip is the small one's drawing, each pixel made a square.
    for (int y = 0; y < strip.size; ++y)
      for (int x = 0; x < strip.size; ++x)
        strip.pixels[static_cast<size_t>(y * width + index * strip.size + x)] = canvas.At(x / scale, y / scale);
  }
  return strip;
}

}  // namespace

console::ImageStrip LoadStrip(int resourceId) {
  if (resourceId == IDB_SMALL_STRIP) return DrawStrip(resourceId, 1);
  if (resourceId == IDB_LARGE_STRIP) return DrawStrip(resourceId, 2);
  console::ImageStrip none;
  none.resourceId = resourceId;
  return none;
}

}  // namespace quor::admin::snapin
