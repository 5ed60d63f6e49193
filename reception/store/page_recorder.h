// The hosts' open pages as screens, written on a thread of its own: that a
// host has a page open (for a while, renewed as long as one is), and when
// each waiting guest was first sent to one. Kept in the database, so that
// every instance sharing it knows of a page open on another.
#pragma once

#include <cstdint>
#include <map>

#include "store/notifications.h"

// An open page of the host's was just sent what it shows: the host's guests
// among waiting (the others are passed over). The page counts as open for
// openForMs from now, unless reached again. Returns at once: the writes are
// queued, and one renewal per half of openForMs is enough.
void notePageReached(std::int64_t staffId, const std::map<std::int64_t, NotificationRow>& waiting,
                     std::int64_t openForMs);
// Ends the thread and writes what is left (the store is closing).
void stopPageRecorder();
