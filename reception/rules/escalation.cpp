#include "rules/escalation.h"

Escalation escalationOf(std::int64_t announcedAt, std::optional<std::int64_t> seenAt,
                        std::optional<std::int64_t> archivedAt, std::int64_t now, const FrontDeskPolicy& policy) {
  if (archivedAt) return Escalation::none;
  if (!seenAt) return now - announcedAt > policy.unseenAfterMs ? Escalation::unseen : Escalation::none;
  return now - *seenAt > policy.unacknowledgedAfterMs ? Escalation::unacknowledged : Escalation::none;
}

Escalation escalationAt(const NotificationRow& row, const GuestScreen& screen, std::int64_t now,
                        const std::map<std::int64_t, std::int64_t>& reassignedSince, const FrontDeskPolicy& policy) {
  auto reassigned = reassignedSince.find(row.id);
  std::int64_t announcedAt = reassigned == reassignedSince.end() ? row.arrivedAt : reassigned->second;
  return escalationOf(announcedAt, seenAt(screen, row.deliveredAt, row.seenOnPageAt), row.archivedAt, now, policy);
}

const char* escalationName(Escalation escalation) {
  switch (escalation) {
    case Escalation::unseen: return "unseen";
    case Escalation::unacknowledged: return "unacknowledged";
    default: return "";
  }
}

std::optional<std::int64_t> retentionCutoff(std::int64_t now, int retentionDays) {
  if (retentionDays <= 0) return std::nullopt;
  constexpr std::int64_t dayMs = 24LL * 60 * 60 * 1000;
  return now - retentionDays * dayMs;
}
