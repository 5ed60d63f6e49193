#include "desk/gauges.h"

#include <limits>
#include <map>
#include <vector>

#include "desk/desk.h"
#include "store/notifications.h"
#include "store/screen_holders.h"
#include "store/staff.h"

std::optional<Gauges> readGauges(std::int64_t now, const FrontDeskPolicy& policy) {
  std::vector<StaffRow> staff;
  std::vector<NotificationRow> waiting;
  std::map<std::int64_t, std::int64_t> reassigned;
  std::vector<HeldGuest> held;
  // Archived since the end of time: only the guests still waiting.
  if (activeStaff(staff) != Outcome::ok ||
      deskNotifications(std::numeric_limits<std::int64_t>::max(), waiting) != Outcome::ok ||
      reassignedWaitingSince(reassigned) != Outcome::ok || heldGuests(now - heldAfterArchiveMs, held) != Outcome::ok) {
    return std::nullopt;
  }
  std::map<std::int64_t, GuestScreen> screens = screenPlaces(std::move(held));
  Gauges gauges;
  for (const NotificationRow& row : waiting) {
    if (row.archivedAt) continue;
    ++gauges.guestsWaiting;
    if (escalationAt(row, screens[row.id], now, reassigned, policy) != Escalation::none) ++gauges.guestsEscalated;
  }
  for (const StaffRow& member : staff) {
    if (member.lastPollAt && now - *member.lastPollAt <= onlineWindowMs) ++gauges.notifiersOnline;
  }
  return gauges;
}
