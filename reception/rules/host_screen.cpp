#include "rules/host_screen.h"

#include <algorithm>
#include <tuple>

std::map<std::int64_t, GuestScreen> screenPlaces(std::vector<HeldGuest> held) {
  std::sort(held.begin(), held.end(), [](const HeldGuest& a, const HeldGuest& b) {
    return std::tie(a.staffId, a.deliveredAt, a.arrivedAt, a.id) < std::tie(b.staffId, b.deliveredAt, b.arrivedAt, b.id);
  });
  std::map<std::int64_t, GuestScreen> places;
  int ahead = 0;
  for (std::size_t i = 0; i < held.size(); ++i) {
    if (i == 0 || held[i].staffId != held[i - 1].staffId) ahead = 0;
    if (held[i].waiting) {
      places[held[i].id] = ahead == 0 ? GuestScreen{ScreenPlace::shown, 0} : GuestScreen{ScreenPlace::queued, ahead};
    }
    ++ahead;
  }
  return places;
}

std::optional<std::int64_t> seenAt(const GuestScreen& screen, std::optional<std::int64_t> deliveredAt,
                                   std::optional<std::int64_t> seenOnPageAt) {
  std::optional<std::int64_t> shownAt = screen.place == ScreenPlace::shown ? deliveredAt : std::nullopt;
  if (shownAt && seenOnPageAt) return std::min(*shownAt, *seenOnPageAt);
  return shownAt ? shownAt : seenOnPageAt;
}

const char* screenName(ScreenPlace place) {
  switch (place) {
    case ScreenPlace::shown: return "shown";
    case ScreenPlace::queued: return "queued";
    default: return nullptr;
  }
}
