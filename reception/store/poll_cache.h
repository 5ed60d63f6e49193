// What notifiers poll, kept in memory: the active staff by the two words a
// notifier sends back, the list of names it shows, and each host's waiting
// guests as records already in the notifiers' format. A poll answers from
// it without reading anything: only the first poll reads. The memory listens
// to store/data_changes, so every committed change, of this process, of
// another process on the same file or of another instance, is read again
// within a look of the watcher; counters that the schema's triggers raise on
// every change to staff and guests (poll_revision) say which part to read.
// A commit of this process is read again at once on its own thread, unless
// that thread answers notifiers (it may not wait for the database): then the
// watcher's thread does it.
#pragma once

#include <cstdint>
#include <string>

#include "store/database.h"

struct PollGuest {
  std::int64_t id = 0;
  std::string headline;
  std::string detail;
  std::int64_t arrivedAt = 0;
};

// How names and guests go out to notifiers, given by the notifier API with
// every call; the memory is built again when it changes (another code page).
struct PollEncoding {
  std::string codePage;
  // A display name as notifiers show it; false when it cannot be (left out).
  bool (*name)(const std::string& displayName, const std::string& codePage, std::string& encoded) = nullptr;
  // A waiting guest's record.
  std::string (*record)(const PollGuest& guest, const std::string& codePage) = nullptr;
};

// listUsers: the active staff's names, by last name, joined with ",".
Outcome polledNames(const PollEncoding& encoding, std::string& body);
// A poll by a notifier: the records of the waiting guests of the active
// member whose display name starts with twoWords ("First Last"), oldest
// first, joined with ","; notFound for no such member. The poll's time is
// noted, and guests shown for the first time are handed to the delivery
// recorder: the answer does not wait for their delivery to be written.
// With onlyMember (a personal key's member), any other member is notFound
// and nothing of theirs is noted.
Outcome pollGuests(const PollEncoding& encoding, const std::string& twoWords, std::int64_t now, std::string& body,
                   std::int64_t onlyMember = 0);

// The memory's data change listener: reads again what moved, when anything
// is kept; false when it could not (see store/data_changes).
bool pollStateFollowsChange();
// Forgets everything (a database is opened or closed).
void resetPollState();
