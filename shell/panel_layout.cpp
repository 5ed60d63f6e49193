#include "panel_layout.h"

PanelLayout panelLayout;

bool strictlyInside(const PanelBox& box, std::int32_t x, std::int32_t y) {
  return x > box.x && x < box.x + box.width && y > box.y && y < box.y + box.height;
}
