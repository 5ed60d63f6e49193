// Guest tracking: the poll cycle, the list of waiting guests, the
// guest-waiting flag, the waiting clock and the dismiss operation.
#pragma once

#include <cstdint>

#include "notification.h"

struct GuestTracker {
  std::int32_t tickCounter = 0;   // ticks since the last poll
  std::int32_t pollInterval = 10; // a tick polls once tickCounter exceeds this
  bool guestWaiting = false;      // the panel is shown and the window raised
  std::int32_t arrivalSecondsOfDay = 0;
  std::int32_t waitHours = 0;
  std::int32_t waitMinutes = 0;
  std::int32_t waitSeconds = 0;
};

extern GuestTracker guestTracker;
extern NotificationList notificationList;

// Seconds since local midnight, now. Tests replace it to fix the time of day.
extern std::int32_t (*localSecondsOfDay)();
std::int32_t systemLocalSecondsOfDay();

// One tick of the 1000 ms timer, or the forced poll at start-up.
void pollTick(bool force);
// Archives and removes the first notification.
void dismissFirst();

// Back to the state at process start (tests only).
void resetGuestTracking();
