// Where a waiting guest stands on the host's screens. The notifier shows one
// guest at a time: the first it was given of those it still holds (it keeps
// each until its user clicks Close, even one withdrawn meanwhile); the others
// wait behind it. The host's own page shows every guest at once.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "store/screen_holders.h"

enum class ScreenPlace { none, shown, queued };

struct GuestScreen {
  ScreenPlace place = ScreenPlace::none;  // none: not delivered to a notifier
  int queuedBehind = 0;                   // queued: delivered guests ahead of it
};

// A guest archived other than by Close counts as still held by the notifier
// for this long at most: past it, the notifier has surely been restarted or closed.
constexpr std::int64_t heldAfterArchiveMs = 12LL * 60 * 60 * 1000;

// The place of each waiting guest among the guests the notifiers hold, in the
// order a notifier got them: by delivery (one poll gives several at once),
// then as the poll lists them (arrival, then id).
std::map<std::int64_t, GuestScreen> screenPlaces(std::vector<HeldGuest> held);

// When the guest first stood where the host sees it: shown by the notifier
// (from its delivery) or on the host's open page; nullopt while neither.
std::optional<std::int64_t> seenAt(const GuestScreen& screen, std::optional<std::int64_t> deliveredAt,
                                   std::optional<std::int64_t> seenOnPageAt);

// "shown", "queued", or nullptr, as the desk API names them.
const char* screenName(ScreenPlace place);
