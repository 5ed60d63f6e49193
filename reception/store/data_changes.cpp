#include "store/data_changes.h"

#include <array>
#include <atomic>
#include <cstdlib>

namespace {

struct Slot {
  std::atomic<DataChangeListener> listener{nullptr};
  std::atomic<bool> lagging{false};
};

std::array<Slot, 4> slots;
std::atomic<std::int64_t> changes{0};

void tell(Slot& slot, DataChangeListener listener) {
  if (!listener()) slot.lagging.store(true);
}

}  // namespace

void listenForDataChanges(DataChangeListener listener) {
  for (Slot& slot : slots) {
    DataChangeListener expected = nullptr;
    if (slot.listener.compare_exchange_strong(expected, listener) || expected == listener) return;
  }
  // Only a handful of views exist: more is a mistake of the code, not of the data.
  std::abort();
}

void dataChanged() {
  ++changes;
  for (Slot& slot : slots) {
    if (DataChangeListener listener = slot.listener.load()) tell(slot, listener);
  }
}

std::int64_t dataChangeCount() { return changes.load(); }

void tellAgainLater(DataChangeListener listener) {
  for (Slot& slot : slots) {
    if (slot.listener.load() == listener) slot.lagging.store(true);
  }
}

void tellLaggingListeners() {
  for (Slot& slot : slots) {
    DataChangeListener listener = slot.listener.load();
    if (listener != nullptr && slot.lagging.exchange(false)) tell(slot, listener);
  }
}
