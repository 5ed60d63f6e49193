// What each host's notifier holds: a notifier keeps every guest it was given
// until its user clicks Close, and shows them one at a time, in the order it
// got them. These are the rows it may still hold.
#pragma once

#include <cstdint>
#include <vector>

#include "store/database.h"

struct HeldGuest {
  std::int64_t id = 0;
  std::int64_t staffId = 0;
  std::int64_t deliveredAt = 0;
  std::int64_t arrivedAt = 0;
  bool waiting = false;  // false: archived elsewhere while the notifier still shows it
};

// The delivered guests still waiting (deliveries not yet written count), and
// those delivered and then archived other than by Close since heldSince whose
// Close has not come yet.
Outcome heldGuests(std::int64_t heldSince, std::vector<HeldGuest>& held);
