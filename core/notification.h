// One waiting guest, as the reception service reports it, and the list of them.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

struct Notification {
  std::string id;        // the service's identifier; unique within a NotificationList
  std::string headline;  // first display line
  std::string detail;    // second display line
  std::int32_t arrivalHour = 0;
  std::int32_t arrivalMinute = 0;
  std::int32_t arrivalSecond = 0;
};

// Appended at the end, shortened only from the front; references to elements
// stay valid while others are appended.
using NotificationList = std::deque<Notification>;
