// A guest's first delivery to a notifier, written on a thread of its own:
// the poll that shows the guest answers at once, and never waits for the
// write (nor for another process holding the database).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "store/database.h"

// The guests shown at that time, to be written as delivered.
void noteDeliveries(const std::vector<std::int64_t>& ids, std::int64_t at);
// When the guest was shown, while that is not yet written; nullopt otherwise.
std::optional<std::int64_t> pendingDelivery(std::int64_t id);
// Writes, in the caller's transaction, that the guest was first shown at
// that time (nothing when a delivery is already written); false on error.
bool writeDelivery(WriteTransaction& transaction, std::int64_t id, std::int64_t shownAt);
// The same for the guest's delivery not yet written by the recorder, if any.
bool writePendingDelivery(WriteTransaction& transaction, std::int64_t id);
// Ends the thread and writes what is left (the store is closing).
void stopDeliveryRecorder();
