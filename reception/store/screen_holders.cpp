#include "store/screen_holders.h"

#include "store/delivery_recorder.h"

Outcome heldGuests(std::int64_t heldSince, std::vector<HeldGuest>& held) {
  held.clear();
  ReadSession session;
  // The waiting guests, and those archived lately of the hosts that have
  // any waiting (only they have a queue): index reads by host, however many
  // guests the day has seen.
  Statement query = session.prepare(
      "SELECT id, staff_id, delivered_at, arrived_at, 1 FROM notification WHERE archived_at IS NULL "
      "UNION ALL SELECT id, staff_id, delivered_at, arrived_at, 0 FROM notification "
      "WHERE staff_id IN (SELECT staff_id FROM notification WHERE archived_at IS NULL) AND archived_at >= ?1 "
      "AND delivered_at IS NOT NULL AND archived_by <> 'host' AND closed_on_screen_at IS NULL");
  query.bind(1, heldSince);
  int result;
  while ((result = query.step()) == SQLITE_ROW) {
    std::optional<std::int64_t> delivered = query.optionalInteger(2);
    std::int64_t id = query.integer(0);
    if (!delivered) delivered = pendingDelivery(id);
    if (!delivered) continue;
    held.push_back(HeldGuest{id, query.integer(1), *delivered, query.integer(3), query.integer(4) != 0});
  }
  if (result == SQLITE_DONE) return Outcome::ok;
  held.clear();
  return session.fail("read of the guests on the hosts' screens");
}
