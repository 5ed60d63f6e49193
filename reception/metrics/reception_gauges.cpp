#include "metrics/reception_gauges.h"

#include <limits>
#include <map>
#include <vector>

#include "desk_api.h"
#include "front_desk_api.h"
#include "front_desk_store.h"
#include "storage.h"

std::optional<Gauges> readGauges(std::int64_t now) {
  std::vector<StaffRow> staff;
  std::vector<NotificationRow> waiting;
  // Archived since the end of time: only the guests still waiting.
  if (activeStaff(staff) != StoreResult::done ||
      deskNotifications(std::numeric_limits<std::int64_t>::max(), waiting) != StoreResult::done) {
    return std::nullopt;
  }
  Gauges gauges;
  std::map<std::int64_t, std::int64_t> reassigned = reassignedWaitingSince();
  for (const NotificationRow& row : waiting) {
    if (row.archivedAt) continue;
    ++gauges.guestsWaiting;
    if (*escalationAt(row, now, reassigned) != '\0') ++gauges.guestsEscalated;
  }
  for (const StaffRow& member : staff) {
    if (member.lastPollAt && now - *member.lastPollAt <= onlineWindowMs) ++gauges.notifiersOnline;
  }
  return gauges;
}

std::string receptionMetricsText() { return metricsText(readGauges(currentTimeMs())); }
