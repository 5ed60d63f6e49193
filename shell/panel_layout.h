// Where the "Guest Waiting" panel puts its boxes and texts, in client pixels:
// the one table the painter, the window's click test and the tests read.
#pragma once

#include <cstdint>

struct PanelBox {
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
};

// A text's top-left origin.
struct PanelPoint {
  std::int32_t x = 0;
  std::int32_t y = 0;
};

struct PanelLayout {
  PanelBox titleBand{10, 10, 560, 50};
  PanelPoint titleText{180, 15};
  PanelBox guestBox{10, 65, 560, 105};
  PanelPoint headlineText{130, 75};
  PanelPoint detailText{130, 125};
  PanelBox closeBox{470, 95, 100, 40};  // its label starts at its corner
  PanelBox clockBox{10, 95, 100, 40};   // likewise
};

// The window's panel. Tests move boxes to see that every reader follows.
extern PanelLayout panelLayout;

// Strictly inside: a click on the box's edge is not on it.
bool strictlyInside(const PanelBox& box, std::int32_t x, std::int32_t y);
