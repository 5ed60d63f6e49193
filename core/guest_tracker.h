// Guest tracking: the poll cycle, the list of waiting guests, the
// guest-waiting flag, the waiting clock and the dismiss operation.
// Errors: none to report; a poll that gets no answer is a poll that found
// nobody new, and the held guests stay.
#pragma once

#include <cstdint>

#include "notification.h"

// The timer ticks once a second; the twelfth tick after a poll polls again,
// so the service is asked every 12 seconds.
constexpr std::int32_t ticksPerPoll = 12;

struct GuestTracker {
  std::int32_t tickCounter = 0;   // ticks since the last poll
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

// The poll's decisions, apart from the network. Whether this tick polls: a
// forced one always does.
bool pollDue(const GuestTracker& tracker, bool force);
// The tracker after one tick at nowSecondsOfDay. On a polling tick, held is
// the list with the service's answer merged in (decodeNotifications merges):
// its first guest, if any, waits and is timed from its arrival. Otherwise
// the clock of a waiting guest runs on.
void advanceTick(GuestTracker& tracker, bool polled, const NotificationList& held, std::int32_t nowSecondsOfDay);

// One tick of the 1000 ms timer, or the forced poll at start-up: asks the
// service when a poll is due and advances the tracker.
void pollTick(bool force);
// Archives and removes the first notification.
void dismissFirst();

// Back to the state at process start (tests only).
void resetGuestTracking();
