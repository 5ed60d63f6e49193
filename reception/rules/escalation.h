// The front desk's rules in time: when a waiting guest is escalated on the
// board, and when a finished guest's record is deleted.
#pragma once

#include <cstdint>
#include <map>
#include <optional>

#include "rules/host_screen.h"
#include "store/notifications.h"

struct FrontDeskPolicy {
  std::int64_t unseenAfterMs = 60LL * 1000;           // not yet on the host's screen
  std::int64_t unacknowledgedAfterMs = 300LL * 1000;  // on screen, not yet acknowledged
  int retentionDays = 30;                             // 0 keeps records forever
};

// A notifier that polled within this time counts as online: on the desk's
// board and in the gauges; a host silent for longer counts as offline for alerts.
constexpr std::int64_t onlineWindowMs = 30LL * 1000;

enum class Escalation { none, unseen, unacknowledged };

// Why a guest is escalated at now: not seen (seenAt) for longer than
// unseenAfterMs since it was announced to its host, or seen and not archived
// for longer than unacknowledgedAfterMs since. Archived guests never are.
Escalation escalationOf(std::int64_t announcedAt, std::optional<std::int64_t> seenAt,
                        std::optional<std::int64_t> archivedAt, std::int64_t now, const FrontDeskPolicy& policy);
// The guest's escalation at now. A reassigned guest counts as unseen from
// when the present host was given the guest (reassignedSince, from
// reassignedWaitingSince), not from the arrival. A guest queued behind
// another on the notifier is unseen unless the host's page showed it.
Escalation escalationAt(const NotificationRow& row, const GuestScreen& screen, std::int64_t now,
                        const std::map<std::int64_t, std::int64_t>& reassignedSince, const FrontDeskPolicy& policy);
// "", "unseen" or "unacknowledged", as the desk API names them.
const char* escalationName(Escalation escalation);

// Records finished before this time are deleted; none when the retention
// keeps them forever.
std::optional<std::int64_t> retentionCutoff(std::int64_t now, int retentionDays);

constexpr int maxRetentionDays = 36500;
