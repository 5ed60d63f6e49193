#include "painter.h"

#include <gdiplus.h>

#include <cstdarg>
#include <cwchar>

#include "guest_tracker.h"
#include "panel_layout.h"

namespace {

constexpr std::size_t clockBufferSize = 50;

// Created in this order at the start of a paint; members die in reverse order.
struct PanelBrushes {
  Gdiplus::SolidBrush white{Gdiplus::Color(0xFFFFFFFF)};
  Gdiplus::SolidBrush black{Gdiplus::Color(0xFF000000)};
  Gdiplus::SolidBrush lightGrey{Gdiplus::Color(0xFFDCDCDC)};
  Gdiplus::SolidBrush grey{Gdiplus::Color(0xFF646464)};
  Gdiplus::SolidBrush darkRed{Gdiplus::Color(0xFF640A0A)};
};

// The installed family only: a missing family leaves both fonts invalid, and
// then the fills still appear while the texts do not.
struct PanelFonts {
  Gdiplus::FontFamily family{L"Times New Roman", nullptr};
  Gdiplus::Font largeFont{&family, 36.0f, Gdiplus::FontStyleRegular, Gdiplus::UnitPixel};
  Gdiplus::Font smallFont{&family, 24.0f, Gdiplus::FontStyleRegular, Gdiplus::UnitPixel};
};

void fillBox(Gdiplus::Graphics& graphics, const Gdiplus::Brush& brush, const PanelBox& box) {
  graphics.FillRectangle(&brush, box.x, box.y, box.width, box.height);
}

// Top-left origin, no wrapping or clipping (empty layout box), default format.
void drawText(Gdiplus::Graphics& graphics, const std::wstring& text, const Gdiplus::Font& font, PanelPoint origin,
              const Gdiplus::Brush& brush) {
  Gdiplus::RectF layout(static_cast<float>(origin.x), static_cast<float>(origin.y), 0.0f, 0.0f);
  graphics.DrawString(text.c_str(), -1, &font, layout, nullptr, &brush);
}

PanelPoint cornerOf(const PanelBox& box) { return PanelPoint{box.x, box.y}; }

void drawPanel(Gdiplus::Graphics& graphics, const PanelBrushes& brushes, const PanelFonts& fonts,
               const Notification& first) {
  const PanelLayout& layout = panelLayout;
  fillBox(graphics, brushes.darkRed, layout.titleBand);
  drawText(graphics, L"Guest Waiting", fonts.largeFont, layout.titleText, brushes.white);
  fillBox(graphics, brushes.lightGrey, layout.guestBox);
  drawText(graphics, widenLine(first.headline), fonts.largeFont, layout.headlineText, brushes.black);
  drawText(graphics, widenLine(first.detail), fonts.smallFont, layout.detailText, brushes.black);
  fillBox(graphics, brushes.grey, layout.closeBox);
  drawText(graphics, L"Close", fonts.largeFont, cornerOf(layout.closeBox), brushes.white);
  fillBox(graphics, brushes.grey, layout.clockBox);
  drawText(graphics, clockText(guestTracker.waitMinutes, guestTracker.waitSeconds), fonts.largeFont,
           cornerOf(layout.clockBox), brushes.white);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): wraps _vsnwprintf; its one caller passes a literal format and two ints
void formatWide(wchar_t* buffer, std::size_t count, const wchar_t* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  _vsnwprintf(buffer, count, format, arguments);
  va_end(arguments);
  buffer[count - 1] = L'\0';
}

wchar_t widenHighByte(char highByte) {
  wchar_t unit = 0;
  if (MultiByteToWideChar(CP_ACP, 0, &highByte, 1, &unit, 1) != 1) return L'\xFFFD';
  return unit;
}

}  // namespace

void paintPanel(HDC deviceContext) {
  Gdiplus::Graphics graphics(deviceContext);
  PanelBrushes brushes;
  PanelFonts fonts;
  // The tracker sets guestWaiting only with a guest in the list; an empty list
  // is treated as no guest all the same.
  if (!guestTracker.guestWaiting || notificationList.empty()) return;
  drawPanel(graphics, brushes, fonts, notificationList.front());
}

std::wstring widenLine(const std::string& line) {
  std::wstring wide;
  wide.reserve(line.size());
  for (char character : line) {
    if (character == '\0') break;
    unsigned char value = static_cast<unsigned char>(character);
    wide += value < 0x80 ? static_cast<wchar_t>(value) : widenHighByte(character);
  }
  return wide;
}

std::wstring clockText(std::int32_t minutes, std::int32_t seconds) {
  wchar_t buffer[clockBufferSize];
  formatWide(buffer, clockBufferSize, L"%02i:%02i", static_cast<int>(minutes), static_cast<int>(seconds));
  return buffer;
}
