// A guest's first delivery to a notifier, written on a thread of its own:
// the poll that shows the guest answers at once, and never waits for the
// write (nor for another process holding the database).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

// The guests shown at that time, to be written as delivered.
void noteDeliveries(const std::vector<std::int64_t>& ids, std::int64_t at);
// When the guest was shown, while that is not yet written; nullopt otherwise.
std::optional<std::int64_t> pendingDelivery(std::int64_t id);
// Ends the thread and writes what is left (the store is closing).
void stopDeliveryRecorder();
