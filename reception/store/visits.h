// Visits: every announcement, from the desk, the kiosk or an invitation,
// starts one; it ends when the guest signs out (at the desk, the kiosk, or
// automatically at the day's sign-out time).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store/database.h"
#include "store/notifications.h"

struct VisitStart {
  std::int64_t staffId = 0;
  std::string guestName;
  std::string company;  // "" when not given
  std::string note;     // the announcement's note
  std::string method;   // "desk", "kiosk" or "invitation"
  std::string checkedInBy;  // the desk or kiosk account's name
  std::optional<std::string> houseRulesVersion;  // with the SHA-256 of their text, when accepted
  std::optional<std::string> houseRulesSha256;
};

struct VisitRow {
  std::int64_t id = 0;
  std::string guestName;
  std::string company;
  std::int64_t staffId = 0;
  std::string hostName;
  std::string method;
  std::int64_t checkedInAt = 0;
};

// Announces the guest and starts the visit in one transaction; the outcomes
// of addNotification (notFound: no such active host; conflict: the host's
// waiting guests at maxWaiting).
Outcome startVisit(const VisitStart& start, int maxWaiting, NotificationRow& announced, std::int64_t& visitId);
// The same in the caller's transaction, which commits it.
Outcome startVisitIn(WriteTransaction& transaction, const VisitStart& start, int maxWaiting, NotificationRow& announced,
                     std::int64_t& visitId);
// The visits on site (checked in, not signed out), oldest first; with
// since > 0 only those checked in at or after it.
Outcome onSiteVisits(std::int64_t since, std::vector<VisitRow>& visits);
// Signs one visit out; notFound when it is not on site.
Outcome signOutVisit(std::int64_t id, const std::string& by, VisitRow& visit);
// Signs out every visit still on site ("automatic"); how many in count.
Outcome signOutEveryone(const std::string& by, std::int64_t& count);

struct HostName {
  std::int64_t id = 0;
  std::string name;
};
// Active members whose display name holds part (any case for ASCII letters),
// by name, at most limit of them: the kiosk's host search.
Outcome findActiveHosts(const std::string& part, std::size_t limit, std::vector<HostName>& hosts);
