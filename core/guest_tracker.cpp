#include "guest_tracker.h"

#include <cstdio>
#include <ctime>
#include <string>

#include "reception_client.h"
#include "settings.h"

GuestTracker guestTracker;
NotificationList notificationList;  // NOLINT(cert-err58-cpp): a process-wide object; start-up cannot go on without memory
std::int32_t (*localSecondsOfDay)() = systemLocalSecondsOfDay;

namespace {

// Signed 32-bit arithmetic that wraps instead of overflowing: arrival fields
// come from the network and may hold any 32-bit value.
std::int32_t wrapped(std::int64_t value) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(value)); }

std::int32_t secondsOfDay(std::int32_t hour, std::int32_t minute, std::int32_t second) {
  return wrapped(static_cast<std::int64_t>(hour) * 3600 + static_cast<std::int64_t>(minute) * 60 + second);
}

constexpr std::int32_t secondsPerDay = 24 * 3600;

void updateWaitingClock(GuestTracker& tracker, std::int32_t nowSecondsOfDay) {
  std::int32_t elapsed = wrapped(static_cast<std::int64_t>(nowSecondsOfDay) - tracker.arrivalSecondsOfDay);
  // Arrivals carry only a time of day. One more than half a day ahead of now
  // was yesterday: the guest came before midnight and is still waiting. A
  // nearer arrival ahead of now is clock skew against the service and keeps
  // its negative clock.
  if (elapsed < -secondsPerDay / 2) elapsed = wrapped(static_cast<std::int64_t>(elapsed) + secondsPerDay);
  // Division truncates toward zero, so a negative elapsed time gives negative parts.
  tracker.waitHours = elapsed / 3600;
  std::int32_t rest = elapsed - tracker.waitHours * 3600;
  tracker.waitMinutes = rest / 60;
  tracker.waitSeconds = rest - tracker.waitMinutes * 60;
}

}  // namespace

std::int32_t systemLocalSecondsOfDay() {
  std::time_t now = std::time(nullptr);
  // Only the window's thread asks, so the shared result of localtime is safe here.
  // cppcheck-suppress localtimeCalled
  const std::tm* local = std::localtime(&now);
  if (local == nullptr) return 0;
  return local->tm_hour * 3600 + local->tm_min * 60 + local->tm_sec;
}

bool pollDue(const GuestTracker& tracker, bool force) { return force || tracker.tickCounter + 1 >= ticksPerPoll; }

void advanceTick(GuestTracker& tracker, bool polled, const NotificationList& held, std::int32_t nowSecondsOfDay) {
  if (polled) {
    tracker.tickCounter = 0;
    if (held.empty()) {
      tracker.guestWaiting = false;
      return;
    }
    const Notification& first = held.front();
    tracker.arrivalSecondsOfDay = secondsOfDay(first.arrivalHour, first.arrivalMinute, first.arrivalSecond);
    tracker.guestWaiting = true;
  } else {
    ++tracker.tickCounter;
    if (!tracker.guestWaiting) return;
  }
  updateWaitingClock(tracker, nowSecondsOfDay);
}

void pollTick(bool force) {
  bool polled = pollDue(guestTracker, force);
  if (polled) {
    std::string& user = settingsMap[userKey];  // inserts "user" empty when absent
    fetchNotifications(user.c_str(), notificationList);
    std::printf("%d\n", static_cast<int>(notificationList.size()));
    std::fflush(stdout);  // NOLINT(cert-err33-c): diagnostics only; a failed write to standard output is passed over
  }
  advanceTick(guestTracker, polled, notificationList, localSecondsOfDay());
}

void dismissFirst() {
  if (notificationList.empty()) return;
  guestTracker.guestWaiting = false;
  archiveNotification(notificationList.front().id);
  notificationList.pop_front();
  std::printf("-1 = %d\n", static_cast<int>(notificationList.size()));
  std::fflush(stdout);  // NOLINT(cert-err33-c): diagnostics only; a failed write to standard output is passed over
}

void resetGuestTracking() {
  guestTracker = GuestTracker{};
  notificationList.clear();
}
