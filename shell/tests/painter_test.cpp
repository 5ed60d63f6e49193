#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "guest_tracker.h"
#include "main_window.h"
#include "painter.h"
#include "panel_layout.h"
#include "shell_test_support.h"

namespace {

constexpr int width = 600;
constexpr int height = 400;
// Colours as 0xRRGGBB.
constexpr std::uint32_t untouched = 0x010203;
constexpr std::uint32_t white = 0xFFFFFF;
constexpr std::uint32_t lightGrey = 0xDCDCDC;
constexpr std::uint32_t grey = 0x646464;
constexpr std::uint32_t darkRed = 0x640A0A;

struct Area {
  int left, top, right, bottom;  // right and bottom exclusive
};

// The client area as a 32-bit top-down DIB section, pre-filled with a colour
// the panel never uses.
class Canvas {
 public:
  Canvas() {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    deviceContext_ = CreateCompatibleDC(nullptr);
    bitmap_ = CreateDIBSection(deviceContext_, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&pixels_), nullptr, 0);
    previous_ = SelectObject(deviceContext_, bitmap_);
    for (int i = 0; i < width * height; ++i) pixels_[i] = untouched;
  }
  ~Canvas() {
    SelectObject(deviceContext_, previous_);
    DeleteObject(bitmap_);
    DeleteDC(deviceContext_);
  }
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;

  void paint() {
    paintPanel(deviceContext_);
    GdiFlush();
  }
  std::uint32_t at(int x, int y) const { return pixels_[y * width + x] & 0xFFFFFF; }
  int countNot(std::uint32_t colour, Area area) const {
    int count = 0;
    for (int y = area.top; y < area.bottom; ++y)
      for (int x = area.left; x < area.right; ++x) count += at(x, y) != colour;
    return count;
  }
  int count(std::uint32_t colour, Area area) const {
    return (area.right - area.left) * (area.bottom - area.top) - countNot(colour, area);
  }
  std::vector<std::uint32_t> all() const {
    std::vector<std::uint32_t> copy(static_cast<std::size_t>(width * height));
    for (int i = 0; i < width * height; ++i) copy[static_cast<std::size_t>(i)] = pixels_[i] & 0xFFFFFF;
    return copy;
  }
  bool ready() const { return pixels_ != nullptr; }

 private:
  HDC deviceContext_ = nullptr;
  HBITMAP bitmap_ = nullptr;
  HGDIOBJ previous_ = nullptr;
  std::uint32_t* pixels_ = nullptr;
};

constexpr Area areaOf(const PanelBox& box) { return {box.x, box.y, box.x + box.width, box.y + box.height}; }

// Where each text of the panel lies, between the fills around it.
constexpr PanelLayout layout{};
constexpr Area titleText{layout.titleText.x, layout.titleText.y, areaOf(layout.titleBand).right,
                         areaOf(layout.titleBand).bottom};
constexpr Area headlineText{layout.headlineText.x, layout.headlineText.y, layout.closeBox.x, layout.detailText.y};
constexpr Area detailText{layout.detailText.x, layout.detailText.y, layout.closeBox.x, areaOf(layout.guestBox).bottom};
constexpr Area closeBox = areaOf(layout.closeBox);
constexpr Area clockBox = areaOf(layout.clockBox);

class PanelPainting : public ShellStateTest {
 protected:
  void SetUp() override {
    ShellStateTest::SetUp();
    startGdiplus();
    ASSERT_TRUE(canvas_.ready());
  }
  void showGuest(const std::string& headline, const std::string& detail) {
    notificationList = {Notification{"n1", headline, detail, 9, 0, 0}};
    guestTracker.guestWaiting = true;
    guestTracker.waitMinutes = 1;
    guestTracker.waitSeconds = 5;
  }
  Canvas canvas_;
};

TEST_F(PanelPainting, NothingIsDrawnWhileNoGuestWaits) {
  notificationList = {Notification{"n1", "Mr Smith", "at the desk", 9, 0, 0}};
  guestTracker.guestWaiting = false;
  canvas_.paint();
  EXPECT_EQ(canvas_.countNot(untouched, {0, 0, width, height}), 0);

  // A flag without a guest in the list draws nothing either.
  notificationList.clear();
  guestTracker.guestWaiting = true;
  canvas_.paint();
  EXPECT_EQ(canvas_.countNot(untouched, {0, 0, width, height}), 0);
}

TEST_F(PanelPainting, RectanglesHaveTheirColoursAndPlaces) {
  showGuest("Mr Smith", "at the desk");
  canvas_.paint();
  struct Sample {
    int x, y;
    std::uint32_t colour;
  };
  const Sample samples[] = {
      {10, 10, darkRed},    {569, 59, darkRed},   {15, 40, darkRed},    {9, 10, untouched},  {570, 30, untouched},
      {300, 60, untouched}, {300, 64, untouched}, {10, 65, lightGrey},  {569, 169, lightGrey}, {300, 170, untouched},
      {9, 100, untouched},  {470, 95, grey},      {569, 134, grey},     {469, 100, lightGrey}, {470, 135, lightGrey},
      {570, 100, untouched}, {10, 95, grey},      {109, 134, grey},     {110, 100, lightGrey}, {10, 135, lightGrey},
      {599, 399, untouched},
  };
  for (const Sample& sample : samples) {
    EXPECT_EQ(canvas_.at(sample.x, sample.y), sample.colour) << "at (" << sample.x << ", " << sample.y << ")";
  }
}

TEST_F(PanelPainting, EveryTextLeavesInkInItsArea) {
  showGuest("Mr Smith", "at the desk");
  canvas_.paint();
  EXPECT_GT(canvas_.countNot(darkRed, titleText), 100) << "Guest Waiting";
  EXPECT_GT(canvas_.count(white, titleText), 20);
  EXPECT_GT(canvas_.countNot(lightGrey, headlineText), 100) << "headline";
  EXPECT_GT(canvas_.count(0x000000, headlineText), 20);
  EXPECT_GT(canvas_.countNot(lightGrey, detailText), 50) << "detail";
  EXPECT_GT(canvas_.countNot(grey, closeBox), 100) << "Close";
  EXPECT_GT(canvas_.count(white, closeBox), 20);
  EXPECT_GT(canvas_.countNot(grey, clockBox), 100) << "clock";
}

// Rows of area that hold ink (anything but background) between x left and right.
int inkRows(const Canvas& canvas, Area area, std::uint32_t background) {
  int rows = 0;
  for (int y = area.top; y < area.bottom; ++y) rows += canvas.countNot(background, {area.left, y, area.right, y + 1}) > 0;
  return rows;
}

TEST_F(PanelPainting, HeadlineAndDetailAreSetInThirtySixAndTwentyFourPixelFonts) {
  // Capitals only: their ink is the cap height, about two thirds of the em
  // size in this serif face. Points instead of pixels would make both a third
  // taller; swapped fonts would swap the heights.
  showGuest("HHHH", "HHHH");
  canvas_.paint();
  int large = inkRows(canvas_, headlineText, lightGrey);
  int small = inkRows(canvas_, detailText, lightGrey);
  EXPECT_GE(large, 21);
  EXPECT_LE(large, 27);
  EXPECT_GE(small, 14);
  EXPECT_LE(small, 18);
  EXPECT_GT(canvas_.count(0x000000, detailText), 20) << "the detail is drawn in black";
}

TEST_F(PanelPainting, AnEmptyLineDrawsNothingAndLeavesTheRestAlone) {
  showGuest("", "at the desk");
  canvas_.paint();
  EXPECT_EQ(canvas_.countNot(lightGrey, headlineText), 0);
  EXPECT_GT(canvas_.countNot(lightGrey, detailText), 50);
  EXPECT_GT(canvas_.countNot(grey, closeBox), 100);

  Canvas other;
  showGuest("Mr Smith", "");
  other.paint();
  EXPECT_GT(other.countNot(lightGrey, headlineText), 100);
  EXPECT_EQ(other.countNot(lightGrey, detailText), 0);
  EXPECT_GT(other.countNot(darkRed, titleText), 100);
}

TEST_F(PanelPainting, CloseBoxAndLabelFollowTheRectangle) {
  panelLayout.closeBox = PanelBox{200, 200, 150, 60};
  showGuest("Mr Smith", "at the desk");
  canvas_.paint();
  EXPECT_EQ(canvas_.at(200, 200), grey);
  EXPECT_EQ(canvas_.at(349, 259), grey);
  EXPECT_EQ(canvas_.at(350, 230), untouched);
  EXPECT_GT(canvas_.count(white, {200, 200, 350, 260}), 20) << "the label moved with the box";
  EXPECT_EQ(canvas_.countNot(lightGrey, closeBox), 0) << "nothing left at the old place";
  EXPECT_EQ(canvas_.at(10, 95), grey) << "the clock box stays";
}

TEST_F(PanelPainting, CloseBoxCoversALongHeadlineThatRunsOnPastTheArea) {
  showGuest(std::string(40, 'W'), "");
  canvas_.paint();
  // Filled after the text: no black in the box, only its grey and the white label.
  EXPECT_EQ(canvas_.count(0x000000, closeBox), 0);
  EXPECT_EQ(canvas_.countNot(grey, {470, 95, 475, 135}), 0);
  // No clipping: the line goes on beyond the light grey area.
  EXPECT_GT(canvas_.countNot(untouched, {571, 75, width, 120}), 50);
}

TEST_F(PanelPainting, ANulByteEndsTheDrawnLine) {
  showGuest("Ab", "");
  canvas_.paint();
  Canvas cut;
  showGuest(std::string("Ab\0WWWW", 7), "");
  cut.paint();
  Canvas whole;
  showGuest("AbWWWW", "");
  whole.paint();
  EXPECT_EQ(cut.all(), canvas_.all());
  EXPECT_NE(whole.all(), canvas_.all());
}

TEST_F(PanelPainting, OnlyTheFirstGuestIsShown) {
  showGuest("Ab", "cd");
  canvas_.paint();
  Canvas two;
  notificationList.push_back(Notification{"n2", "Something else entirely", "elsewhere", 9, 0, 0});
  two.paint();
  EXPECT_EQ(two.all(), canvas_.all());
}

TEST(ClockText, MinutesAndSecondsWithTwoDigitsAndTheirSign) {
  EXPECT_EQ(clockText(1, 5), L"01:05");
  EXPECT_EQ(clockText(0, 0), L"00:00");
  EXPECT_EQ(clockText(12, 34), L"12:34");
  EXPECT_EQ(clockText(0, -5), L"00:-5");
  EXPECT_EQ(clockText(-12, -34), L"-12:-34");
  EXPECT_EQ(clockText(INT_MIN, INT_MIN), L"-2147483648:-2147483648");
}

TEST(WidenLine, OneUnitPerByteUpToTheFirstNul) {
  EXPECT_EQ(widenLine("Mr Smith, Room 4!"), L"Mr Smith, Room 4!");
  EXPECT_EQ(widenLine(std::string("Ab\0cd", 5)), L"Ab");
  EXPECT_EQ(widenLine(""), L"");
  std::string high = "\x80\xA0\xE9\xFF";
  EXPECT_EQ(widenLine("x" + high).size(), 5u);
  if (GetACP() == 1252) {
    EXPECT_EQ(widenLine(high), L"\x20AC\x00A0\x00E9\x00FF");
  }
}

}  // namespace
