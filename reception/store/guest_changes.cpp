#include "store/guest_changes.h"

#include <atomic>

namespace {

std::atomic<GuestsChangedHook> currentHook{nullptr};

}  // namespace

void setGuestsChangedHook(GuestsChangedHook hook) { currentHook.store(hook); }

void guestsChanged() {
  if (GuestsChangedHook hook = currentHook.load()) hook();
}

Outcome guestsCommitted(Outcome committed) {
  if (committed == Outcome::ok) guestsChanged();
  return committed;
}
